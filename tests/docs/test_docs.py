"""The docs as users read them: every shell command of README.md and docs/ is
run by a test or said to be run by the pipeline or to be unable to run here
(doc_commands.py), the ones for a source tree built with the linux preset are
run here as written, and every C excerpt is the example program's code.

Run from the top of the tree, after the linux preset's build:

    /usr/bin/python3 tests/docs/test_docs.py -v
"""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest
from pathlib import Path

import doc_commands
from doc_commands import ROOT

BUILD = ROOT / "build" / "linux"
TOOLS = BUILD / "tools"
EXPECTED = (ROOT / "examples" / "data" / "device-stream.expected").read_text().splitlines()
# Generous: the machine may be loaded, and nothing here measures speed.
WAIT = 60
EXCERPT = re.compile(r"^<!-- excerpt: (\S+) -->\n```\w*\n(.*?)^```", re.MULTILINE | re.DOTALL)


def kits_doc_commands() -> dict[str, str]:
    """The commands that tests/kits/test_kits.py runs."""
    sys.path.insert(0, str(ROOT / "tests" / "kits"))
    import test_kits

    return test_kits.DOC_COMMANDS


class DocCommandsTest(unittest.TestCase):
    """Runs the commands for a built source tree, each as the docs write it."""

    def setUp(self):
        self.scratch = Path(tempfile.mkdtemp(prefix="quarn-docs-"))
        self.addCleanup(shutil.rmtree, self.scratch)
        self.env = dict(os.environ, PATH=f"{TOOLS}{os.pathsep}{os.environ['PATH']}")
        self.procs: list[subprocess.Popen] = []
        self.addCleanup(self.stop_all)

    def stop_all(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
            proc.communicate()

    def run_ok(self, command: str, cwd: Path = ROOT) -> subprocess.CompletedProcess:
        result = subprocess.run(["bash", "-c", command], cwd=cwd, env=self.env,
                                capture_output=True, text=True, timeout=WAIT)
        self.assertEqual(result.returncode, 0, f"{command}:\n{result.stdout}{result.stderr}")
        return result

    def start(self, command: str, cwd: Path = ROOT) -> subprocess.Popen:
        # exec: the signal goes to the program, not to a shell around it.
        proc = subprocess.Popen(["bash", "-c", "exec " + command], cwd=cwd, env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.procs.append(proc)
        return proc

    def interrupt(self, proc: subprocess.Popen) -> str:
        """Ctrl-C, as a user ends a program that runs until stopped; returns
        its output."""
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=WAIT)
        self.assertEqual(proc.returncode, 0, f"{proc.args}: {err}")
        return out

    def runs_for_a_while(self, proc: subprocess.Popen, seconds: float = 1.5) -> None:
        time.sleep(seconds)
        if proc.poll() is not None:
            self.fail(f"{proc.args} ended: {proc.communicate()}")

    # The runners, each for the commands of DOC_COMMANDS that name it.

    def dependencies_are_there(self, install: str):
        self.run_ok(install)

    def replay_demo_shows_what_the_readme_shows(self, command: str):
        out = self.run_ok(command).stdout.splitlines()
        shown = doc_commands.shown_output(ROOT / "README.md", command)
        # "..." in the page stands for values left out.
        self.assertEqual(len(out[-len(shown):]), len(shown))
        for line, pattern in zip(out[-len(shown):], shown):
            self.assertRegex(line, "^" + re.escape(pattern).replace(r"\.\.\.", ".*") + "$")

    def exchange_demo_sends_both_commands_and_ends_on_the_values(self, command: str):
        lines = self.run_ok(command).stdout.splitlines()
        self.assertEqual(lines[:2], ["to the device: FA E5 02 00 00 00 5F",
                                     "to the device: FA E4 00 00 5F"])
        self.assertEqual(lines[-2:], EXPECTED)

    def monitor_simulates(self, command: str):
        proc = self.start(command)
        self.runs_for_a_while(proc)
        self.assertRegex(self.interrupt(proc), r"frames_decoded=[1-9]")

    def sbus_bridge_reaches_the_receiver(self, send: str, receive: str):
        sender = self.start(send)
        line = sender.stderr.readline()
        match = re.fullmatch(r"quarn-monitor: SBUS frames go out on (/dev/pts/\d+)\n", line)
        self.assertTrue(match, line)
        receiver = self.start(receive.replace("/dev/pts/N", match.group(1)))
        self.runs_for_a_while(receiver)
        self.assertRegex(self.interrupt(receiver), r" frames=[1-9]")
        self.interrupt(sender)

    def devices_are_listed(self, command: str):
        # Whatever this machine has: a line a device, or none and a word on
        # standard error that says so; never an error.
        result = self.run_ok(command)
        for line in result.stdout.splitlines():
            self.assertRegex(line, r"^(serial|hid) +/dev/\S+ ")
        if not result.stdout:
            self.assertIn("no serial port or HID device found", result.stderr)

    def simulator_on_a_pty(self, command: str):
        proc = self.start(command)
        path = proc.stdout.readline().strip()
        self.assertTrue(path.startswith("/dev/pts/") and os.path.exists(path), path)
        self.interrupt(proc)

    def simulator_into_a_file(self, command: str):
        self.run_ok(command, cwd=self.scratch)
        # 500 type-2 frames of 100 bytes, and noise between them.
        self.assertGreater((self.scratch / "stream.bin").stat().st_size, 500 * 100)

    def recording_replays(self, replay: str, replay_to_json: str):
        # The device the page records from, played by the simulator.
        self.run_ok("quarn-monitor --simulate --record quarn-session.qrec --duration 1",
                    cwd=self.scratch)
        self.assertIn("finished", self.run_ok(replay, cwd=self.scratch).stdout)
        self.run_ok(replay_to_json, cwd=self.scratch)
        frames = (self.scratch / "frames.jsonl").read_text().splitlines()
        self.assertGreater(len(frames), 10)
        self.assertTrue(all(line.startswith('{"t":') for line in frames))

    def mutants_are_listed(self, command: str):
        out = self.run_ok(command).stdout
        self.assertRegex(out, r"\nscan_frames:\d+ statement\n")
        self.assertRegex(out, r"\n[1-9]\d* mutants\n$")
        self.assertNotRegex(out, r"\n(?!scan_frames:)\w+:\d+ ")

    def python_suite_runs(self, command: str):
        result = self.run_ok(command)
        self.assertRegex(result.stderr, r"\nOK\n")

    def test_every_command_for_the_source_tree_runs_as_written(self):
        for runner, commands in DOC_RUNNERS.items():
            with self.subTest(runner):
                getattr(self, runner)(*commands)


# Each runner of DocCommandsTest, with the commands it runs, in order.
DOC_RUNNERS = {
    "dependencies_are_there": ["scripts/install-deps.sh linux"],
    "replay_demo_shows_what_the_readme_shows": [
        "build/linux/examples/quarn-replay-demo examples/data/device-stream.bin"],
    "exchange_demo_sends_both_commands_and_ends_on_the_values": [
        "build/linux/examples/quarn-exchange-demo examples/data/device-stream.bin"],
    "monitor_simulates": ["build/linux/tools/quarn-monitor --simulate"],
    "sbus_bridge_reaches_the_receiver": [
        "quarn-monitor --simulate --sbus-out pty",
        "quarn-monitor --sbus-in /dev/pts/N",
    ],
    "devices_are_listed": ["quarn-monitor --list"],
    "simulator_on_a_pty": ["quarn-sim --pty"],
    "simulator_into_a_file": ["quarn-sim --out stream.bin --frames 500 --noise 0.2"],
    "recording_replays": [
        "quarn-monitor --replay quarn-session.qrec",
        "quarn-monitor --replay quarn-session.qrec --replay-speed 0 --json --chunk-size 1"
        " > frames.jsonl",
    ],
    "mutants_are_listed": ["scripts/mutate.py --filter scan_frames --list"],
    "python_suite_runs": [
        "cd python && QUARN_INTERFACE_LIBRARY=../build/linux/libQuarnInterface.so.1 python3 -m"
        " unittest discover -s tests -v"],
}
DOC_COMMANDS = {command: runner for runner, commands in DOC_RUNNERS.items()
                for command in commands}


class DocCommandsListedTest(unittest.TestCase):
    def test_every_command_is_run_or_said_not_to_run_and_every_entry_is_in_the_docs(self):
        tables = {
            "tests/docs/test_docs.py": DOC_COMMANDS,
            "tests/kits/test_kits.py": kits_doc_commands(),
            "PIPELINE": doc_commands.PIPELINE,
            "CANNOT_RUN": doc_commands.CANNOT_RUN,
        }
        found = doc_commands.commands()
        self.assertGreater(len(found), 50)
        for command in found:
            with self.subTest(page=command.page, line=command.line):
                places = [name for name, table in tables.items() if command.text in table]
                self.assertEqual(len(places), 1, f"{command.text!r} is listed in {places}; "
                                                 "see tests/docs/doc_commands.py")
        texts = {command.text for command in found}
        for name, table in tables.items():
            self.assertEqual(set(table) - texts, set(), f"{name} lists commands no page holds")

    def test_the_pipeline_runs_what_it_is_said_to_run(self):
        for command, script in doc_commands.PIPELINE.items():
            text = " ".join((ROOT / script).read_text().split())
            for part in doc_commands.parts(command):
                with self.subTest(command=part, script=script):
                    self.assertRegex(text, rf"(?<![\w/.-]){re.escape(part)}(?![\w/.-])")



class ExcerptsTest(unittest.TestCase):
    def test_each_excerpt_is_the_code_of_its_file_line_for_line(self):
        pages = {}
        for page in doc_commands.pages():
            for source, block in EXCERPT.findall(page.read_text()):
                pages.setdefault(page.name, []).append(source)
                with self.subTest(page=page.name, source=source):
                    lines = (ROOT / source).read_text().splitlines()
                    wanted = block.splitlines()
                    self.assertTrue(wanted)
                    self.assertTrue(any(
                        textwrap.dedent("\n".join(lines[i:i + len(wanted)])).splitlines()
                        == wanted for i in range(len(lines) - len(wanted) + 1)),
                        f"{page.name}'s excerpt is not a run of lines of {source}")
        # The C example of each page is an excerpt, so it cannot drift.
        self.assertEqual(pages.get("README.md"), ["examples/exchange_demo.c"])
        self.assertEqual(pages.get("protocol.md"), ["examples/exchange_demo.c"])


if __name__ == "__main__":
    unittest.main()
