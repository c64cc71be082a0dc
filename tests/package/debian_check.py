#!/usr/bin/env python3
"""The Debian package as a user gets it: made by cpack from the plain build,
checked by lintian, its file list, its udev rule (udev's own parser, and the
rule's keys against the devices it is for and against), the packaged
loadpost-cli finding a tester under the rule's stable name in a device tree of
the simulated tester, and the build's version in every place the package
shows it.
    debian_check.py <package build folder> <source folder>"""
import gzip
import json
import os
import re
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import udev_rule  # noqa: E402

build, source = sys.argv[1], sys.argv[2]
version = open(os.path.join(build, "generated/build_version.txt")).read().strip()
project = re.search(r"project\(Loadpost VERSION ([0-9.]+)", open(os.path.join(source, "CMakeLists.txt")).read())[1]
failures = []


def check(what, ok, shown=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else "\n     " + str(shown)))
    if not ok:
        failures.append(what)


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


# The package, made from the build as it is.
packages = os.path.join(source, "build/packages")
deb = os.path.join(packages, "loadpost_%s_amd64.deb" % version)
made = run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-G", "DEB"], cwd=build)
check("cpack makes " + os.path.basename(deb), made.returncode == 0 and os.path.exists(deb), made.stdout + made.stderr)
if failures:
    sys.exit(1)

lint = run(["lintian", "--pedantic", "--display-info", deb])
print("lintian:\n" + (lint.stdout + lint.stderr).strip())
check("lintian: no errors and no warnings", not re.search(r"^[EW]: ", lint.stdout, re.M), lint.stdout)

# The file list: what a user gets, and nothing of the build or the sanitizers.
listing = run(["dpkg-deb", "-c", deb]).stdout
files = sorted(line.split()[-1][1:] for line in listing.splitlines() if not line.startswith("d"))
scenarios = sorted("/usr/share/loadpost/scenarios/" + f for f in os.listdir(os.path.join(source, "sim/scenarios"))
                   if f.endswith(".sim"))
expected = sorted(["/usr/bin/loadpost-cli", "/usr/lib/udev/rules.d/60-loadpost.rules",
                   "/usr/share/doc/loadpost/changelog.gz", "/usr/share/doc/loadpost/copyright",
                   "/usr/share/doc/loadpost/user-guide.html", "/usr/share/man/man1/loadpost-cli.1.gz"] + scenarios)
check("the package holds exactly its files", files == expected, "\n     ".join(files))
modes = {line.split()[-1][1:]: line.split()[0] for line in listing.splitlines()}
check("loadpost-cli is executable, the rest is not",
      modes.get("/usr/bin/loadpost-cli") == "-rwxr-xr-x" and
      all(m == "-rw-r--r--" for f, m in modes.items() if f in files and f != "/usr/bin/loadpost-cli"), modes)

work = tempfile.mkdtemp(prefix="loadpost-deb-")
subprocess.run(["dpkg-deb", "-x", deb, work], check=True)
cli = os.path.join(work, "usr/bin/loadpost-cli")
binary = open(cli, "rb").read()
check("loadpost-cli has no sanitizer runtime", b"__asan_init" not in binary and b"__tsan_init" not in binary)
# Installed, it finds the simulated tester's scenarios where the package puts
# them (its /usr/share in place of the system's, in a mount namespace).
# A container without the right to make one skips the checks that need it, and says so.
namespaces = subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode == 0
if namespaces:
    sim = run(["unshare", "-m", "sh", "-c", "mount --bind '%s/usr/share' /usr/share && '%s' --sim kt40 list" % (work, cli)])
    check("loadpost-cli --sim kt40 finds the packaged scenario", "VXPD0040  KT-40" in sim.stdout, sim.stdout + sim.stderr)
else:
    print("skipped: no mount namespace here (unshare -m), so the packaged scenarios and udevadm's reading are not checked")

# The udev rule: udev's own parser reads it without complaint...
rule_file = os.path.join(work, "usr/lib/udev/rules.d/60-loadpost.rules")
rules_dir = tempfile.mkdtemp(prefix="loadpost-rules-")
with open(os.path.join(rules_dir, "60-loadpost.rules"), "w") as copy:
    copy.write(open(rule_file).read())
if namespaces:
    parsed = run(["unshare", "-m", "sh", "-c", "mount --bind '%s' /etc/udev/rules.d && "
                  "udevadm test --action=add /sys/class/tty/tty1 2>&1" % rules_dir])
    said = [line for line in parsed.stdout.splitlines() if "60-loadpost.rules" in line]
    check("udevadm reads the rule without errors",
          parsed.returncode == 0 and said == ["Reading rules file: /etc/udev/rules.d/60-loadpost.rules"],
          parsed.stdout[-2000:])

# ...and it does what it is for to a tester's devices only.
rules = udev_rule.parse(open(rule_file).read())


def usb(serial="VXPD0001", product="6015", vendor="0403"):
    return {"subsystem": "usb", "attrs": {"idVendor": vendor, "idProduct": product, "serial": serial}}


def chain(event_subsystem, device, action="add"):
    port = {"subsystem": "usb-serial", "driver": "ftdi_sio", "attrs": {"latency_timer": "16"}}
    interface = {"subsystem": "usb", "driver": "ftdi_sio", "attrs": {"bInterfaceNumber": "00"}}
    if event_subsystem == "tty":
        return {"action": action, "subsystem": "tty", "attrs": {"dev": "188:0"}, "parents": [port, interface, device]}
    return dict(port, action=action, parents=[interface, device])


tester_tty = {"GROUP": "plugdev", "MODE": "0660", "ENV": {"ID_MM_DEVICE_IGNORE": "1"}, "TAG": [],
              "SYMLINK": ["loadpost/VXPD0001"], "ATTR": {}}
nothing = {"ENV": {}, "TAG": [], "SYMLINK": [], "ATTR": {}}
cases = [
    ("a tester's terminal: group, mode, ModemManager off, stable name", chain("tty", usb()), tester_tty),
    ("a tester's bridge port: latency timer 1 ms", chain("usb-serial", usb()),
     dict(nothing, ATTR={"latency_timer": "1"})),
    ("another device on the same bridge chip", chain("tty", usb(serial="FT5XK2Q1")), nothing),
    ("a VXPD serial on another FTDI chip", chain("tty", usb(product="6001")), nothing),
    ("a VXPD serial of another vendor", chain("tty", usb(vendor="1a86")), nothing),
    ("a tester's terminal going away", chain("tty", usb(), action="remove"), nothing),
]
for what, event, want in cases:
    got = udev_rule.apply(rules, event)
    check("udev rule: " + what, got == want, got)

# The packaged program finds a tester under the stable name the rule gives it,
# in a device tree served by its own simulated tester.
server = subprocess.Popen([cli, "sim-serve"], stdout=subprocess.PIPE, text=True, start_new_session=True)
try:
    root = None
    for line in server.stdout:
        if line.startswith("device-root "):
            root = line.split(" ", 1)[1].strip()
            break
    stable = os.path.join(root, "dev/loadpost/VXPD0001")
    os.makedirs(os.path.dirname(stable))
    os.symlink("../ttyUSB0", stable)
    listed = run([cli, "--device-root", root, "list"])
    check("list shows the tester under /dev/loadpost/<serial>",
          listed.returncode == 0 and re.search(r"^VXPD0001 .* yes +%s$" % re.escape(stable), listed.stdout, re.M),
          listed.stdout + listed.stderr)
    status = run([cli, "--device-root", root, "--port", stable, "--json", "status"])
    check("--port takes /dev/loadpost/<serial>",
          status.returncode == 0 and json.loads(status.stdout or "{}").get("device") == stable,
          status.stdout + status.stderr)
finally:
    os.killpg(server.pid, signal.SIGTERM)
    server.wait(timeout=30)

# The build's version in every place the package shows it.
scenario = os.path.join(work, "quick.sim")
open(scenario, "w").write("option clock simulated\n" + open(os.path.join(source, "sim/scenarios/default.sim")).read())
reports = os.path.join(work, "report")
report = run([cli, "--sim", scenario, "report", "--current-step", "500", "--time-step", "667",
              "--ripple-seconds", "0.2", "--out", reports])
control = run(["dpkg-deb", "-f", deb, "Package", "Version"]).stdout
places = [
    ("the project's version", project, version.split("+")[0]),
    ("the package's Version field", re.search(r"Version: (\S+)", control)[1], version),
    ("the package's file name", os.path.basename(deb), "loadpost_%s_amd64.deb" % version),
    ("loadpost-cli --version", run([cli, "--version"]).stdout.strip(), "loadpost-cli " + version),
    ("the man page", re.search(r'^\.TH \S+ "1" "[^"]*" "([^"]*)"', gzip.open(
        os.path.join(work, "usr/share/man/man1/loadpost-cli.1.gz"), "rt").read(), re.M)[1], "loadpost-cli " + version),
    ("the changelog", gzip.open(os.path.join(work, "usr/share/doc/loadpost/changelog.gz"), "rt").readline().split()[1],
     "(%s)" % version),
    ("report.json", json.load(open(os.path.join(reports, "report.json"))).get("program") if report.returncode == 0
     else report.stderr, "loadpost-cli " + version),
    ("report.html", (re.findall(r"Made by (loadpost-cli [^<]*)\.</p>",
                                open(os.path.join(reports, "report.html")).read()) or [""])[0]
     if report.returncode == 0 else report.stderr, "loadpost-cli " + version),
]
for what, got, want in places:
    check("version: " + what, got == want, "%r, not %r" % (got, want))

subprocess.run(["rm", "-rf", work, rules_dir])
print("%d failed" % len(failures) if failures else "all passed")
sys.exit(1 if failures else 0)
