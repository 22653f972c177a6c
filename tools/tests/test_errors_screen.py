"""Bad input (a message, an exit code, nothing written), and the live screen
in a terminal of known size.
"""

import os
import subprocess
import unittest

from support import (
    EXIT_FAILURE,
    EXIT_OPEN,
    EXIT_USAGE,
    MONITOR,
    SIM,
    TMUX,
    WAIT,
    Session,
    data_frame,
    line_count,
    recording,
    wait_for,
)


class Errors(Session):
    def test_bad_input_gets_a_message_an_exit_code_and_writes_nothing(self):
        raw = self.write_file("stream.bin", data_frame(0, [1] * 12))
        existing = self.write_file("existing.qrec", b"keep")
        new = self.path("new.qrec")
        tty = self.pty().path
        missing = "/nonexistent/quarn"
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        m, s = MONITOR, SIM
        # A "$PORT" whose variable is unset: every path option names itself.
        empty = [([m, option, ""], EXIT_USAGE, [option + ": the value is empty; expected a path"])
                 for option in ("--port", "--replay", "--sbus-in", "--hid-path")]
        empty += [([m, "--replay", raw, option, ""], EXIT_USAGE, [option + ": the value is empty"])
                  for option in ("--record", "--record-raw", "--sbus-out")]
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
            ([m, "--list", "--port", tty], EXIT_USAGE, ["--port does not go with --list"]),
            ([m, "--replay", raw, "--reconnect"], EXIT_USAGE,
             ["--reconnect applies to --port, --hid and --hid-path, not to --replay"]),
            ([s, "--out", new, "--frames", "-5"], EXIT_USAGE, ["--frames", "'-5'", "1 to 172800000"]),
            ([s, "--out", new, "--frames", "172800001"], EXIT_USAGE, ["'172800001'"]),
            ([s, "--pty", "--noise", "2"], EXIT_USAGE, ["--noise", "'2'", "0 to 1"]),
            ([s, "--pty", "--out", new], EXIT_USAGE, ["--pty and --out"]),
            ([s, "--pty", "--frames", "3"], EXIT_USAGE, ["--frames applies to --out, not to --pty"]),
            ([s, "--pty", "--overwrite"], EXIT_USAGE, ["--overwrite applies to --out, not to --pty"]),
            ([s, "--out", new, "--once"], EXIT_USAGE, ["--once applies to --pty, not to --out"]),
            ([s, "--out", ""], EXIT_USAGE, ["--out needs a FILE", "empty"]),
            ([s, "--out", new, "--log", ""], EXIT_USAGE, ["--log needs a FILE", "empty"]),
            ([s, "--out", existing], EXIT_OPEN, [existing, "File exists", "--overwrite"]),
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
            ([m, "--sbus-in", self.dir.name], EXIT_OPEN,
             ["cannot open SBUS input " + self.dir.name + ": Is a directory"]),
            ([m, "--replay", raw, "--sbus-out", fifo], EXIT_OPEN,
             [fifo, "a FIFO that no program is reading"]),
            ([m, "--replay", raw, "--record-raw", fifo], EXIT_OPEN,
             [fifo, "a FIFO that no program is reading"]),
            ([m, "--replay", raw, "--sbus-out", "/dev/quarn-absent"], EXIT_OPEN,
             ["/dev/quarn-absent", "No such file"]),
            # The SBUS file it would create is not left behind when the
            # record file cannot be opened.
            ([m, "--replay", raw, "--sbus-out", new, "--record", existing], EXIT_OPEN,
             [existing, "--overwrite"]),
        ] + empty
        for args, code, parts in cases:
            with self.subTest(args=args[1:]):
                rc, out, err = self.run_tool(*args)
                self.assertEqual((rc, out), (code, ""), err)
                self.assertTrue(err.startswith(os.path.basename(args[0]) + ": "), err)
                for part in parts:
                    self.assertIn(part, err)
                self.assertEqual(len(err.splitlines()), 2 if code == EXIT_USAGE else 1, err)
                self.assertFalse(os.path.exists(new), "a file was written")
                self.assertFalse(os.path.exists("/dev/quarn-absent"), "a file was made in /dev")
                with open(existing, "rb") as f:
                    self.assertEqual(f.read(), b"keep")

    def test_sim_replaces_a_file_only_when_told_and_ends_quietly_when_its_reader_goes(self):
        existing = self.write_file("old.bin", b"keep")
        rc, out, err = self.run_tool(SIM, "--out", existing, "--frames", "2", "--overwrite")
        self.assertEqual((rc, out, err), (0, "", ""))
        with open(existing, "rb") as f:
            stream = f.read()
        # Two type-2 frames: 4 header bytes, a 95-byte payload and the trailer each.
        self.assertEqual((len(stream), stream[:2], stream[99:101]), (200, b"\xfa\xa5", b"\x5f\xfa"))
        # An existing file that is not a regular one is written to as it is.
        self.assertEqual(self.run_tool(SIM, "--out", "/dev/null", "--frames", "2"), (0, "", ""))
        # The reader takes 10 bytes and goes: no signal, no message, exit 0.
        pipeline = f'"{SIM}" --out - --frames 100000 | head -c 10 >/dev/null; echo ${{PIPESTATUS[0]}}'
        result = subprocess.run(["bash", "-c", pipeline], capture_output=True, text=True,
                                timeout=WAIT)
        self.assertEqual((result.stdout, result.stderr), ("0\n", ""))

    def test_help_gives_examples_and_exit_codes(self):
        for program in (MONITOR, SIM):
            with self.subTest(program):
                rc, out, err = self.run_tool(program, "--help")
                self.assertEqual((rc, err), (0, ""))
                for part in ("Examples:", "Exit codes:", "3  a source or target cannot be opened"):
                    self.assertIn(part, out)

    def test_permission_error_hints_at_dialout_for_a_device_only(self):
        # A terminal device stands for a serial port; a regular file is no port.
        device = self.pty().path
        file = self.path("ttyS9")
        open(file, "w").close()
        # Root opens anything; without its file-permission override it is refused.
        prefix = []
        if os.geteuid() == 0:
            prefix = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search"]
        for path, hint in ((device, True), (file, False)):
            with self.subTest(path):
                os.chmod(path, 0)
                rc, _, err = self.run_tool(*prefix, MONITOR, "--port", path)
                self.assertEqual(rc, EXIT_OPEN, err)
                for part in (path, "Permission denied"):
                    self.assertIn(part, err)
                self.assertEqual("dialout" in err, hint, err)

    def test_a_failing_output_ends_with_exit_1_and_names_it(self):
        # Half a second of data frames, so that SBUS frames go out too.
        timed = self.write_file("t.qrec", recording(
            [(k * 50000, data_frame(1, ports=[600] * 32)) for k in range(10)]))
        full, written = "No space left on device", "writing standard output failed: "
        # (arguments, standard output, message)
        cases = [
            (["--json"], "/dev/full", written + full),
            ([], "/dev/full", written + full),
            (["--record", "/dev/full", "--overwrite"], os.devnull,
             "writing record file /dev/full failed: " + full),
            (["--record-raw", "/dev/full"], os.devnull,
             "writing record file /dev/full failed: " + full),
            (["--sbus-out", "/dev/full"], os.devnull, "SBUS output /dev/full failed: " + full),
        ]
        for args, stdout, message in cases:
            with self.subTest(args=args, stdout=stdout):
                with open(stdout, "w") as out:
                    p = self.start([MONITOR, "--replay", timed, *args], stdout=out)
                rc, err = self.finish(p)
                self.assertEqual((rc, err), (EXIT_FAILURE, "quarn-monitor: " + message + "\n"))

        # The live screen, on a terminal that goes away.
        master, slave = os.openpty()
        p = self.start([MONITOR, "--simulate"], stdout=slave)
        os.close(slave)
        screen = bytearray()
        wait_for(lambda: screen.extend(os.read(master, 65536)) or b"Ctrl-C to stop" in screen,
                 what="the screen")
        os.close(master)
        rc, err = self.finish(p)
        self.assertEqual((rc, err),
                         (EXIT_FAILURE, "quarn-monitor: " + written + "Input/output error\n"))

        # A reader that has seen enough is no failure.
        p = self.start([MONITOR, "--replay", timed, "--json"], stdout=subprocess.PIPE)
        p.stdout.readline()
        p.stdout.close()
        self.assertEqual(self.finish(p), (0, ""))

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
        self.terminal(80, 24, f"{MONITOR} --port {device.path} --reconnect")
        self.expect_request(device)
        os.write(device.master, data_frame(2, self.CHANNELS, self.PORTS))
        self.check_fits(self.capture(str(self.PORTS[-1])), 80, 24)
        self.tmux("resize-window", "-x", "60", "-y", "20")
        wait_for(lambda: "Ports 17-32" not in self.tmux("capture-pane", "-p"), what="compact layout")
        self.check_fits(self.capture("Ctrl-C to stop"), 60, 20)
        # Unplugged: the screen says so, where stderr would scroll it away.
        device.close()
        self.check_fits(self.capture("DEVICE AWAY for"), 60, 20)

    def test_a_terminal_too_small_is_asked_to_grow_in_lines_that_fit(self):
        self.terminal(40, 10, f"{MONITOR} --simulate")
        lines = self.capture("at least 60x20")
        self.assertEqual(lines[:2], ["quarn-monitor: too small (40x10)",
                                     "make the terminal at least 60x20"])
        self.assertTrue(all(len(x) < 40 for x in lines), lines)

    def cursor_shown(self):
        return self.tmux("display-message", "-p", "#{cursor_flag}").strip() == "1"

    def test_ctrl_z_hands_the_shell_its_cursor_and_fg_draws_the_screen_again(self):
        # Job control needs an interactive shell.
        self.terminal(80, 24, "env PS1='$ ' bash --norc --noprofile -i")
        # The terminal would echo ^Z wherever its cursor happens to be.
        self.tmux("send-keys", f"stty -echoctl; {MONITOR} --simulate --sbus-out pty", "Enter")
        lines = self.capture("Ctrl-C to stop")
        # The path of the SBUS output stays in view under the title.
        self.assertTrue(lines[0].startswith("quarn-monitor  simulated device on /dev/pts/"), lines)
        self.assertRegex(lines[1], r"^SBUS frames go out on /dev/pts/\d+$")
        self.assertFalse(self.cursor_shown())

        self.tmux("send-keys", "C-z")
        lines = self.capture("Stopped")
        self.assertTrue(self.cursor_shown())
        # The shell's lines come below the screen, not over it.
        footer = lines.index("Ctrl-C to stop")
        stopped = next(k for k, line in enumerate(lines) if "Stopped" in line)
        self.assertEqual(lines[footer + 1:stopped], [""] * (stopped - footer - 1), lines)

        self.tmux("send-keys", "fg", "Enter")
        wait_for(lambda: "Stopped" not in self.tmux("capture-pane", "-p"), what="a new screen")
        lines = self.capture("Ctrl-C to stop")
        self.assertTrue(lines[0].startswith("quarn-monitor  "), lines)
        self.assertRegex(lines[1], r"^SBUS frames go out on /dev/pts/\d+$")
        wait_for(lambda: not self.cursor_shown(), what="the cursor hidden again")

        self.tmux("send-keys", "C-c")
        self.tmux("send-keys", "echo exit=$?", "Enter")
        self.capture("exit=0")


if __name__ == "__main__":
    unittest.main()
