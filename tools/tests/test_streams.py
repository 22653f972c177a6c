"""quarn-monitor against quarn-sim, and recordings: what the monitor decodes
is exactly what the device sent, live and replayed.
"""

import json
import os
import signal
import struct
import subprocess
import time
import unittest
from pathlib import Path

from support import (
    MONITOR,
    SIM,
    EXIT_OPEN,
    SBUS_SIZE,
    STOP,
    REQUEST,
    TAIL,
    WAIT,
    FakeSystem,
    Session,
    data_frame,
    line_count,
    parse_recording,
    read_lines,
    recording,
    sbus_unpack,
    to_sbus,
    values_of,
    wait_for,
)


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


class Reconnect(Session):
    """--reconnect: the device lost in the middle of a frame and back, as a new
    pseudo-terminal, under the same path or as the same USB device under
    another name (a fake sysfs tells the monitor what the terminals are)."""

    # The measured case: a type-0 frame whose channel 5 (0x035F) puts 0x5F at
    # frame byte 15. Cut after 14 bytes, its first half and the whole frame
    # again make a frame the device never sent: channels 4 to 6 would read
    # 64232, 6565 and 0.
    MEASURED = [1000] * 5 + [863] + [1000] * 6
    FIRST = ([100 + c for c in range(12)], [200 + p for p in range(32)])
    SECOND = ([300 + c for c in range(12)], [1100 - p for p in range(32)])

    def stream(self, device, values, seconds):
        """Sends type-2 frames for a while; returns the SBUS bytes that came out."""
        frame, out = data_frame(2, *values), b""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            os.write(device.master, frame)
            out += self.fc.read(0.01)
        return out

    def sbus_values(self, data):
        self.assertEqual(len(data) % SBUS_SIZE, 0, "torn SBUS frame")
        return [sbus_unpack(data[i:i + SBUS_SIZE]) for i in range(0, len(data), SBUS_SIZE)]

    def plug(self, system, device):
        """Makes the terminal the port of one USB device, in a fake sysfs;
        returns what unplugging it removes."""
        name = os.path.basename(device.path)
        return system.tty(name, system.usb("1-1", ("0483", "5740"), ("", "", "Q1")),
                          node_target=device.path)

    def test_a_hid_device_that_is_not_there_is_waited_for(self):
        """No hidraw device here: the path checks and the waiting."""
        hidraw = self.path("hidraw9")
        cases = [
            (["--hid-path", hidraw], f"cannot open HID device {hidraw}: No such file or directory"),
            (["--hid", "fffe:fffd"], "cannot open HID device fffe:fffd: no device with this id"),
        ]
        for args, reason in cases:
            with self.subTest(args=args):
                out, err = self.path("hid.jsonl"), self.path("hid.err")
                with open(out, "w") as stdout, open(err, "w") as stderr:
                    p = subprocess.Popen([MONITOR, *args, "--reconnect", "--json"], stdout=stdout,
                                         stderr=stderr)
                self.procs.append(p)
                wait_for(lambda: line_count(out) >= 1, what="the first event")
                [event] = read_lines(out)
                self.assertEqual((event["event"], event["t"]), ("disconnected", 0))
                self.assertIn(reason, event["reason"])
                if args[0] == "--hid-path":
                    # A path that is there but no hidraw device is no device either.
                    self.write_file("hidraw9", b"")
                    wait_for(lambda: "regular file" in Path(err).read_text(),
                             what="the path checked")
                    os.remove(hidraw)
                time.sleep(0.5)
                self.assertIsNone(p.poll(), "the monitor stopped waiting")
                p.send_signal(signal.SIGINT)
                self.assertEqual(p.wait(WAIT), 0)
                lines = Path(err).read_text().splitlines()
                self.assertIn(reason, lines[0])
                self.assertTrue(lines[0].endswith("; waiting for it (Ctrl-C to stop)"), lines)
                if args[0] == "--hid-path":
                    self.assertEqual(lines[1:], [
                        f"quarn-monitor: still waiting: cannot open HID device {hidraw}: it is a "
                        "regular file, not a hidraw device",
                        f"quarn-monitor: still waiting: cannot open HID device {hidraw}: No such "
                        "file or directory"])

    def test_a_device_lost_mid_frame_and_back(self):
        for same_path in (True, False):
            with self.subTest("same path" if same_path else "same USB device, other name"):
                self.lost_and_back(same_path)

    def lost_and_back(self, same_path):
        system = FakeSystem(self.path(f"root{int(same_path)}"))
        self.fc = self.pty()
        one, two = self.pty(), self.pty()
        # Both terminals have a slow latency timer: the hint comes once.
        for device in (one, two):
            system.latency_timer(os.path.basename(device.path), 16)
        unplug = [] if same_path else self.plug(system, one)
        link, record = self.path(f"port{int(same_path)}"), self.path(f"r{int(same_path)}.qrec")
        os.symlink(one.path, link)
        out = self.path(f"live{int(same_path)}.jsonl")
        with open(out, "w") as stdout:
            mon = self.start([MONITOR, "--port", link, "--reconnect", "--json", "--chunk-size", "1",
                              "--record", record, "--sbus-out", self.fc.path],
                             stdout=stdout, env=dict(os.environ, QUARN_SYSTEM_ROOT=system.root))
        self.expect_request(one)
        before = self.sbus_values(self.stream(one, self.FIRST, 0.5))
        measured = data_frame(0, self.MEASURED)
        os.write(one.master, measured[:14])

        def recorded():
            with open(record, "rb") as f:
                data = f.read()
            try:
                return b"".join(chunk for _, chunk in parse_recording(data))
            except (AssertionError, struct.error):
                return b""  # caught in the middle of a write
        wait_for(lambda: recorded().endswith(measured[:14]), what="the half frame recorded")
        os.remove(link)
        for path in unplug:
            os.remove(path)
        one.close()
        wait_for(lambda: any("event" in x for x in read_lines(out)), what="disconnected")
        time.sleep(0.3)  # the failsafe (100 ms) and what was on its way
        while self.fc.read(0.05):
            pass
        self.assertEqual(self.fc.read(0.5), b"", "SBUS frames while the device is away")

        if same_path:
            os.symlink(two.path, link)
        else:
            self.plug(system, two)
        self.expect_request(two)
        os.write(two.master, measured)
        after = self.sbus_values(self.stream(two, self.SECOND, 0.5))
        mon.send_signal(signal.SIGINT)
        rc, err = self.finish(mon)
        self.assertEqual(rc, 0, err)
        self.assertEqual(list(two.read_exactly(5)), STOP)

        lines = read_lines(out)
        events = [x for x in lines if "event" in x]
        data = [x for x in lines if "event" not in x]
        where = link if same_path else system.at("dev", os.path.basename(two.path))
        self.assertEqual([(e["event"], e.get("path")) for e in events],
                         [("disconnected", None), ("reconnected", where)])
        self.assertIn(link + " disappeared", events[0]["reason"])
        # No value the device never sent: only the frames sent, whole.
        allowed = [self.FIRST[0], self.MEASURED, self.SECOND[0]]
        self.assertEqual([x["channels"] for x in data if x["channels"] not in allowed], [])
        self.assertIn(self.MEASURED, [x["channels"] for x in data])
        self.assertEqual({tuple(x["ports"]) for x in data},
                         {tuple(self.FIRST[1]), tuple(self.SECOND[1])})
        self.assertEqual(err.count("latency timer"), 1, err)
        self.assertIn("is back, on " + where, err)
        # SBUS before, nothing while away (above), and the second device after.
        first_sbus = [to_sbus(p) for p in self.FIRST[1][:16]]
        self.assertTrue(before and all(v == first_sbus for v in before))
        self.assertEqual(after[-1], [to_sbus(p) for p in self.SECOND[1][:16]])

        # The recording holds both parts, the reconnect marked in between, the
        # gap in its times; its replay shows what the live session showed.
        with open(record, "rb") as f:
            records = parse_recording(f.read())
        marks = [k for k, (_, chunk) in enumerate(records) if not chunk]
        self.assertEqual(len(marks), 1, records)
        self.assertGreater(records[marks[0] + 1][0] - records[marks[0] - 1][0], 500000)
        rc, replayed, err = self.replay_json(record, "--replay-speed", "0")
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual([dict(x, t=None) for x in replayed],
                         [{k: v for k, v in dict(x, t=None).items() if k != "sbus"} for x in data])


if __name__ == "__main__":
    unittest.main()
