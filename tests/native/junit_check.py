#!/usr/bin/python3
"""The report's JUnit XML as a CI system reads it: parsed by junitparser
(Debian's python3-junitparser), cases and failures counted. The faulty
charger's failing cases are exactly its faulty runs and the rules it breaks;
the default charger has none. Runs loadpost-cli on the in-process simulated
tester in simulated time.

usage: junit_check.py LOADPOST_CLI SOURCE_DIR SCRATCH_DIR"""
import os
import shutil
import subprocess
import sys

from junitparser import Error, Failure, JUnitXml, Skipped

cli, source, scratch = sys.argv[1:4]
example = os.path.join(source, "docs", "limits-example.json")

FAULTY = {
    ("PD-FIX 9.00V at 9.00 V", "voltage window"),
    ("PD-FIX 9.00V at 9.00 V", "ripple under 150 mV"),
    ("PD-FIX 9.00V at 9.00 V", "within 3 % at no load"),
    ("PD-FIX 15.00V at 15.00 V", "voltage window"),
    ("PD-FIX 15.00V at 15.00 V", "15 V holds 14.25 V at its rated current"),
    ("source", "a programmable range reaching 21 V"),
}
# scenario -> (exit code, runs, failing cases)
WANTED = {"faulty": (1, 6, FAULTY), "default": (0, 7, set())}

problems = []
for scenario, (code, runs, failing) in WANTED.items():
    sim = os.path.join(scratch, scenario + "-simulated.sim")
    with open(os.path.join(source, "sim", "scenarios", scenario + ".sim")) as f, open(sim, "w") as out:
        out.write("option clock simulated\n" + f.read())
    folder = os.path.join(scratch, "junit-" + scenario)
    shutil.rmtree(folder, ignore_errors=True)
    junit = os.path.join(scratch, "junit-" + scenario + ".xml")
    r = subprocess.run([cli, "--sim", sim, "report", "--ripple-seconds", "0.3", "--current-step", "500",
                        "--time-step", "667", "--out", folder, "--limits", example, "--junit", junit],
                       capture_output=True, text=True)
    if r.returncode != code:
        problems.append("%s: exit %d, not %d: %s" % (scenario, r.returncode, code, r.stderr))
        continue
    xml = JUnitXml.fromfile(junit)
    suites = list(xml)
    if len(suites) != 1:
        problems.append("%s: %d test suites, not one per tester" % (scenario, len(suites)))
        continue
    suite = suites[0]
    cases = list(suite)
    # Each run: its voltage window and the 4 rules for every run, one more
    # for the 5 V, the 15 V and each programmable run; 2 offered profiles.
    every = sum(1 for c in cases if c.name == "voltage window")
    failed = {(c.classname, c.name) for c in cases if any(isinstance(x, Failure) for x in c.result)}
    others = [c.name for c in cases if any(isinstance(x, (Error, Skipped)) for x in c.result)]
    if every != runs:
        problems.append("%s: %d run cases, not %d" % (scenario, every, runs))
    if failed != failing:
        problems.append("%s: failing cases %s, not %s" % (scenario, sorted(failed), sorted(failing)))
    if suite.tests != len(cases) or suite.failures != len(failing) or others:
        problems.append("%s: suite counts %d tests %d failures, errors or skips %s" % (scenario, suite.tests, suite.failures, others))
    for c in cases:
        if c.name == "voltage window":
            if not (c.time and c.time > 0):
                problems.append("%s: %s has no time" % (scenario, c.classname))
            if not (c.system_out and os.path.isfile(c.system_out.strip())):
                problems.append("%s: %s: no CSV at %r" % (scenario, c.classname, c.system_out))
    for c in cases:
        for x in c.result:
            if isinstance(x, Failure) and not x.message:
                problems.append("%s: %s/%s fails without a message" % (scenario, c.classname, c.name))

for p in problems:
    print(p)
print("junit_check: %s" % ("FAILED" if problems else "passed"))
sys.exit(1 if problems else 0)
