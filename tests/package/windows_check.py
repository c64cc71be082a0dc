#!/usr/bin/env python3
"""Run by windows_install.sh inside a fresh Wine prefix: makes the installer
and the portable ZIP with cpack, checks the ZIP's files, installs silently
(/S), checks the installed files, shortcuts, the uninstall entry and PATH,
starts the installed loadpost-cli.exe and Loadpost.exe (with the simulated
tester's ftd2xx.dll put beside it for the test only; a screenshot of the
window goes to the test artefacts), uninstalls silently and checks that
every installed file and the registry entries are gone. The build's version
is checked in every place the Windows packages show it.
    windows_check.py <win64 build folder> <source folder>"""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zipfile

build, source = sys.argv[1], sys.argv[2]
version = open(os.path.join(build, "generated/build_version.txt")).read().strip()
project = re.search(r"project\(Loadpost VERSION ([0-9.]+)", open(os.path.join(source, "CMakeLists.txt")).read())[1]
prefix, work = os.environ["WINEPREFIX"], os.environ["LOADPOST_TEST_WORK"]
artifacts = os.environ["LOADPOST_ARTIFACTS"]
failures = []


def check(what, ok, shown=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else "\n     " + str(shown)), flush=True)
    if not ok:
        failures.append(what)


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, errors="replace", **kw)


def wine(args, **kw):
    r = run(["wine"] + args, **kw)
    r.stdout = r.stdout.replace("\r", "")
    return r


def settle():
    run(["wineserver", "-w"])  # every program of the prefix has ended; the registry is on disk


def registry_key(file, key):
    """The values of a key in a Wine registry file, or None when it is missing."""
    text = open(os.path.join(prefix, file), encoding="utf-8", errors="replace").read()
    wanted = "[" + key.replace("\\", "\\\\").lower() + "]"
    for section in text.split("\n\n"):
        head = section.lstrip().split("\n", 1)[0]
        if head.lower().startswith(wanted):
            values = re.findall(r'^("[^"]*"|@)=(?:str\(2\):)?(.*)$', section, re.M)
            return dict((k.strip('"'), v.strip('"')) for k, v in values)
    return None


# The packages, made from the build as it is.
packages = os.path.join(source, "build/packages")
setup = os.path.join(packages, "Loadpost-%s-win64-setup.exe" % version)
portable = os.path.join(packages, "Loadpost-%s-win64.zip" % version)
made = run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake")], cwd=build)
check("cpack makes %s and %s" % (os.path.basename(setup), os.path.basename(portable)),
      made.returncode == 0 and os.path.exists(setup) and os.path.exists(portable), made.stdout + made.stderr)
if failures:
    sys.exit(1)

scenarios = sorted("bin/scenarios/" + f for f in os.listdir(os.path.join(source, "sim/scenarios"))
                   if f.endswith(".sim"))
files = sorted(["bin/Loadpost.exe", "bin/loadpost-cli.exe", "doc/user-guide.html", "LICENSE.txt"] + scenarios)
top = "Loadpost-%s-win64/" % version
in_zip = sorted(n[len(top):] for n in zipfile.ZipFile(portable).namelist() if not n.endswith("/"))
check("the ZIP holds exactly the program's files, under " + top, in_zip == files, in_zip)
print("ZIP: " + ", ".join(f for f in in_zip if "scenarios/" not in f) + " and %d scenarios" % len(scenarios))

# A silent install into the fresh prefix.
print("$ wine %s /S" % os.path.basename(setup), flush=True)
installed = wine([setup, "/S"])
settle()
check("the installer ends with 0", installed.returncode == 0, installed.stdout + installed.stderr)
folder = os.path.join(prefix, "drive_c/Program Files/Loadpost")
on_disk = sorted(os.path.relpath(os.path.join(d, f), folder).replace(os.sep, "/")
                 for d, _, fs in os.walk(folder) for f in fs)
print("installed in C:\\Program Files\\Loadpost: " + ", ".join(f for f in on_disk if "scenarios/" not in f))
check("C:\\Program Files\\Loadpost holds the program's files and the uninstaller, no ftd2xx.dll",
      on_disk == sorted(files + ["Uninstall.exe"]), on_disk)
menu = os.path.join(prefix, "drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Loadpost")
links = sorted(os.listdir(menu)) if os.path.isdir(menu) else []
print("Start menu, Loadpost: " + ", ".join(links))
check("Start-menu shortcuts to the program, the user guide and the uninstaller",
      links == ["Loadpost user guide.lnk", "Loadpost.lnk", "Uninstall.lnk"], links)
uninstall_keys = ["Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Loadpost",
                  "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Loadpost"]
entry = next((e for e in (registry_key("system.reg", k) for k in uninstall_keys) if e is not None), None)
print("uninstall entry: " + json.dumps(entry))
check("an uninstall entry registered with Windows",
      entry is not None and entry.get("DisplayName") == "Loadpost" and entry.get("Publisher") == "Trevane" and
      "Uninstall.exe" in entry.get("UninstallString", ""), entry)
paths = [(registry_key("user.reg", "Environment") or {}).get("PATH", ""),
         (registry_key("system.reg", "System\\CurrentControlSet\\Control\\Session Manager\\Environment") or {})
         .get("PATH", "")]
check("PATH left alone (the option is off by default)", not any("Loadpost" in p for p in paths), paths)

# The installed programs start from their folder.
cli = "C:\\Program Files\\Loadpost\\bin\\loadpost-cli.exe"
shown = wine([cli, "--version"])
print("$ loadpost-cli.exe --version\n" + shown.stdout.strip())
scenario = os.path.join(work, "quick.sim")
open(scenario, "w").write("option clock simulated\n" + open(os.path.join(source, "sim/scenarios/default.sim")).read())
report = wine([cli, "--sim", "Z:" + scenario.replace("/", "\\"), "report", "--current-step", "500", "--time-step",
               "667", "--ripple-seconds", "0.2", "--out", "C:\\report"])
check("the installed loadpost-cli.exe writes a report", report.returncode in (0, 1), report.stdout + report.stderr)
named = wine([cli, "--sim", "two-testers", "list"])
check("the installed loadpost-cli.exe finds its named scenarios", "VXPD0002" in named.stdout,
      named.stdout + named.stderr)

shutil.copy(os.path.join(build, "bin/ftd2xx.dll"), os.path.join(folder, "bin"))  # for the test only
program = subprocess.Popen(["wine", "C:\\Program Files\\Loadpost\\bin\\Loadpost.exe"], cwd=os.path.join(folder, "bin"),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
geometry = None
for _ in range(60):
    tree = run(["xwininfo", "-root", "-tree"]).stdout
    line = next((l for l in tree.splitlines() if '"Trevane(TM) Loadpost"' in l), None)
    m = line and re.search(r" (\d+x\d+)\+-?\d+\+-?\d+ +\+(-?\d+)\+(-?\d+)", line)
    if m:
        geometry = "%s+%s+%s" % m.groups()
        break
    time.sleep(0.5)
time.sleep(4)  # the first tester connected and its readings shown
shot = os.path.join(artifacts, "installed-loadpost.png")
if geometry:
    run(["import", "-window", "root", "-crop", geometry, "+repage", shot])
check("the installed Loadpost.exe shows its main window (screenshot %s)" % shot,
      geometry is not None and program.poll() is None, geometry)
run(["wineserver", "-k"])
program.wait(timeout=30)
os.remove(os.path.join(folder, "bin/ftd2xx.dll"))

# The version record of the installed Loadpost.exe.
exe = open(os.path.join(folder, "bin/Loadpost.exe"), "rb").read()
fixed = exe.find(struct.pack("<I", 0xFEEF04BD))
ms, ls = struct.unpack_from("<II", exe, fixed + 8) if fixed >= 0 else (0, 0)
record = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
strings = exe.decode("utf-16-le", errors="replace")
file_version = re.search("FileVersion\0+([0-9.]+)", strings)
report_json = os.path.join(prefix, "drive_c/report/report.json")
report_html = os.path.join(prefix, "drive_c/report/report.html")
places = [
    ("the installer's file name", os.path.basename(setup), "Loadpost-%s-win64-setup.exe" % version),
    ("the ZIP's file name", os.path.basename(portable), "Loadpost-%s-win64.zip" % version),
    ("the uninstall entry's DisplayVersion", (entry or {}).get("DisplayVersion"), version),
    ("loadpost-cli.exe --version", shown.stdout.strip(), "loadpost-cli " + version),
    ("report.json", json.load(open(report_json)).get("program") if os.path.exists(report_json) else None,
     "loadpost-cli " + version),
    ("report.html", (re.findall(r"Made by (loadpost-cli [^<]*)\.</p>", open(report_html).read()) or [None])[0]
     if os.path.exists(report_html) else None, "loadpost-cli " + version),
    ("Loadpost.exe's version record", record, project + ".0"),
    ("Loadpost.exe's FileVersion text", file_version and file_version[1], project + ".0"),
    ("the build's version is the project's", version.split("+")[0], project),
]
for what, got, want in places:
    check("version: " + what, got == want, "%r, not %r" % (got, want))

# A silent uninstall removes every installed file and the registry entries.
print("$ wine Uninstall.exe /S", flush=True)
removed = wine(["C:\\Program Files\\Loadpost\\Uninstall.exe", "/S"])
settle()
left = [os.path.relpath(os.path.join(d, f), folder) for d, _, fs in os.walk(folder) for f in fs]
check("the uninstaller ends with 0", removed.returncode == 0, removed.stdout + removed.stderr)
check("every installed file is gone, and the folder", not os.path.exists(folder), left)
check("the Start-menu folder is gone", not os.path.exists(menu), os.listdir(menu) if os.path.isdir(menu) else "")
check("the uninstall entry is gone", all(registry_key("system.reg", k) is None for k in uninstall_keys))
check("the maker's key is gone", all(registry_key("system.reg", k) is None for k in
                                     ["Software\\Wow6432Node\\Trevane\\Loadpost", "Software\\Trevane\\Loadpost"]))
print("%d failed" % len(failures) if failures else "all passed")
sys.exit(1 if failures else 0)
