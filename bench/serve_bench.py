#!/usr/bin/python3
"""serve's reading rate against the command line's own, in one run: a
sim-serve tester with its USB bridge at 1 ms (a driver in low latency), read
by `watch --interval 0` for a while (readings per second from its time
stamps; once as a capture, two requests on the wire, once one request at a
time, as each query is), then served by `serve` and queried by PyVISA with MEASure:VOLTage?
for as long (queries per second, each a fresh reading). The ratio says what
the server adds to a reading.

Usage: serve_bench.py LOADPOST_CLI [seconds]
"""

import csv
import ctypes
import os
import signal
import subprocess
import sys
import tempfile
import time

import pyvisa


def die_with_parent():
    os.setpgid(0, 0)
    ctypes.CDLL("libc.so.6").prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def start(args):
    return subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            text=True, preexec_fn=die_with_parent)


def stop(p):
    p.send_signal(signal.SIGTERM)
    try:
        p.wait(10)
    finally:
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def main():
    cli = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 5.0
    work = tempfile.mkdtemp(prefix="loadpost-serve-bench-")
    sim = start([cli, "sim-serve", "--latency", "1"])
    try:
        root = ""
        while not root:
            line = sim.stdout.readline()
            if line.startswith("device-root "):
                root = line.split(" ", 1)[1].strip()

        def watch_rate(one_at_a_time):
            out = os.path.join(work, f"watch-{int(one_at_a_time)}.csv")
            env = dict(os.environ)
            if one_at_a_time:
                env["LOADPOST_ONE_REQUEST_AT_A_TIME"] = "1"
            subprocess.run([cli, "--device-root", root, "watch", "--interval", "0", "--duration", str(seconds),
                            "--out", out], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           preexec_fn=die_with_parent, env=env)
            with open(out) as f:
                times = [float(row["time_s"]) for row in csv.DictReader(f)]
            return (len(times) - 1) / (times[-1] - times[0])

        # A capture keeps two measurement requests on the wire; a query is one
        # request and its reply, like a reading taken one at a time.
        capture_rate = watch_rate(False)
        single_rate = watch_rate(True)

        server = start([cli, "--device-root", root, "serve", "--port-base", "0"])
        try:
            resource = server.stdout.readline().split()[1]
            rm = pyvisa.ResourceManager("@py")
            inst = rm.open_resource(resource, read_termination="\n", write_termination="\n")
            for _ in range(20):
                inst.query("MEAS:VOLT?")
            count, begin = 0, time.monotonic()
            while time.monotonic() - begin < seconds:
                float(inst.query("MEAS:VOLT?"))
                count += 1
            serve_rate = count / (time.monotonic() - begin)
            inst.close()
        finally:
            stop(server)
    finally:
        stop(sim)

    print("bridge at 1 ms                                    per second")
    print(f"watch --interval 0 readings (capture)           {capture_rate:10.1f}")
    print(f"watch --interval 0 readings, one at a time      {single_rate:10.1f}")
    print(f"serve MEASure:VOLTage? from PyVISA              {serve_rate:10.1f}")
    print(f"ratio serve / watch one at a time               {serve_rate / single_rate:10.3f}")
    print(f"ratio serve / watch capture                     {serve_rate / capture_rate:10.3f}")


if __name__ == "__main__":
    main()
