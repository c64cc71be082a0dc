#!/usr/bin/python3
"""loadpost-cli serve driven by PyVISA with its pure-Python backend, as a lab
would drive it, against testers of `loadpost-cli sim-serve`; the tester's own
frame record says what reached it.

Usage: serve_test.py LOADPOST_CLI [unittest options]

Every process it starts leads a process group of its own, dies with the test
(parent-death signal) and is killed with its group at the end, also when a
check fails.
"""

import ctypes
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import pyvisa

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
from loadpost_instrument import LoadpostError, LoadpostTester  # noqa: E402

CLI = None  # set from the command line
WORK = tempfile.mkdtemp(prefix="loadpost-serve-test-")

# VXPD0001: a KT-60 on a charger that starts on its 15 V output, which sags out
# of its window at high current; VXPD0040: a KT-40, which refuses PPS rows.
SCENARIO = """
charger weak15
  fixed 5V 3A
  fixed 9V 3A ripple 700 120
  fixed 15V 3A resistance 600
  pps 3.3-11V 3A
  active 3
end
tester VXPD0001 kt60
  charger weak15
end
tester VXPD0040 kt40 fw 2.7
  charger pd65
end
"""

SWEEP_STEP_MA, SWEEP_STEP_MS = 500, 667


def _die_with_parent():
    os.setpgid(0, 0)
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Process:
    """A child in its own process group, its output read line by line."""

    started = []

    def __init__(self, args, stdin=False):
        self.err_path = os.path.join(WORK, f"stderr-{len(Process.started)}.txt")
        self.err = open(self.err_path, "wb")
        self.p = subprocess.Popen(args, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=self.err, preexec_fn=_die_with_parent)
        Process.started.append(self)
        self._buffer = b""

    def line(self, timeout=15.0):
        deadline = time.monotonic() + timeout
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.p.stdout], [], [], left)[0]:
                raise AssertionError(f"{self.p.args[1:3]}: no output in time; stderr: {self.stderr()}")
            chunk = os.read(self.p.stdout.fileno(), 4096)
            if not chunk:
                raise AssertionError(f"{self.p.args[1:3]} ended: {self.p.wait()}; stderr: {self.stderr()}")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode()

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode(errors="replace")

    def stop(self, sig=signal.SIGTERM, timeout=10.0):
        """Signals the process and waits; its whole group is killed if it does not end."""
        if self.p.poll() is None:
            self.p.send_signal(sig)
            try:
                self.p.wait(timeout)
            except subprocess.TimeoutExpired:
                pass
        self.kill()
        return self.p.returncode

    def kill(self):
        try:
            os.killpg(self.p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.p.wait()
        for f in (self.p.stdin, self.p.stdout, self.err):
            if f:
                f.close()


def kill_all():
    # As Ctrl-C would first: sim-serve then removes its device tree.
    for proc in Process.started:
        proc.stop(signal.SIGTERM, timeout=5.0)


def run_cli(root, *args):
    r = subprocess.run([CLI, "--device-root", root, *args], capture_output=True, text=True, timeout=120,
                       preexec_fn=_die_with_parent)
    return r.returncode, r.stdout, r.stderr


def load_frames(record_path):
    """Every load the tester was sent, in mA, in order (command 0x10 in its record)."""
    with open(record_path) as f:
        return [int(m.group(2) + m.group(1), 16)
                for m in re.finditer(r" RX 02 03 10 ([0-9A-F]{2}) ([0-9A-F]{2}) ", f.read())]


def wait_for(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


class Served(unittest.TestCase):
    """One sim-serve with two testers, the command line's verdicts on VXPD0001, then one server for both."""

    @classmethod
    def setUpClass(cls):
        scenario = os.path.join(WORK, "serve.sim")
        with open(scenario, "w") as f:
            f.write(SCENARIO)
        cls.record = os.path.join(WORK, "record.txt")
        cls.sim = Process([CLI, "sim-serve", "--latency", "1", "--record", cls.record, scenario], stdin=True)
        line = ""
        while not line.startswith("device-root "):
            line = cls.sim.line()
        cls.root = line.split(" ", 1)[1]
        # The command line's own verdicts on the same source, before the server claims the tester.
        cls.cli_ripple = json.loads(run_cli(cls.root, "--serial", "VXPD0001", "--json", "ripple", "--seconds", "0.5")[1])
        cls.cli_sweep = json.loads(run_cli(cls.root, "--serial", "VXPD0001", "--json", "sweep", "--current-step",
                                           str(SWEEP_STEP_MA), "--time-step", str(SWEEP_STEP_MS))[1])
        cls.server = Process([CLI, "--device-root", cls.root, "serve", "--port-base", "0"])
        cls.resources = {}
        for _ in range(2):
            serial, resource = cls.server.line().split(" ")
            cls.resources[serial] = resource
        cls.rm = pyvisa.ResourceManager("@py")

    @classmethod
    def tearDownClass(cls):
        kill_all()

    def open(self, serial="VXPD0001"):
        inst = self.rm.open_resource(self.resources[serial], read_termination="\n", write_termination="\n")
        inst.timeout = 20000
        self.addCleanup(inst.close)
        return inst

    def errors(self, inst):
        found = []
        while True:
            entry = inst.query("SYST:ERR?")
            if entry.startswith("0,"):
                return found
            found.append(entry)

    def do(self, inst, commands):
        """Sends commands and waits until they are done."""
        self.assertEqual(inst.query(commands + ";*OPC?"), "1")

    def loads(self):
        return load_frames(self.record)

    def test_01_identity_and_listing(self):
        self.assertEqual(sorted(self.resources), ["VXPD0001", "VXPD0040"])
        for serial, resource in self.resources.items():
            self.assertRegex(resource, r"^TCPIP::127\.0\.0\.1::\d+::SOCKET$")
        self.assertEqual(self.open().query("*IDN?"), "Trevane,KT-60,VXPD0001,3.0")
        self.assertEqual(self.open("VXPD0040").query("*idn?"), "Trevane,KT-40,VXPD0040,2.7")

    def test_02_ripple_and_sweep_verdicts_equal_the_command_lines(self):
        inst = self.open()
        inst.write("RIPP 0.5")
        self.assertEqual(inst.query("*OPC?"), "1")
        samples, low, high, ripple, verdict = inst.query("RIPP:RES?").split(",")
        self.assertEqual(verdict, self.cli_ripple["verdict"])
        self.assertGreater(int(samples), 10)
        self.assertAlmostEqual(float(low), self.cli_ripple["minVolts"], delta=0.1)
        self.assertEqual(self.errors(inst), [])
        inst.write(f"SWE:STEP:CURR {SWEEP_STEP_MA} MA;TIME {SWEEP_STEP_MS} MS;:SWE")
        self.assertEqual(inst.query("*OPC?"), "1")
        verdict, steps, planned, ceiling, failing = inst.query("SWE:RES?").split(",", 4)
        self.assertEqual((verdict, int(planned)), (self.cli_sweep["verdict"], 7))
        self.assertEqual(verdict, "FAIL")
        self.assertEqual(int(steps), len(self.cli_sweep["steps"]))
        self.assertEqual(float(ceiling), 3.0)
        self.assertEqual(self.errors(inst), [])
        self.assertEqual(self.loads()[-1], 0)

    def test_03_measurements_follow_the_scenario(self):
        inst = self.open()
        volts, amps, watts, temp, setpoint, loopback = map(float, inst.query("MEAS:ALL?").split(","))
        self.assertAlmostEqual(volts, 15.0, delta=0.1)
        self.assertEqual((amps, setpoint, loopback), (0.0, 0.0, 0.0))
        self.do(inst, "CURR 1000 MA;INP ON")
        self.assertEqual(self.loads()[-1], 1000)
        # Each query a fresh reading: with 1 A drawn through 0.6 ohm and more, VBUS sags.
        volts, amps = map(float, inst.query("MEAS:VOLT?;CURR?").split(";"))
        self.assertAlmostEqual(amps, 1.0, delta=0.05)
        self.assertLess(volts, 14.5)
        self.assertGreater(volts, 13.5)
        self.assertAlmostEqual(float(inst.query("MEAS:POW?")), volts * amps, delta=0.3)
        self.assertGreaterEqual(int(inst.query("MEAS:TEMP?")), 25)
        self.assertEqual(inst.query("INP?;CURR?"), "1;1.000")
        self.do(inst, "INP OFF")
        self.assertEqual(inst.query("INP?"), "0")
        self.assertEqual(self.loads()[-1], 0)
        self.assertEqual(self.errors(inst), [])

    def test_04_errors_go_into_the_queue_in_order(self):
        inst = self.open()
        inst.write("*CLS;FOO;BAR")  # the first error ends the message
        inst.write("CURR 9")
        inst.write("CURR:LIM:MODE ALL")
        inst.write("CURR 1 2")
        inst.write("INP MAYBE")
        self.assertEqual(inst.query("SYST:ERR:COUN?"), "5")
        self.assertEqual(int(inst.query("*ESR?")), 32 | 16)  # command and execution errors
        self.assertEqual(int(inst.query("*STB?")) & 4, 4)
        found = self.errors(inst)
        self.assertEqual([e.split(",")[0] for e in found], ["-113", "-222", "-221", "-103", "-224"])
        self.assertEqual(found[0], '-113,"Undefined header;FOO"')
        self.assertIn("0 to 5.100 A", found[1])
        self.assertIn("CURRent:LIMit:ACCept", found[2])
        # Malformed, binary and oversized input: error entries, and the server goes on.
        inst.write_raw(b"\xff\x00\x01binary\n")
        inst.write_raw(b"A" * 5000 + b"\n")
        inst.write_raw(b"MEAS:VOLT?\r\n")
        self.assertAlmostEqual(float(inst.read()), 15.0, delta=0.1)
        self.assertEqual([e.split(",")[0] for e in self.errors(inst)], ["-101", "-363"])
        self.assertEqual(inst.query("*IDN?;*OPC?;SYST:VERS?"), "Trevane,KT-60,VXPD0001,3.0;1;1999.0")

    def test_05_limits_need_the_risk_accepted(self):
        inst = self.open()
        inst.write("CURR 3.5")
        self.assertIn("above the ceiling of 3.000 A", self.errors(inst)[0])
        inst.write("CURR:LIM:ACC;MODE ALL")
        self.assertEqual(inst.query("CURR:LIM:MODE?;ACC?"), "ALL;1")
        self.assertEqual(inst.query("CURR? MAX"), "3.600")
        self.do(inst, "CURR 3.5;INP ON")
        self.assertEqual(self.errors(inst), [])
        self.assertEqual(self.loads()[-1], 3500)
        self.do(inst, "INP OFF;CURR:LIM:MODE ENF")
        self.assertEqual(inst.query("CURR:LIM:MODE?"), "ENF")
        self.assertEqual(self.loads()[-1], 0)

    def test_06_profiles_voltage_and_the_kt40_refusal(self):
        inst = self.open()
        self.assertEqual(inst.query("PROF:COUN?"), "4")
        self.assertEqual(inst.query("PROF:SEL?"), "2")
        self.assertEqual(inst.query("PROF? 3").split(",")[1:], ["3.300", "11.000", "3.000", "1"])
        inst.write("PROF:SEL 3")
        inst.write("PROF:VOLT 9 V")
        self.assertEqual(inst.query("*OPC?"), "1")
        self.assertEqual(inst.query("PROF:SEL?;VOLT?"), "3;9.000")
        self.assertAlmostEqual(float(inst.query("MEAS:VOLT?")), 9.0, delta=0.1)
        inst.write("PROF:VOLT 12")
        inst.write("PROF:SEL 7")
        found = self.errors(inst)
        self.assertEqual([e.split(",")[0] for e in found], ["-200", "-222"])
        self.do(inst, "PROF:SEL 2")
        self.assertEqual(inst.query("PROF:VOLT?"), "15.000")
        kt40 = self.open("VXPD0040")
        rows = [kt40.query(f"PROF? {row}") for row in range(int(kt40.query("PROF:COUN?")))]
        pps = next(i for i, r in enumerate(rows) if r.endswith(",1"))
        kt40.write(f"PROF:SEL {pps}")
        self.assertEqual(self.errors(kt40), ['-200,"Execution error;PPS profiles are not supported by KT-40."'])

    def test_07_a_second_client_is_refused(self):
        first = self.open()
        self.assertTrue(first.query("*IDN?").startswith("Trevane"))
        second = self.open()
        self.assertIn("serves one client at a time", second.query("*IDN?"))
        self.assertTrue(first.query("*IDN?").startswith("Trevane"))

    def test_08_disconnect_while_loaded_ends_safely(self):
        inst = self.rm.open_resource(self.resources["VXPD0001"], read_termination="\n", write_termination="\n")
        inst.write("CURR:LIM:ACC;MODE ALL;:CURR 2.5;INP ON")
        self.assertEqual(inst.query("*OPC?"), "1")
        self.assertEqual(self.loads()[-1], 2500)
        inst.close()
        self.assertTrue(wait_for(lambda: self.loads()[-1] == 0), self.server.stderr())
        self.assertTrue(wait_for(lambda: "closed the connection; load 0 mA, limits enforced" in self.server.stderr()))
        # The limits are back to enforced: the next client's MAX is the rating.
        inst = self.rm.open_resource(self.resources["VXPD0001"], read_termination="\n", write_termination="\n")
        self.assertEqual(inst.query("CURR:LIM:MODE?;:CURR? MAX"), "ENF;3.000")
        inst.close()
        # A client that leaves in the middle of a sweep ends it at once.
        self.assertTrue(wait_for(lambda: self.server.stderr().rstrip().endswith("limits enforced")))
        ended = self.server.stderr().count("closed the connection; load 0 mA")
        inst = self.rm.open_resource(self.resources["VXPD0001"], read_termination="\n", write_termination="\n")
        inst.write("SWE:STEP:CURR 0.1;TIME 0.2;:SWE")
        self.assertTrue(wait_for(lambda: self.loads()[-1] >= 300))
        inst.close()
        self.assertTrue(wait_for(lambda: self.loads()[-1] == 0, timeout=2.0))
        self.assertTrue(wait_for(lambda: self.server.stderr().count("closed the connection; load 0 mA") == ended + 1),
                        self.server.stderr())

    def test_09_watchdog_expiry_takes_the_load_off(self):
        inst = self.open()
        self.do(inst, "SYST:WDOG 0.5;:CURR 1.2;INP ON")
        self.assertEqual(inst.query("SYST:WDOG?"), "0.5")
        self.assertEqual(self.loads()[-1], 1200)
        time.sleep(1.0)
        self.assertEqual(self.loads()[-1], 0)
        self.assertEqual(inst.query("INP?"), "0")
        self.assertEqual(self.errors(inst)[0].split(",")[0], "101")

    def test_10_instrument_class_runs_a_capacity_test(self):
        with LoadpostTester(self.resources["VXPD0001"]) as tester:
            tester.reset_capacity()
            tester.load_current = 2.0
            start = time.monotonic()
            tester.input_enabled = True
            while time.monotonic() - start < 1.5:
                self.assertGreater(tester.voltage, 12.0)
            tester.input_enabled = False
            elapsed = time.monotonic() - start
            ah, wh = tester.capacity
            self.assertGreater(ah, 2.0 * (elapsed - 0.5) / 3600)
            self.assertLess(ah, 2.0 * elapsed / 3600)
            self.assertAlmostEqual(wh / ah, 15.0 - 2.0 * 0.7, delta=0.6)
            with self.assertRaises(LoadpostError) as refused:
                tester.load_current = 7
            self.assertEqual(refused.exception.code, -222)
            self.assertEqual(len(tester.profiles), 4)

    def test_11_reset_then_stop_ends_every_tester_safely(self):
        inst = self.open()
        inst.write("PROF:SEL 1;:CURR:LIM:ACC;MODE ALL;:CURR 0.5;INP ON;*RST")
        self.assertEqual(inst.query("INP?;CURR?;CURR:LIM:MODE?;ACC?;:PROF:SEL?"), "0;0.000;ENF;0;0")
        self.do(inst, "CURR 0.8;INP ON")
        self.assertEqual(self.loads()[-1], 800)
        # A closed terminal or ssh session (SIGHUP) ends it as Ctrl-C and SIGTERM do.
        self.assertEqual(self.server.stop(signal.SIGHUP), 0, self.server.stderr())
        self.assertEqual(self.loads()[-1], 0)
        self.assertIn("the server was stopped (the terminal was closed (SIGHUP)); load 0 mA, limits enforced",
                      self.server.stderr())


def main():
    global CLI
    CLI = os.path.abspath(sys.argv.pop(1))
    try:
        unittest.main(verbosity=2)
    finally:
        kill_all()
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
