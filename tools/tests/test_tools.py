"""End-to-end tests of quarn-monitor and quarn-sim over real pseudo-terminals.

The tests decode nothing with the library: expected values come from the
simulator's log of what it sent, or from frames, SBUS frames and recordings
the test packs itself from their byte layouts, and SBUS frames are unpacked
here bit by bit.
"""

import json
import os
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

MONITOR = os.environ.get("QUARN_MONITOR", "quarn-monitor")
SIM = os.environ.get("QUARN_SIM", "quarn-sim")
TMUX = os.environ.get("QUARN_TMUX") or shutil.which("tmux")

# Generous: the machine may be loaded, and nothing here measures speed.
WAIT = 15.0

HEAD, TAIL, DATA = 0xFA, 0x5F, 0xA5
REQUEST, STOP = [HEAD, 0xE5, 2, 0], [HEAD, 0xE4, 0, 0, TAIL]
SBUS_SIZE, SBUS_START = 25, 0x0F
EXIT_FAILURE, EXIT_USAGE, EXIT_OPEN = 1, 2, 3


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


def le16(values):
    return [b for v in values for b in (v & 0xFF, v >> 8)]


def data_frame(type_, channels=(), ports=()):
    """A data frame from the layout: type byte, 12 channels, six unused
    bytes and 32 ports for type 2."""
    payload = [type_]
    if type_ == 0:
        payload += le16(channels)
    elif type_ == 1:
        payload += le16(ports)
    else:
        payload += le16(channels) + [0] * 6 + le16(ports)
    return bytes([HEAD, DATA, len(payload) & 0xFF, len(payload) >> 8] + payload + [TAIL])


def recording(records, version=1, header_size=16, extra=b""):
    """A timed recording: "QUARNREC", version, header size, reserved, any
    extra header bytes, then (microseconds, chunk) records."""
    out = b"QUARNREC" + struct.pack("<HHI", version, header_size, 0) + extra
    for micros, chunk in records:
        out += struct.pack("<QH", micros, len(chunk)) + chunk
    return out


def parse_recording(data):
    """The records of a timed recording, read from its layout."""
    magic, version, header_size, reserved = struct.unpack_from("<8sHHI", data)
    assert (magic, version, header_size, reserved) == (b"QUARNREC", 1, 16, 0), data[:16]
    records, pos = [], header_size
    while pos < len(data):
        micros, n = struct.unpack_from("<QH", data, pos)
        records.append((micros, data[pos + 10:pos + 10 + n]))
        assert 1 <= n == len(records[-1][1]), (pos, n)
        pos += 10 + n
    return records


def sbus_pack(channels, flags=0, end=0):
    """An SBUS frame: start byte, 16 channels of 11 bits packed lowest bit
    first, flags, end byte."""
    bits = sum(v << (11 * k) for k, v in enumerate(channels))
    return bytes([SBUS_START]) + bits.to_bytes(22, "little") + bytes([flags, end])


def sbus_unpack(frame):
    """16 channels of 11 bits, LSB first: bit b of channel k is frame bit 8 + 11k + b."""
    bits = int.from_bytes(frame, "little")
    return [(bits >> (8 + 11 * k)) & 0x7FF for k in range(16)]


def to_sbus(v):
    return min(v * 1706 // 1000, 2047)


class Pty:
    """A pseudo-terminal the test holds from both ends."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def read(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        return os.read(self.master, 4096) if ready else b""

    def read_exactly(self, n):
        got = b""
        deadline = time.monotonic() + WAIT
        while len(got) < n and time.monotonic() < deadline:
            got += self.read(0.1)
        return got

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class Session(unittest.TestCase):
    """Starts the tools and always cleans them up."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.procs = []
        self.ptys = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()
            for stream in (p.stdout, p.stderr):
                if stream:
                    stream.close()
        for pty in self.ptys:
            pty.close()
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def write_file(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def pty(self):
        self.ptys.append(Pty())
        return self.ptys[-1]

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

    def replay_json(self, path, *args):
        rc, out, err = self.run_tool(MONITOR, "--replay", path, "--json", "--chunk-size", "1", *args)
        return rc, [json.loads(line) for line in out.splitlines()], err

    def expect_request(self, device):
        self.assertEqual(list(device.read_exactly(7)), REQUEST + [0, 0, TAIL])


class SimulatorAgainstMonitor(Session):
    def interrupted_session(self, sim_args, min_lines=40):
        """Sim against monitor until min_lines updates, then SIGINT. Returns
        the monitor's lines and the simulator's log."""
        sim, port, log = self.start_sim(*sim_args)
        mon, out = self.start_monitor("--port", port, "--json", "--chunk-size", "1",
                                      "--request", "7,0xFA")
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
        self.assertEqual([line["frames_decoded"] for line in lines], list(range(1, len(lines) + 1)))

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
        # Type-2 frames of 100 bytes and no noise: line k ends at byte 100k.
        self.assertEqual([line["bytes"] for line in lines], [100 * (k + 1) for k in range(len(lines))])
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
                rc, lines, err = self.replay_json(stream)
                self.assertEqual((rc, err), (0, ""))
                events = read_lines(log)
                frames = [values_of(e, type_) for e in events if e["event"] == "frame"]
                self.assertGreater(sum(e["event"] == "corrupted" for e in events), 10)
                self.assertEqual([values_of(line, type_) for line in lines], frames)
                self.assertEqual(lines[-1]["bytes"], os.path.getsize(stream))


class RecordReplay(Session):
    def test_timed_recording_round_trip(self):
        """The test plays the device with pauses; the recording holds every
        byte with its arrival time, and the replay keeps that pace."""
        device = self.pty()
        record = self.path("session.qrec")
        mon, live = self.start_monitor("--port", device.path, "--json", "--chunk-size", "1",
                                       "--record", record)
        self.expect_request(device)
        frames = [data_frame(2, [k * 100 + c for c in range(12)], [k * 1000 + p for p in range(32)])
                  for k in range(4)]
        for frame in frames:
            # Two writes per frame: the record keeps chunks as they came.
            os.write(device.master, frame[:40])
            time.sleep(0.05)
            os.write(device.master, frame[40:])
            time.sleep(0.5)
        mon.send_signal(signal.SIGINT)
        self.assertEqual(self.finish(mon), (0, ""))
        self.assertEqual(list(device.read_exactly(5)), STOP)

        with open(record, "rb") as f:
            records = parse_recording(f.read())
        self.assertEqual(b"".join(chunk for _, chunk in records), b"".join(frames))
        # When each frame completed, by the recorded clock.
        ends, total = [], 0
        for micros, chunk in records:
            total += len(chunk)
            if total % len(frames[0]) == 0:
                ends.append(micros / 1e6)
        self.assertEqual(len(ends), 4)
        gaps = [b - a for a, b in zip(ends, ends[1:])]
        self.assertTrue(all(0.3 < g < 3.0 for g in gaps), gaps)

        live_lines = read_lines(live)
        for speed in ("1", "0"):
            with self.subTest(speed=speed):
                rc, lines, err = self.replay_json(record, "--replay-speed", speed)
                self.assertEqual((rc, err), (0, ""))
                self.assertEqual([dict(x, t=None) for x in lines], [dict(x, t=None) for x in live_lines])
                ts = [x["t"] for x in lines]
                if speed == "1":
                    # Never before its recorded time (t has 3 decimals).
                    self.assertTrue(all(t >= end - 0.001 for t, end in zip(ts, ends)), (ts, ends))
                else:
                    self.assertLess(ts[-1], ends[-1] / 2, ts)

    def test_replay_pace_cuts_and_versions(self):
        """Recordings packed here: pace and speed, a file cut at each kind of
        place, a longer header, another version, and raw bytes."""
        frames = [data_frame(0, [k + 1] * 12) for k in range(3)]
        timed = [(0, frames[0]), (400000, frames[1]), (800000, frames[2])]
        whole = recording(timed)
        cut_inside_chunk = len(whole) - 10
        cut_inside_record_header = len(recording(timed[:2])) + 4
        fast = ["--replay-speed", "0"]
        cases = [
            # name, bytes, args, exit code, channel values seen, pace: the
            # earliest each update may come and the latest the last may,
            # seconds from the start; notice
            ("at its pace", whole, [], 0, [1, 2, 3], ([0, 0.4, 0.8], WAIT), None),
            ("twice as fast", whole, ["--replay-speed", "2"], 0, [1, 2, 3],
             ([0, 0.2, 0.4], 0.75), None),
            ("a longer header", recording(timed, header_size=20, extra=b"\x01\x02\x03\x04"),
             fast, 0, [1, 2, 3], ([0, 0, 0], 0.75), None),
            ("raw bytes at once", b"".join(frames), [], 0, [1, 2, 3], ([0, 0, 0], 0.75), None),
            ("cut inside a chunk", whole[:cut_inside_chunk], fast, 0, [1, 2], None,
             f"cut at byte {cut_inside_chunk}, inside the record that starts at byte "
             f"{len(recording(timed[:2]))}"),
            ("cut inside a record header", whole[:cut_inside_record_header], fast, 0, [1, 2], None,
             f"cut at byte {cut_inside_record_header}"),
            ("cut inside the file header", whole[:12], [], 0, [], None, "cut at byte 12"),
            ("version 2", recording(timed, version=2), [], EXIT_OPEN, [], None, "version 2"),
        ]
        for name, data, args, code, seen, pace, notice in cases:
            with self.subTest(name):
                rc, lines, err = self.replay_json(self.write_file("r.qrec", data), *args)
                self.assertEqual(rc, code, err)
                self.assertEqual([line["channels"][0] for line in lines], seen)
                if pace:
                    ts = [line["t"] for line in lines]
                    earliest, latest = pace
                    self.assertTrue(all(t >= e - 0.001 for t, e in zip(ts, earliest)), ts)
                    self.assertLess(ts[-1], latest, ts)
                if notice:
                    self.assertEqual(len(err.splitlines()), 1, err)
                    self.assertIn(notice, err)
                else:
                    self.assertEqual(err, "")
        # The bytes present of a cut record are replayed too: a frame whose
        # last byte alone is missing leaves all its other bytes counted.
        rc, lines, err = self.replay_json(self.write_file("c.bin", whole[:-1]), "--replay-speed", "0")
        self.assertEqual((rc, [x["channels"][0] for x in lines]), (0, [1, 2]))
        rc, out, _ = self.run_tool(MONITOR, "--replay", self.path("c.bin"), "--replay-speed", "0")
        self.assertIn(f"bytes={3 * len(frames[0]) - 1} ", out)

    def test_replay_of_a_noisy_session_gives_the_same_output(self):
        sim, port, _ = self.start_sim("--noise", "0.2")
        record = self.path("session.qrec")
        mon, live = self.start_monitor("--port", port, "--json", "--chunk-size", "1",
                                       "--record", record, "--duration", "1.5")
        self.assertEqual(self.finish(mon), (0, ""))
        self.assertEqual(self.finish(sim)[0], 0)  # --duration also sends the stop command
        live_lines = [dict(line, t=None) for line in read_lines(live)]
        self.assertGreater(len(live_lines), 20)

        rc, lines, err = self.replay_json(record, "--replay-speed", "0")
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual([dict(x, t=None) for x in lines], live_lines)

        # Standard input and the default chunking end at the same values.
        with open(record, "rb") as f:
            rc, out, err = self.run_tool(MONITOR, "--replay", "-", "--replay-speed", "0", "--json",
                                         stdin=f.read())
        self.assertEqual((rc, err), (0, ""))
        # Other chunks, other counts: only the values must agree.
        uncounted = {"t": None, "frames_decoded": None, "bytes": None}
        self.assertEqual(dict(json.loads(out.splitlines()[-1]), **uncounted),
                         dict(live_lines[-1], **uncounted))

    def test_record_raw_appends_and_overwrite_replaces(self):
        frame = data_frame(1, ports=range(32))
        source = self.write_file("in.bin", frame)
        record = self.write_file("r.bin", b"previous")
        self.assertEqual(self.run_tool(MONITOR, "--replay", source, "--record-raw", record)[0], 0)
        with open(record, "rb") as f:
            self.assertEqual(f.read(), b"previous" + frame)
        for option in ("--record-raw", "--record"):
            with self.subTest(option):
                self.write_file("r.bin", b"previous")
                rc, _, err = self.run_tool(MONITOR, "--replay", source, option, record, "--overwrite")
                self.assertEqual((rc, err), (0, ""))
                with open(record, "rb") as f:
                    data = f.read()
                if option == "--record-raw":
                    self.assertEqual(data, frame)
                else:
                    self.assertEqual(b"".join(c for _, c in parse_recording(data)), frame)


class Sbus(Session):
    """The test plays the device on one pty and the flight controller on another."""

    def setUp(self):
        super().setUp()
        self.device, self.fc = self.pty(), self.pty()

    def start_forwarding(self, *args):
        mon, out = self.start_monitor("--port", self.device.path, "--json", "--chunk-size", "1",
                                      "--sbus-out", self.fc.path, *args)
        self.expect_request(self.device)
        return mon, out

    def stream_and_collect(self, ports, seconds):
        """Sends data frames for a while; returns the SBUS bytes that came out."""
        frame = data_frame(1, ports=ports)
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
                mon, out = self.start_forwarding(*args)
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
                # Every line carries the bridge's state; the count only grows
                # and ends near the frames that came out.
                lines = read_lines(out)
                sent = [line["sbus"]["frames_sent"] for line in lines]
                self.assertEqual(sent, sorted(sent))
                self.assertLessEqual(sent[-1], len(frames))
                self.assertGreater(sent[-1], len(frames) // 2)
                size = len(data_frame(1, ports=ports))
                self.assertEqual([x["bytes"] for x in lines], [size * (k + 1) for k in range(len(lines))])

    def test_failsafe_stops_frames_and_data_resumes_them(self):
        mon, out = self.start_forwarding("--failsafe-ms", "100")
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
        # The first line came before any frame could go out: paused; after
        # the pause, the first new data finds the bridge still paused.
        lines = read_lines(out)
        self.assertEqual(lines[0]["sbus"], {"frames_sent": 0, "failsafe": True})
        first_resumed = next(x for x in lines if x["ports"][0] == 1200)
        self.assertTrue(first_resumed["sbus"]["failsafe"])
        self.assertFalse(lines[-1]["sbus"]["failsafe"])


class SbusIn(Session):
    # (channels, flags, end byte): every flag alone, and every end byte.
    FRAMES = [
        ([k * 128 for k in range(16)], 0x00, 0x00),
        ([2047 - k for k in range(16)], 0x01, 0x04),
        ([0x555, 0x2AA] * 8, 0x02, 0x14),
        ([1] * 16, 0x04, 0x24),
        ([0x0F] * 16, 0x08, 0x34),  # start bytes inside a frame
    ]
    # Garbage before each frame: none, bytes without a start byte, a start
    # byte 5 bytes before the real frame (its 25th byte falls inside that
    # frame), a start byte whose 25th byte is no end byte.
    GARBAGE = [b"", b"\x00\x01\xff", b"\x0f\x99\x98\x97\x96", b"\x0f" + b"\x33" * 24, b"\xaa"]

    def stream(self):
        data, skipped, expected = b"", 0, []
        for (channels, flags, end), garbage in zip(self.FRAMES, self.GARBAGE):
            for i, byte in enumerate(garbage):
                # A false start must not end on an end byte, or it is a frame.
                if byte == SBUS_START:
                    ahead = garbage[i:] + sbus_pack(channels, flags, end)
                    self.assertNotIn(ahead[24], (0x00, 0x04, 0x14, 0x24, 0x34))
            data += garbage + sbus_pack(channels, flags, end)
            skipped += len(garbage)
            expected.append({"sbus_channels": channels, "ch17": bool(flags & 1),
                             "ch18": bool(flags & 2), "frame_lost": bool(flags & 4),
                             "failsafe": bool(flags & 8), "end_byte": end, "skipped_bytes": skipped})
        return data, expected

    def test_frames_between_garbage_over_a_pty(self):
        line = self.pty()
        data, expected = self.stream()
        mon, out = self.start_monitor("--sbus-in", line.path, "--json")
        time.sleep(0.3)  # the monitor discards what came before it opened the line
        for i in range(0, len(data), 7):  # chunks that cut frames anywhere
            os.write(line.master, data[i:i + 7])
            time.sleep(0.002)
        wait_for(lambda: line_count(out) >= len(expected), what="SBUS frames")
        mon.send_signal(signal.SIGINT)
        self.assertEqual(self.finish(mon), (0, ""))
        self.assertEqual([{k: v for k, v in x.items() if k != "t"} for x in read_lines(out)], expected)

    def test_a_file_ends_and_its_unfinished_frame_counts_as_skipped(self):
        data, expected = self.stream()
        path = self.write_file("sbus.bin", data + sbus_pack([0] * 16)[:10])
        rc, out, err = self.run_tool(MONITOR, "--sbus-in", path)
        self.assertEqual((rc, err), (0, ""))
        last = out.splitlines()[-2]
        self.assertIn(f"frames={len(expected)} skipped_bytes={expected[-1]['skipped_bytes'] + 10} ", last)
        self.assertIn("end_byte=52", last)
        self.assertIn("finished", out.splitlines()[-1])

    def test_bridge_to_a_pty_read_by_the_receiver(self):
        """The two commands of the end-to-end check, with the test as the device."""
        device = self.pty()
        ports = [(k * 71) % 1200 for k in range(32)]
        bridge = self.start([MONITOR, "--port", device.path, "--sbus-out", "pty", "--sbus2",
                             "--json"])
        self.expect_request(device)
        line = bridge.stderr.readline().decode()
        path = next(w for w in line.split() if w.startswith("/dev/"))
        frame = data_frame(1, ports=ports)
        # Nobody reads for a while: a receiver that comes late finds whole
        # frames, and never more than the few the bridge keeps (8 and the one
        # being written), as a wire keeps none.
        late = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        deadline = time.monotonic() + 0.6
        while time.monotonic() < deadline:
            os.write(device.master, frame)
            time.sleep(0.02)
        queued = os.read(late, 4096)
        os.close(late)
        self.assertEqual(len(queued) % SBUS_SIZE, 0)
        self.assertTrue(0 < len(queued) <= 9 * SBUS_SIZE, len(queued))
        mon, out = self.start_monitor("--sbus-in", path, "--json")
        wait_for(lambda: os.write(device.master, frame) and line_count(out) >= 8, what="frames")
        mon.send_signal(signal.SIGINT)
        self.assertEqual(self.finish(mon), (0, ""))
        lines = read_lines(out)
        self.assertEqual(lines[-1]["sbus_channels"], [to_sbus(v) for v in ports[:16]])
        self.assertEqual({x["end_byte"] for x in lines}, {0x04, 0x14, 0x24, 0x34})
        bridge.send_signal(signal.SIGINT)
        self.assertEqual(self.finish(bridge), (0, ""))


class Errors(Session):
    def test_bad_input_gets_a_message_an_exit_code_and_writes_nothing(self):
        raw = self.write_file("stream.bin", data_frame(0, [1] * 12))
        existing = self.write_file("existing.qrec", b"keep")
        new = self.path("new.qrec")
        tty = self.pty().path
        missing = "/nonexistent/quarn"
        m, s = MONITOR, SIM
        # (program and arguments, exit code, parts of the message)
        cases = [
            ([m, "--simulate", "--baud", "abc"], EXIT_USAGE, ["--baud", "'abc'", "50 to 4000000"]),
            ([m, "--simulate", "--duration", "1e400"], EXIT_USAGE,
             ["--duration", "'1e400'", "0.001 to 31536000"]),
            ([m, "--replay", raw, "--chunk-size", "0"], EXIT_USAGE, ["--chunk-size", "'0'", "1 to 255"]),
            ([m, "--simulate", "--request", "1,256"], EXIT_USAGE, ["--request", "'1,256'", "0 to 255"]),
            ([m, "--simulate", "--request", "1"], EXIT_USAGE, ["--request", "'1'", "A,B"]),
            ([m, "--hid", "12345:1"], EXIT_USAGE, ["--hid", "'12345:1'", "VID:PID"]),
            ([m, "--simulate", "--sbus-out", "pty", "--sbus-source", "middle"], EXIT_USAGE,
             ["--sbus-source", "'middle'", "ports-low, ports-high"]),
            ([m, "--bogus"], EXIT_USAGE, ["unknown option '--bogus'"]),
            ([m], EXIT_USAGE, ["no source given"]),
            ([m, "--simulate", "--replay", raw], EXIT_USAGE, ["--replay and --simulate"]),
            ([m, "--simulate", "--sbus-period-ms", "7"], EXIT_USAGE, ["--sbus-period-ms", "--sbus-out"]),
            ([m, "--hid", "1:2", "--record", new], EXIT_USAGE, ["--record", "--hid"]),
            ([m, "--replay", raw, "--record", raw], EXIT_USAGE, ["the file being replayed"]),
            ([m, "--port"], EXIT_USAGE, ["--port needs a value"]),
            ([s, "--out", new, "--frames", "-5"], EXIT_USAGE, ["--frames", "'-5'", "1 to 172800000"]),
            ([s, "--out", new, "--frames", "172800001"], EXIT_USAGE, ["'172800001'"]),
            ([s, "--pty", "--noise", "2"], EXIT_USAGE, ["--noise", "'2'", "0 to 1"]),
            ([s, "--pty", "--out", new], EXIT_USAGE, ["--pty and --out"]),
            ([m, "--port", missing, "--record", new], EXIT_OPEN, [missing, "No such file"]),
            ([m, "--port", "/dev/null", "--record", new], EXIT_OPEN,
             ["/dev/null", "Inappropriate ioctl"]),
            ([m, "--replay", missing], EXIT_OPEN, [missing, "No such file"]),
            ([m, "--replay", self.dir.name, "--record", new], EXIT_OPEN,
             [self.dir.name, "Is a directory"]),
            ([m, "--replay", raw, "--record", missing + "/r.qrec"], EXIT_OPEN, [missing, "No such file"]),
            ([m, "--replay", raw, "--record", existing], EXIT_OPEN, [existing, "--overwrite"]),
            ([m, "--replay", raw, "--sbus-out", missing, "--record", new], EXIT_OPEN,
             [missing, "No such file"]),
            ([m, "--sbus-in", missing], EXIT_OPEN, [missing, "No such file"]),
            ([m, "--hid", "fffe:fffd"], EXIT_OPEN, ["fffe:fffd", "no device"]),
            ([m, "--hid-path", "/dev/null"], EXIT_OPEN, ["/dev/null", "not a hidraw device"]),
            ([m, "--hid-path", tty], EXIT_OPEN, [tty, "not a hidraw device"]),
            ([m, "--hid-path", raw], EXIT_OPEN, [raw, "regular file"]),
            ([m, "--hid-path", self.dir.name], EXIT_OPEN, [self.dir.name, "directory"]),
            ([m, "--hid-path", missing], EXIT_OPEN, [missing, "No such file"]),
            ([s, "--out", missing + "/s.bin", "--log", new], EXIT_OPEN, [missing, "No such file"]),
        ]
        for args, code, parts in cases:
            with self.subTest(args=args[1:]):
                rc, out, err = self.run_tool(*args)
                self.assertEqual((rc, out), (code, ""), err)
                self.assertTrue(err.startswith(os.path.basename(args[0]) + ": "), err)
                for part in parts:
                    self.assertIn(part, err)
                self.assertEqual(len(err.splitlines()), 2 if code == EXIT_USAGE else 1, err)
                self.assertFalse(os.path.exists(new), "a file was written")
                with open(existing, "rb") as f:
                    self.assertEqual(f.read(), b"keep")

    def test_help_gives_examples_and_exit_codes(self):
        for program in (MONITOR, SIM):
            with self.subTest(program):
                rc, out, err = self.run_tool(program, "--help")
                self.assertEqual((rc, err), (0, ""))
                for part in ("Examples:", "Exit codes:", "3  a source or target cannot be opened"):
                    self.assertIn(part, out)

    def test_permission_error_hints_at_dialout(self):
        port = self.path("ttyS9")
        open(port, "w").close()
        os.chmod(port, 0)
        # Root opens anything; without its file-permission override it is refused.
        prefix = []
        if os.geteuid() == 0:
            prefix = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search"]
        rc, _, err = self.run_tool(*prefix, MONITOR, "--port", port)
        self.assertEqual(rc, EXIT_OPEN, err)
        for part in (port, "Permission denied", "dialout"):
            self.assertIn(part, err)

    def test_device_that_disappears_mid_stream(self):
        sim, port, _ = self.start_sim()
        mon, out = self.start_monitor("--port", port, "--json")
        wait_for(lambda: line_count(out) >= 5, what="monitor output")
        sim.kill()
        rc, err = self.finish(mon)
        self.assertEqual(rc, EXIT_FAILURE, err)
        self.assertIn(port + " disappeared", err)


@unittest.skipUnless(TMUX, "tmux is not installed")
class Screen(Session):
    """The live screen in a terminal of known size, as tmux draws it."""

    CHANNELS = [60001 + k for k in range(12)]
    PORTS = [40001 + k for k in range(32)]

    def tmux(self, *args):
        return subprocess.run([TMUX, "-S", self.socket, "-f", self.conf, *args],
                              capture_output=True, text=True, timeout=WAIT, check=True).stdout

    def terminal(self, columns, rows, command):
        """A new tmux server, of its own, running command in a terminal of
        this size."""
        self.socket = self.path(f"tmux{len(self.sockets)}.sock")
        self.sockets.append(self.socket)
        self.tmux("new-session", "-d", "-x", str(columns), "-y", str(rows), command)

    def setUp(self):
        super().setUp()
        self.conf = self.write_file("tmux.conf", b"set -g status off\n")
        self.sockets = []

    def tearDown(self):
        for socket in self.sockets:
            subprocess.run([TMUX, "-S", socket, "kill-server"], capture_output=True)
        super().tearDown()

    def capture(self, expect):
        text = []

        def shown():
            text[:] = [self.tmux("capture-pane", "-p")]
            return expect in text[0]
        wait_for(shown, what=repr(expect))
        return text[0].splitlines()

    def check_fits(self, lines, columns, rows):
        self.assertTrue(lines[0].startswith("quarn-monitor  "), lines[:2])
        self.assertLessEqual(len(lines), rows)
        self.assertTrue(all(len(x) < columns for x in lines), [x for x in lines if len(x) >= columns])
        words = " ".join(lines).replace(":", " ").split()
        for v in self.CHANNELS + self.PORTS:
            self.assertIn(str(v), words)

    def test_every_value_fits_at_each_size_and_a_resize_redraws(self):
        stream = self.write_file("one.bin", data_frame(2, self.CHANNELS, self.PORTS))
        for columns, rows in ((80, 24), (60, 20), (132, 43)):
            with self.subTest(size=(columns, rows)):
                # The pane stays, as the monitor left it, until the sleep ends.
                rc = self.path("rc")
                self.terminal(columns, rows,
                              f"env LANG=C.UTF-8 {MONITOR} --replay {stream}; echo $? > {rc}; sleep 60")
                lines = self.capture("replay finished")
                self.check_fits(lines, columns, rows)
                wait_for(lambda: os.path.exists(rc) and os.path.getsize(rc) > 0, what="exit code")
                with open(rc) as f:
                    self.assertEqual(f.read().strip(), "0")
                os.remove(rc)

        device = self.pty()
        self.terminal(80, 24, f"{MONITOR} --port {device.path}")
        self.expect_request(device)
        os.write(device.master, data_frame(2, self.CHANNELS, self.PORTS))
        self.check_fits(self.capture(str(self.PORTS[-1])), 80, 24)
        self.tmux("resize-window", "-x", "60", "-y", "20")
        wait_for(lambda: "Ports 17-32" not in self.tmux("capture-pane", "-p"), what="compact layout")
        self.check_fits(self.capture("Ctrl-C to stop"), 60, 20)


if __name__ == "__main__":
    unittest.main()
