"""SBUS out and in: the bridge's frames read back from a pseudo-terminal and
unpacked here, and the receiver against frames packed here.
"""

import os
import signal
import termios
import time
import unittest

from support import (
    MONITOR,
    SBUS_SIZE,
    SBUS_START,
    STOP,
    WAIT,
    Session,
    data_frame,
    line_count,
    read_lines,
    recording,
    sbus_pack,
    sbus_unpack,
    to_sbus,
    wait_for,
)


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
                # The device heard the stop command; the pty is drained for the
                # next case, counting the frames that went out after the data.
                self.assertEqual(list(self.device.read(WAIT)), STOP)
                late = b""
                while chunk := self.fc.read(0.2):
                    late += chunk
                # Every line carries the bridge's state; the count only grows
                # and ends near the frames that came out.
                lines = read_lines(out)
                sent = [line["sbus"]["frames_sent"] for line in lines]
                self.assertEqual(sent, sorted(sent))
                self.assertLessEqual(sent[-1], len(frames) + len(self.frames(late)))
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
        first_resumed = next(k for k, x in enumerate(lines) if x["ports"][0] == 1200)
        self.assertTrue(lines[first_resumed]["sbus"]["failsafe"])
        # Then the data took it out of failsafe (the last line may find it
        # paused again: it is printed at SIGINT, when the data has stopped).
        self.assertIn(False, [x["sbus"]["failsafe"] for x in lines[first_resumed:]])


    def test_a_missing_output_file_is_created(self):
        ports = [(k * 53) % 1200 for k in range(32)]
        # Half a second of data, at its pace: frames go out all along.
        timed = self.write_file("t.qrec", recording(
            [(k * 50000, data_frame(1, ports=ports)) for k in range(10)]))
        out = self.path("new.sbus")
        rc, _, err = self.run_tool(MONITOR, "--replay", timed, "--sbus-out", out)
        self.assertEqual((rc, err), (0, ""))
        with open(out, "rb") as f:
            frames = self.frames(f.read())
        self.assertGreater(len(frames), 5)
        for f in frames:
            self.assertEqual((f[0], sbus_unpack(f)), (SBUS_START, [to_sbus(v) for v in ports[:16]]))


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
        # The monitor discards what came before it set the line up, as it
        # opens it, however long it takes to start: wait for its two stop
        # bits (a pseudo-terminal keeps no parity bit).
        wait_for(lambda: termios.tcgetattr(line.slave)[2] & termios.CSTOPB, what="the line set up")
        time.sleep(0.1)
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


if __name__ == "__main__":
    unittest.main()
