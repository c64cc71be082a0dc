"""A Loadpost tester as a Python instrument, over the SCPI server of
`loadpost-cli serve` and PyVISA (Debian: python3-pyvisa, python3-pyvisa-py).

In the style of pymeasure's instruments, without needing pymeasure: every
setting and reading is a property, values are in A, V, W, s and degrees C.

    from loadpost_instrument import LoadpostTester
    with LoadpostTester("TCPIP::127.0.0.1::5025::SOCKET") as tester:
        print(tester.id, tester.voltage)
        tester.load_current = 1.5
        tester.input_enabled = True

Every command is checked: an entry in the instrument's error queue raises
LoadpostError with the instrument's own number and text.
"""

import pyvisa


class LoadpostError(Exception):
    """The instrument refused a command: `code` and `text` as SYSTem:ERRor? gave them."""

    def __init__(self, command, code, text):
        super().__init__(f"{command}: {code},{text}")
        self.command = command
        self.code = code
        self.text = text


class LoadpostTester:
    """One tester served by `loadpost-cli serve` (one client at a time)."""

    def __init__(self, resource="TCPIP::127.0.0.1::5025::SOCKET", timeout_s=10.0, resource_manager=None):
        self._rm = resource_manager or pyvisa.ResourceManager("@py")
        self._inst = self._rm.open_resource(resource, read_termination="\n", write_termination="\n")
        self._inst.timeout = int(timeout_s * 1000)
        first = self._inst.query("*IDN?")
        if first.startswith("Refused"):
            self._inst.close()
            raise LoadpostError("*IDN?", 0, first)
        self.id = first

    # --- plumbing -----------------------------------------------------------------

    def close(self):
        """Ends the session: the server sets the load to 0 A and the limits to enforced."""
        self._inst.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def errors(self):
        """Every entry of the error queue, oldest first, as (code, text)."""
        found = []
        while True:
            code, text = self._inst.query("SYST:ERR?").split(",", 1)
            if int(code) == 0:
                return found
            found.append((int(code), text.strip('"')))

    def write(self, command):
        """Sends a command and waits until it is done; raises LoadpostError on the first error it caused."""
        reply = self._inst.query(command + ";*OPC?")
        self._check(command)
        return reply

    def ask(self, query):
        """Sends a query; raises LoadpostError when it caused an error."""
        reply = self._inst.query(query)
        self._check(query)
        return reply

    def _check(self, command):
        found = self.errors()
        if found:
            raise LoadpostError(command, *found[0])

    def _float(self, query):
        return float(self.ask(query))

    # --- readings (each one fresh) ------------------------------------------------

    @property
    def voltage(self):
        """VBUS in V."""
        return self._float("MEAS:VOLT?")

    @property
    def current(self):
        """The current drawn, in A."""
        return self._float("MEAS:CURR?")

    @property
    def power(self):
        """VBUS times current, in W."""
        return self._float("MEAS:POW?")

    @property
    def temperature(self):
        """The tester's temperature in degrees C."""
        return self._float("MEAS:TEMP?")

    @property
    def readings(self):
        """Everything at once: voltage, current, power, temperature, setpoint, loopback."""
        names = ("voltage", "current", "power", "temperature", "setpoint", "loopback")
        return dict(zip(names, (float(v) for v in self.ask("MEAS:ALL?").split(","))))

    # --- the load -------------------------------------------------------------------

    @property
    def load_current(self):
        """The load's level in A (drawn while input_enabled)."""
        return self._float("CURR?")

    @load_current.setter
    def load_current(self, amps):
        self.write(f"CURR {amps:.3f}")

    @property
    def input_enabled(self):
        return self.ask("INP?") == "1"

    @input_enabled.setter
    def input_enabled(self, on):
        self.write("INP ON" if on else "INP OFF")

    @property
    def limit_mode(self):
        """'ENF' (the source's rating), 'ALL' (1.2 x rating) or 'FORC' (limit_ceiling)."""
        return self.ask("CURR:LIM:MODE?")

    @limit_mode.setter
    def limit_mode(self, mode):
        self.write(f"CURR:LIM:MODE {mode}")

    @property
    def limit_ceiling(self):
        """The ceiling of the FORC mode in A: 1 to 5 A in steps of 0.5 A."""
        return self._float("CURR:LIM?")

    @limit_ceiling.setter
    def limit_ceiling(self, amps):
        self.write(f"CURR:LIM {amps:.1f}")

    def accept_risk(self):
        """Accepts, for this session, drawing more than the source's rating (ALL and FORC need it)."""
        self.write("CURR:LIM:ACC")

    @property
    def watchdog(self):
        """Seconds of silence after which the server takes the load off; 0: off."""
        return self._float("SYST:WDOG?")

    @watchdog.setter
    def watchdog(self, seconds):
        self.write(f"SYST:WDOG {seconds}")

    # --- the source -------------------------------------------------------------------

    @property
    def profiles(self):
        """The source's capability list: one dict per row, in the table's words."""
        rows = []
        for row in range(int(self.ask("PROF:COUN?"))):
            text, low, high, amps, programmable = self.ask(f"PROF? {row}").rsplit(",", 4)
            rows.append({"row": row, "text": text.strip('"'), "min_v": float(low), "max_v": float(high),
                         "max_a": float(amps), "programmable": programmable == "1"})
        return rows

    @property
    def profile_row(self):
        return int(self.ask("PROF:SEL?"))

    @profile_row.setter
    def profile_row(self, row):
        self.write(f"PROF:SEL {row}")

    @property
    def profile_voltage(self):
        """The voltage the source supplies on its active profile, in V; settable on a programmable one."""
        return self._float("PROF:VOLT?")

    @profile_voltage.setter
    def profile_voltage(self, volts):
        self.write(f"PROF:VOLT {volts:.3f}")

    # --- capacity, ripple and sweep ----------------------------------------------------------

    @property
    def capacity(self):
        """(Ah, Wh) drawn since reset_capacity()."""
        ah, wh = self.ask("CAP?").split(",")
        return float(ah), float(wh)

    def reset_capacity(self):
        self.write("CAP:RES")

    def ripple(self, seconds=1.0):
        """Captures VBUS for `seconds`: samples, min and max V, ripple V and the verdict (PASS, FAIL, NONE)."""
        self.write(f"RIPP {seconds}")
        samples, low, high, ripple, verdict = self.ask("RIPP:RES?").split(",")
        return {"samples": int(samples), "min_v": float(low), "max_v": float(high), "ripple_v": float(ripple),
                "verdict": verdict}

    def sweep(self, current_step=0.025, time_step=0.5):
        """Sweeps the load from 0 A to the ceiling; the verdict and the first failing step."""
        self.write(f"SWE:STEP:CURR {current_step};TIME {time_step}")
        self.write("SWE")
        verdict, steps, planned, ceiling, failing = self.ask("SWE:RES?").split(",", 4)
        return {"verdict": verdict, "steps": int(steps), "planned": int(planned), "ceiling_a": float(ceiling),
                "first_failing": failing.strip('"')}
