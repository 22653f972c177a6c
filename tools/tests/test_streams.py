"""quarn-monitor against quarn-sim, and recordings: what the monitor decodes
is exactly what the device sent, live and replayed.
"""

import json
import os
import signal
import time
import unittest

from support import (
    MONITOR,
    SIM,
    EXIT_OPEN,
    STOP,
    REQUEST,
    TAIL,
    WAIT,
    Session,
    data_frame,
    line_count,
    parse_recording,
    read_lines,
    recording,
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


if __name__ == "__main__":
    unittest.main()
