"""End-to-end tests of quarn-monitor and quarn-sim over real pseudo-terminals.

The tests decode nothing with the library: expected values come from the
simulator's log of what it sent, or from frames the test encodes itself, and
SBUS frames are unpacked here bit by bit from the frame layout.
"""

import json
import os
import select
import signal
import subprocess
import tempfile
import time
import unittest

MONITOR = os.environ.get("QUARN_MONITOR", "quarn-monitor")
SIM = os.environ.get("QUARN_SIM", "quarn-sim")

# Generous: the machine may be loaded, and nothing here measures speed.
WAIT = 15.0

HEAD, TAIL = 0xFA, 0x5F
REQUEST, STOP = [HEAD, 0xE5, 2, 0], [HEAD, 0xE4, 0, 0, TAIL]
SBUS_SIZE, SBUS_START = 25, 0x0F


def wait_for(predicate, timeout=WAIT, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def read_lines(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.endswith("\n")]


def line_count(path):
    with open(path) as f:
        return sum(1 for line in f if line.endswith("\n"))


def values_of(obj, type_):
    """The values a frame of the given payload type carries."""
    out = {}
    if type_ != 1:
        out["channels"] = obj["channels"]
    if type_ != 0:
        out["ports"] = obj["ports"]
    return out


class Pty:
    """A pseudo-terminal the test holds from both ends."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def read(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        return os.read(self.master, 4096) if ready else b""

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class Session(unittest.TestCase):
    """Starts the tools and always cleans them up."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()
            for stream in (p.stdout, p.stderr):
                if stream:
                    stream.close()
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def start(self, args, stdout=subprocess.DEVNULL, **kw):
        p = subprocess.Popen(args, stdout=stdout, stderr=subprocess.PIPE, **kw)
        self.procs.append(p)
        return p

    def start_sim(self, *args):
        """Runs quarn-sim --pty; returns the process, its pty path and its log path."""
        log = self.path("sim.jsonl")
        p = self.start([SIM, "--pty", "--once", "--log", log, *args], stdout=subprocess.PIPE)
        ready, _, _ = select.select([p.stdout], [], [], WAIT)
        self.assertTrue(ready, "quarn-sim printed no path")
        path = p.stdout.readline().decode().strip()
        self.assertTrue(path.startswith("/dev/"), path)
        return p, path, log

    def start_monitor(self, *args, out="monitor.jsonl"):
        out_file = open(self.path(out), "w")
        p = self.start([MONITOR, *args], stdout=out_file)
        out_file.close()
        return p, self.path(out)

    def finish(self, p):
        """Waits for a process; returns (exit code, standard error)."""
        try:
            p.wait(WAIT)
        except subprocess.TimeoutExpired:
            self.fail(f"{p.args[0]} did not exit")
        return p.returncode, p.stderr.read().decode()

    def run_tool(self, *args, stdin=None):
        r = subprocess.run(args, input=stdin, capture_output=True, timeout=WAIT)
        return r.returncode, r.stdout.decode(), r.stderr.decode()


class SimulatorAgainstMonitor(Session):
    def interrupted_session(self, sim_args, min_lines=40):
        """Sim against monitor until min_lines updates, then SIGINT. Returns
        the monitor's lines and the simulator's log."""
        sim, port, log = self.start_sim(*sim_args)
        mon, out = self.start_monitor("--port", port, "--json", "--chunk-size", "1",
                                      "--request", "7,250")
        wait_for(lambda: line_count(out) >= min_lines, what="monitor output")
        mon.send_signal(signal.SIGINT)
        self.assertEqual(self.finish(mon), (0, ""))
        # --once: the simulator exits only once the stop command arrived.
        self.assertEqual(self.finish(sim)[0], 0)
        return read_lines(out), read_lines(log)

    def check_every_whole_frame(self, lines, events, type_):
        frames = [values_of(e, type_) for e in events if e["event"] == "frame"]
        # With one byte per decoder call every data frame is one line, so the
        # lines must be exactly the frames sent whole, in order, none lost.
        got = [values_of(line, type_) for line in lines]
        self.assertGreater(len(got), 0)
        self.assertEqual(got, frames[: len(got)])

    def test_values_are_the_frames_sent_request_first_stop_last(self):
        lines, events = self.interrupted_session([])
        commands = [e for e in events if e["event"] not in ("frame", "noise", "corrupted")]
        self.assertEqual(commands, [
            {"event": "request", "bytes": REQUEST + [7, 250, TAIL]},
            {"event": "stop", "bytes": STOP},
        ])
        self.assertEqual(events[0]["event"], "request")
        self.check_every_whole_frame(lines, events, 2)
        self.assertEqual(len(lines[0]["channels"]), 12)
        self.assertEqual(len(lines[0]["ports"]), 32)
        self.assertTrue(all(0 <= line["t"] < WAIT * 2 for line in lines))

    def test_noise_costs_no_whole_frame_over_a_pty(self):
        lines, events = self.interrupted_session(["--noise", "0.3", "--seed", "3"], 150)
        kinds = {e["kind"] for e in events if e["event"] == "noise"}
        self.assertEqual(kinds, {"burst", "stray-start", "bad-trailer"})
        self.check_every_whole_frame(lines, events, 2)

    def test_noise_costs_no_whole_frame_for_each_payload_type(self):
        for type_ in (0, 1, 2):
            with self.subTest(type=type_):
                stream, log = self.path(f"s{type_}.bin"), self.path(f"s{type_}.jsonl")
                rc, _, err = self.run_tool(SIM, "--out", stream, "--log", log, "--type", str(type_),
                                           "--noise", "0.5", "--seed", "11", "--frames", "400")
                self.assertEqual((rc, err), (0, ""))
                rc, out, err = self.run_tool(MONITOR, "--replay", stream, "--json", "--chunk-size", "1")
                self.assertEqual((rc, err), (0, ""))
                events = read_lines(log)
                frames = [values_of(e, type_) for e in events if e["event"] == "frame"]
                self.assertGreater(sum(e["event"] == "corrupted" for e in events), 10)
                got = [values_of(json.loads(line), type_) for line in out.splitlines()]
                self.assertEqual(got, frames)


class RecordReplay(Session):
    def test_replay_of_a_recording_gives_the_same_output(self):
        sim, port, _ = self.start_sim("--noise", "0.2")
        record = self.path("session.bin")
        mon, live = self.start_monitor("--port", port, "--json", "--chunk-size", "1",
                                       "--record", record, "--duration", "1.5")
        self.assertEqual(self.finish(mon), (0, ""))
        self.assertEqual(self.finish(sim)[0], 0)  # --duration also sends the stop command
        live_lines = [dict(line, t=None) for line in read_lines(live)]
        self.assertGreater(len(live_lines), 20)

        rc, out, err = self.run_tool(MONITOR, "--replay", record, "--json", "--chunk-size", "1")
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual([dict(json.loads(x), t=None) for x in out.splitlines()], live_lines)

        # Standard input and the default chunking end at the same values.
        with open(record, "rb") as f:
            rc, out, err = self.run_tool(MONITOR, "--replay", "-", "--json", stdin=f.read())
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(dict(json.loads(out.splitlines()[-1]), t=None), live_lines[-1])

    def test_record_appends(self):
        record = self.path("r.bin")
        with open(record, "wb") as f:
            f.write(b"previous")
        sim, port, _ = self.start_sim()
        mon, _ = self.start_monitor("--port", port, "--record", record, "--duration", "0.5")
        self.assertEqual(self.finish(mon), (0, ""))
        with open(record, "rb") as f:
            data = f.read()
        self.assertTrue(data.startswith(b"previous\xfa\xa5"), data[:12])


def encode_ports_frame(ports):
    """A type-1 data frame, from the byte layout."""
    payload = [1] + [b for v in ports for b in (v & 0xFF, v >> 8)]
    return bytes([HEAD, 0xA5, len(payload) & 0xFF, len(payload) >> 8] + payload + [TAIL])


def sbus_unpack(frame):
    """16 channels of 11 bits, LSB first: bit b of channel k is frame bit 8 + 11k + b."""
    bits = int.from_bytes(frame, "little")
    return [(bits >> (8 + 11 * k)) & 0x7FF for k in range(16)]


def to_sbus(v):
    return min(v * 1706 // 1000, 2047)


class Sbus(Session):
    """The test plays the device on one pty and the flight controller on another."""

    def setUp(self):
        super().setUp()
        self.device, self.fc = Pty(), Pty()

    def tearDown(self):
        super().tearDown()
        self.device.close()
        self.fc.close()

    def start_forwarding(self, *args):
        mon = self.start([MONITOR, "--port", self.device.path, "--json",
                          "--sbus-out", self.fc.path, *args])
        got = b""
        deadline = time.monotonic() + WAIT
        while len(got) < 7 and time.monotonic() < deadline:
            got += self.device.read(0.1)
        self.assertEqual(list(got), REQUEST + [0, 0, TAIL])
        return mon

    def stream_and_collect(self, ports, seconds):
        """Sends data frames for a while; returns the SBUS bytes that came out."""
        frame = encode_ports_frame(ports)
        out = b""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            os.write(self.device.master, frame)
            out += self.fc.read(0.01)
        return out

    def frames(self, data):
        self.assertEqual(len(data) % SBUS_SIZE, 0, "torn SBUS frame")
        return [data[i:i + SBUS_SIZE] for i in range(0, len(data), SBUS_SIZE)]

    def test_forwarded_frames_unpack_to_the_port_values(self):
        ports = [(k * 37) % 1300 for k in range(32)]  # includes values above 1200
        cases = [
            ([], ports[:16], to_sbus, lambda i: 0),
            (["--sbus-source", "ports-high", "--sbus2"], ports[16:], to_sbus,
             lambda i: (0x04, 0x14, 0x24, 0x34)[i % 4]),
            (["--sbus-raw", "--sbus-period-ms", "7"], ports[:16], lambda v: v, lambda i: 0),
        ]
        for args, group, scale, end_byte in cases:
            with self.subTest(args=args):
                mon = self.start_forwarding(*args)
                frames = self.frames(self.stream_and_collect(ports, 1.0))
                self.assertGreater(len(frames), 5)
                for i, f in enumerate(frames):
                    self.assertEqual((f[0], f[23], f[24]), (SBUS_START, 0, end_byte(i)))
                    self.assertEqual(sbus_unpack(f), [scale(v) for v in group])
                mon.send_signal(signal.SIGTERM)
                self.assertEqual(self.finish(mon), (0, ""))
                # The device heard the stop command; the pty is drained for the next case.
                self.assertEqual(list(self.device.read(WAIT)), STOP)
                while self.fc.read(0.2):
                    pass

    def test_failsafe_stops_frames_and_data_resumes_them(self):
        mon = self.start_forwarding("--failsafe-ms", "100")
        self.assertGreater(len(self.stream_and_collect([600] * 32, 0.5)), 0)
        # No data now: after a grace far beyond 100 ms, nothing may come out.
        time.sleep(0.8)
        while self.fc.read(0.05):
            pass
        self.assertEqual(self.fc.read(1.0), b"")
        resumed = self.frames(self.stream_and_collect([1200] * 32, 1.0))
        self.assertTrue(resumed)
        self.assertEqual(sbus_unpack(resumed[-1]), [2047] * 16)
        mon.send_signal(signal.SIGINT)
        self.assertEqual(self.finish(mon), (0, ""))


class Errors(Session):
    def assert_one_line(self, rc, err, code, *parts):
        self.assertEqual(rc, code, err)
        self.assertEqual(len(err.strip().splitlines()), 1, err)
        for part in parts:
            self.assertIn(part, err)

    def test_open_failures_name_the_path_and_reason(self):
        sim_stream = self.path("s.bin")
        self.assertEqual(self.run_tool(SIM, "--out", sim_stream, "--frames", "2")[0], 0)
        missing = "/nonexistent/quarn"
        cases = [
            (["--port", missing], "No such file or directory"),
            (["--port", "/dev/null"], "Inappropriate ioctl for device"),
            (["--replay", missing], "No such file or directory"),
            (["--replay", sim_stream, "--record", missing + "/r.bin"], "No such file or directory"),
            (["--replay", sim_stream, "--sbus-out", missing], "No such file or directory"),
            (["--hid", "fffe:fffd"], "HID device fffe:fffd"),
        ]
        for args, reason in cases:
            with self.subTest(args=args):
                rc, _, err = self.run_tool(MONITOR, *args)
                self.assert_one_line(rc, err, 2, "quarn-monitor: cannot ", reason)
                if "--hid" not in args:
                    self.assertIn(missing if missing in " ".join(args) else args[1], err)

    def test_permission_error_hints_at_dialout(self):
        port = self.path("ttyS9")
        open(port, "w").close()
        os.chmod(port, 0)
        # Root opens anything; without its file-permission override it is refused.
        prefix = []
        if os.geteuid() == 0:
            prefix = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search"]
        rc, _, err = self.run_tool(*prefix, MONITOR, "--port", port)
        self.assert_one_line(rc, err, 2, port, "Permission denied", "dialout")

    def test_bad_arguments_give_usage(self):
        cases = [
            [], ["--simulate", "--replay", "x"], ["--simulate", "--request", "1"],
            ["--simulate", "--request", "1,256"], ["--hid", "12345:1"], ["--hid", "xyz"],
            ["--simulate", "--chunk-size", "0"], ["--simulate", "--sbus-period-ms", "7"],
            ["--simulate", "--sbus-out", "/dev/null", "--sbus-source", "middle"],
            ["--hid", "1:2", "--record", "r.bin"], ["--simulate", "--bogus"],
        ]
        for args in cases:
            with self.subTest(args=args):
                rc, out, err = self.run_tool(MONITOR, *args)
                self.assertEqual((rc, out), (2, ""), err)
                self.assertIn("Usage: quarn-monitor", err)
        for args in (["--pty", "--out", "x"], ["--pty", "--type", "3"], ["--pty", "--noise", "2"]):
            with self.subTest(sim=args):
                rc, _, err = self.run_tool(SIM, *args)
                self.assertEqual(rc, 2)
                self.assertIn("Usage: quarn-sim", err)

    def test_device_that_disappears_mid_stream(self):
        sim, port, _ = self.start_sim()
        mon, out = self.start_monitor("--port", port, "--json")
        wait_for(lambda: line_count(out) >= 5, what="monitor output")
        sim.kill()
        rc, err = self.finish(mon)
        self.assert_one_line(rc, err, 1, port, "disappeared")


if __name__ == "__main__":
    unittest.main()
