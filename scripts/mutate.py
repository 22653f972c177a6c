#!/usr/bin/env python3
"""Mutation testing of the library: how many small faults do the tests catch?

    scripts/mutate.py [--jobs N] [--filter REGEX] [--sample N] [--seed S]
                      [--tests REGEX] [--targets TARGET...] [--preset NAME]
                      [--timeout SECONDS] [--list]

Each mutant is src/QuarnInterface.cpp with one change on a line the compiler
sees in this build: a comparison flipped (< to <= and to >=, == to !=, ...),
&& and || swapped, an integer constant made one larger or one smaller, a
statement removed, or the result of a function that returns a flag (bool or
std::uint8_t) inverted. Each is built, and the chosen tests run against it;
a failing build or a failing test kills it, and so does a test that runs
past the timeout (a mutant that loops for ever). Every survivor is printed
with its line, then the score.

The working tree is never written. Each worker builds its own copy of the
source in a tree of links to the working tree, with the cmake preset's
settings, in build/mutate/PRESET-N; later runs reuse it. Only the targets the
tests need are built, once; after that each mutant rebuilds the library alone.

  --filter  keeps the mutants whose label matches, e.g. 'scan_frames',
            'parse_port_data:2[0-9][0-9] ', ' statement$' (a label reads
            'FUNCTION:LINE KIND'; lines outside functions belong to 'file')
  --sample  runs N mutants drawn at random (--seed makes another draw)
  --tests   a ctest regular expression; the default is the library's own
            suites. For other tests add the targets they need (--targets).

Exit status: 0 every mutant killed, 1 some survived, 2 the run could not be
made (bad option, the tests fail without a mutant), 130 interrupted.

Examples:
    scripts/mutate.py --jobs 2
    scripts/mutate.py --jobs 2 --sample 40
    scripts/mutate.py --filter scan_frames --list
    scripts/mutate.py --preset asan --filter decode_e5_func
"""

import argparse
import json
import os
import random
import re
import shlex
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE = Path("src/QuarnInterface.cpp")
LIBRARY_TARGET = "QuarnInterface"
# The library's own tests: quarn_tests, the fresh loads and the stream stress
# test; not the packaging checks, examples, tools, benchmarks or bindings.
DEFAULT_TESTS = (r"^(Commands|HidGameController|HidCompatible|Parser|Sbus|SbusConversion"
                 r"|FreshLoad|StreamStress)\.")
DEFAULT_TARGETS = ["quarn_tests", "quarn_fresh_load_tests", "quarn_stress_tests"]
# Top-level entries a worker's tree does not link: the mutated source's
# directory is a copy, the rest are not sources.
NOT_LINKED = {SOURCE.parts[0], "build", "dist", ".git", "node_modules"}
MIN_TIMEOUT = 10  # seconds per test, at least
TIMEOUT_FACTOR = 10  # times the unmutated run
BUILD_TIMEOUT = 600  # seconds, for anything that should never take that long

# Binary operators have a space on either side in this clang-formatted code;
# that tells a comparison from a template's angle brackets.
OPERATOR = re.compile(r"(?<= )(<=|>=|==|!=|&&|\|\||<|>)(?= )")
FLIPS = {
    "<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="], ">=": [">", "<"],
    "==": ["!="], "!=": ["=="], "&&": ["||"], "||": ["&&"],
}
CONSTANT = re.compile(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|[0-9]+)([uUlL]*)(?![\w.])")
# A function definition starting at column 0: its return type and name.
SIGNATURE = re.compile(
    r"^(?:QUARN_API\s+)?(?:(?:constexpr|static|inline)\s+)*([A-Za-z_][\w:]*)(?:\s+|\s*\*\s*)"
    r"(\w+)\(")
FLAG_TYPES = {"bool", "std::uint8_t"}
DECLARATION = re.compile(
    r"^(?:(?:static|const|constexpr)\s+)*[A-Za-z_][\w:]*(?:<[^;=]*>)?(?:\s+|\s*[*&]+\s*)\w+"
    r"\s*(?:=|\{|\[|;|\()")
NOT_STATEMENTS = {"if", "else", "for", "while", "do", "switch", "case", "default",
                  "static_assert", "namespace", "extern", "using", "template"}


class Interrupted(KeyboardInterrupt):
    """The run was stopped (Ctrl-C or SIGTERM)."""


class Failure(Exception):
    """The run cannot be made; the message says why."""


@dataclass(frozen=True)
class Mutant:
    line: int
    function: str
    kind: str
    start: int
    end: int
    replacement: str

    def apply(self, text):
        return text[:self.start] + self.replacement + text[self.end:]

    def label(self):
        return f"{self.function}:{self.line} {self.kind}"

    def change(self, text):
        """The changed lines before and after, each run of blanks as one."""
        first = text.rfind("\n", 0, self.start) + 1
        last = text.find("\n", self.end)
        last = len(text) if last < 0 else last
        after = text[first:self.start] + self.replacement + text[self.end:last]
        return " ".join(text[first:last].split()), " ".join(after.split())


def mask(text):
    """The text with comments and string and character literals blanked out,
    newlines kept, so that offsets and line numbers are the text's own."""
    out = list(text)
    at = 0
    while at < len(text):
        if text.startswith("//", at):
            end = text.find("\n", at)
        elif text.startswith("/*", at):
            end = text.find("*/", at + 2)
            end = end + 2 if end >= 0 else end
        elif text[at] in "\"'":
            end = at + 1
            while end < len(text) and text[end] != text[at]:
                end += 2 if text[end] == "\\" else 1
            end += 1
        else:
            at += 1
            continue
        end = len(text) if end < 0 else min(end, len(text))
        for k in range(at, end):
            if out[k] != "\n":
                out[k] = " "
        at = end
    return "".join(out)


def compiled_lines(build_dir, source):
    """The numbers of the source's lines that hold tokens after preprocessing
    with the build's own compile command: no comment, blank or directive, and
    nothing in an #if group this build leaves out (Windows, big-endian)."""
    entries = json.loads((build_dir / "compile_commands.json").read_text())
    entry = next((e for e in entries if Path(e["file"]).resolve() == source.resolve()), None)
    if entry is None:
        raise Failure(f"{build_dir}/compile_commands.json: no command compiles {source}")
    args = entry.get("arguments") or shlex.split(entry["command"])
    command = []
    skip = False
    for arg in args:
        if skip or arg == "-o":
            skip = not skip
            continue
        command.append("-E" if arg == "-c" else arg)
    out = subprocess.run(command, cwd=entry["directory"], capture_output=True, text=True,
                         check=True).stdout
    marker = re.compile(r'^# (\d+) "(.*)"')
    lines = set()
    number, current = 0, False
    for text in out.splitlines():
        found = marker.match(text)
        if found:
            number, current = int(found[1]), Path(found[2]).resolve() == source.resolve()
            continue
        if current and text.strip():
            lines.add(number)
        number += 1
    return lines


def functions_by_line(masked_lines):
    """For each line (from 1): (name, return type) of the function whose
    definition holds it, or None outside functions."""
    owners = [None]
    current, depth = None, 0
    for text in masked_lines:
        if current is None:
            found = SIGNATURE.match(text)
            if found and not text.rstrip().endswith(";"):
                current, depth = (found[2], found[1]), 0
        owners.append(current)
        if current is not None:
            opened = depth > 0 or "{" in text
            depth += text.count("{") - text.count("}")
            if opened and depth == 0:
                current = None
    return owners


def statements(masked_lines, code, owners):
    """(first line, last line) of each simple statement inside a function body
    that is not a declaration: what a 'statement removed' mutant removes."""
    found = []
    owner = None
    previous = None  # the last character of the body's code so far
    line = 1
    while line <= len(masked_lines):
        text = masked_lines[line - 1].strip()
        if line not in code or not text:
            line += 1
            continue
        if owners[line] != owner:
            owner, previous = owners[line], None
        if owner is None or previous is None:
            # Outside functions, or in a signature: its body opens with a {.
            previous = "{" if owner is not None and text.endswith("{") else None
            line += 1
            continue
        last = line
        word = re.match(r"[A-Za-z_]\w*", text)
        word = word[0] if word else ""
        if previous in ";{}:" and text[0] not in "{}" and word not in NOT_STATEMENTS:
            joined = text
            while not (joined.endswith(";") and joined.count("(") == joined.count(")")):
                if last + 1 not in code or joined.endswith(("{", "}")):
                    break
                last += 1
                joined += " " + masked_lines[last - 1].strip()
            if joined.endswith(";") and (word == "return" or not DECLARATION.match(joined)):
                found.append((line, last))
        previous = masked_lines[last - 1].strip()[-1]
        line = last + 1
    return found


def off_by_one(digits):
    """The literal one larger and one smaller, written the same way."""
    if digits[:2] in ("0x", "0X"):
        value, width = int(digits, 16), len(digits) - 2
        spelling = "X" if digits[2:].isupper() else "x"
        return [f"{digits[:2]}{v:0{width}{spelling}}" for v in (value + 1, value - 1) if v >= 0]
    if len(digits) > 1 and digits[0] == "0":
        return []  # octal: none in the source
    value = int(digits)
    return [str(v) for v in (value + 1, value - 1) if v >= 0]


def make_mutants(text, code):
    """Every mutant of the source text, each a distinct program, in source order."""
    masked = mask(text)
    masked_lines = masked.split("\n")
    starts = [0]
    for chunk in masked_lines:
        starts.append(starts[-1] + len(chunk) + 1)
    owners = functions_by_line(masked_lines)

    def owner(line):
        return owners[line][0] if owners[line] else "file"

    mutants = []
    for first, last in statements(masked_lines, code, owners):
        begin = starts[first - 1] + len(masked_lines[first - 1]) - len(
            masked_lines[first - 1].lstrip())
        end = starts[last - 1] + masked_lines[last - 1].rindex(";") + 1
        newlines = "\n" * (last - first)
        mutants.append(Mutant(first, owner(first), "statement", begin, end, ";" + newlines))
        name, result = owners[first]
        body = masked[begin:end - 1]
        if result in FLAG_TYPES and body.startswith("return "):
            expression = text[begin + len("return "):end - 1]
            swapped = {"0": "1", "1": "0", "true": "false", "false": "true"}
            inverted = swapped.get(expression.strip(), f"!({expression})")
            mutants.append(Mutant(first, name, "return", begin + len("return "), end - 1,
                                  inverted))
    for line in sorted(code):
        base = starts[line - 1]
        line_text = masked_lines[line - 1]
        for found in OPERATOR.finditer(line_text):
            for flip in FLIPS[found[1]]:
                kind = "logical" if found[1] in ("&&", "||") else "compare"
                mutants.append(Mutant(line, owner(line), kind, base + found.start(1),
                                      base + found.end(1), flip))
        for found in CONSTANT.finditer(line_text):
            for changed in off_by_one(found[1]):
                mutants.append(Mutant(line, owner(line), "constant", base + found.start(1),
                                      base + found.end(1), changed))
    unique = {}
    for m in sorted(mutants, key=lambda m: (m.start, m.end)):
        unique.setdefault(m.apply(text), m)
    return list(unique.values())


class Processes:
    """The commands running now, each in a process group of its own, so that
    a timeout or an interruption ends them and everything they started."""

    def __init__(self):
        self.lock = threading.Lock()
        self.running = set()
        self.stopped = False

    def run(self, command, timeout=BUILD_TIMEOUT):
        """(exit status, output); the status is None when the timeout ended it."""
        with self.lock:
            if self.stopped:
                raise Interrupted()
            proc = subprocess.Popen(command, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, text=True,
                                    start_new_session=True)
            self.running.add(proc)
        try:
            out, _ = proc.communicate(timeout=timeout)
            status = proc.returncode
        except subprocess.TimeoutExpired:
            self.kill(proc)
            out, _ = proc.communicate()
            status = None
        finally:
            with self.lock:
                self.running.discard(proc)
        if self.stopped:
            raise Interrupted()
        return status, out

    @staticmethod
    def kill(proc):
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def stop(self):
        with self.lock:
            self.stopped = True
            for proc in self.running:
                self.kill(proc)


class Worker:
    """A copy of the source in a tree of links to the working tree, and the
    build directory of that tree."""

    def __init__(self, root, preset, index, processes):
        self.dir = root / f"{preset}-{index}"
        self.tree = self.dir / "tree"
        self.build = self.dir / "build"
        self.source = self.tree / SOURCE
        self.preset = preset
        self.processes = processes

    def prepare(self, original):
        self.tree.mkdir(parents=True, exist_ok=True)
        for entry in ROOT.iterdir():
            link = self.tree / entry.name
            if entry.name not in NOT_LINKED and not link.is_symlink():
                link.symlink_to(entry)
        copy = self.tree / SOURCE.parent
        copy.mkdir(exist_ok=True)
        for entry in (ROOT / SOURCE.parent).iterdir():
            link = copy / entry.name
            if entry.name != SOURCE.name and not link.is_symlink():
                link.symlink_to(entry)
        self.write(original)
        if not (self.build / "CMakeCache.txt").exists():
            command = ["cmake", "--preset", self.preset, "-S", str(self.tree), "-B",
                       str(self.build)]
            status, out = self.processes.run(command)
            if status != 0:
                raise Failure(f"configuring {self.build} failed:\n{out}")

    def write(self, text):
        self.source.write_text(text)

    def build_targets(self, targets, jobs=1):
        command = ["cmake", "--build", str(self.build), "-j", str(jobs), "--target"]
        return self.processes.run(command + targets)

    def ctest(self, tests, timeout):
        command = ["ctest", "--test-dir", str(self.build), "-R", tests, "--no-tests=error",
                   "--stop-on-failure", "--timeout", str(timeout)]
        # ctest ends a test at its timeout; the margin covers ctest itself.
        return self.processes.run(command, timeout=BUILD_TIMEOUT + timeout)

    def judge(self, mutant, original, timeout, tests):
        """'build', 'timeout' or 'test' when the mutant is killed, else None;
        and the failing test."""
        self.write(mutant.apply(original))
        status, _ = self.build_targets([LIBRARY_TARGET])
        if status != 0:
            return ("timeout" if status is None else "build"), ""
        status, out = self.ctest(tests, timeout)
        if status == 0:
            return None, ""
        failed = re.search(r"^\s*\d+ - (\S+) \(", out, re.MULTILINE)
        timed_out = status is None or "***Timeout" in out
        return ("timeout" if timed_out else "test"), failed[1] if failed else ""


def parse_args(argv):
    # The synopsis is argparse's own; the rest of the docstring is the help.
    body = __doc__.split("\n\n", 2)[2]
    about, _, status = body.partition("Exit status")
    parser = argparse.ArgumentParser(
        description=about.strip(),
        epilog=f"Exit status{status.rstrip()}\n\nSee docs/testing.md#mutation-testing.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--jobs", type=int, default=1,
                        help="mutants built and tested at once (default 1)")
    parser.add_argument("--filter", metavar="REGEX",
                        help="only mutants whose label (FUNCTION:LINE KIND) matches")
    parser.add_argument("--sample", type=int, metavar="N", help="N mutants drawn at random")
    parser.add_argument("--seed", type=int, default=20, help="the draw of --sample (default 20)")
    parser.add_argument("--tests", default=DEFAULT_TESTS, metavar="REGEX",
                        help="the ctest selection (default: the library's own suites)")
    parser.add_argument("--targets", nargs="+", default=DEFAULT_TARGETS, metavar="TARGET",
                        help="what the tests need built (default: "
                             f"{' '.join(DEFAULT_TARGETS)})")
    parser.add_argument("--preset", default="linux",
                        help="the cmake configure preset to build with (default linux)")
    parser.add_argument("--timeout", type=int, metavar="SECONDS",
                        help=f"per test (default {TIMEOUT_FACTOR} times the unmutated run, "
                             f"at least {MIN_TIMEOUT})")
    parser.add_argument("--list", action="store_true", help="list the mutants, run nothing")
    args = parser.parse_args(argv)
    if args.jobs < 1 or (args.sample is not None and args.sample < 1):
        parser.error("--jobs and --sample take a number from 1 up")
    if args.filter is not None:
        try:
            args.filter = re.compile(args.filter)
        except re.error as e:
            parser.error(f"--filter: {e}")
    return args


def choose(mutants, args):
    if args.filter is not None:
        mutants = [m for m in mutants if args.filter.search(m.label())]
    if args.sample is not None and args.sample < len(mutants):
        chosen = set(random.Random(args.seed).sample(range(len(mutants)), args.sample))
        mutants = [m for k, m in enumerate(mutants) if k in chosen]
    return mutants


def report(original, results, total):
    """Prints the survivors and the score; returns the exit status."""
    survivors = sorted((m for m, verdict in results if verdict is None), key=lambda m: m.start)
    if survivors:
        print("\nSurvivors:")
    for m in survivors:
        before, after = m.change(original)
        print(f"  {SOURCE}:{m.line} ({m.function}) {m.kind}\n      {before}\n   -> {after}")
    killed = {how: sum(1 for _, v in results if v == how) for how in ("build", "test", "timeout")}
    done = len(results)
    built = done - killed["build"]

    def share(part, whole):
        return f"{100.0 * part / whole:.1f}%" if whole else "-"

    print(f"\nScore: {done - len(survivors)} of {done} mutants killed "
          f"({share(done - len(survivors), done)}): {killed['test']} by a test, "
          f"{killed['build']} by the build, {killed['timeout']} by the timeout; "
          f"{len(survivors)} survived.\n"
          f"Of the {built} mutants that built, the tests killed {built - len(survivors)} "
          f"({share(built - len(survivors), built)}).")
    if done < total:
        print(f"Interrupted: {total - done} of {total} mutants not run.")
    return 1 if survivors else 0


def main(argv):
    args = parse_args(argv)
    original = (ROOT / SOURCE).read_text()
    processes = Processes()
    root = ROOT / "build" / "mutate"
    workers = [Worker(root, args.preset, k + 1, processes) for k in range(args.jobs)]

    def interrupt(*_):
        raise KeyboardInterrupt()

    signal.signal(signal.SIGTERM, interrupt)
    results = []
    total = 0
    pool = ThreadPoolExecutor(max_workers=args.jobs)
    try:
        workers[0].prepare(original)
        mutants = make_mutants(original, compiled_lines(workers[0].build, workers[0].source))
        mutants = choose(mutants, args)
        total = len(mutants)
        if args.list:
            for m in mutants:
                before, after = m.change(original)
                print(f"{m.label()}\n    {before}\n -> {after}")
            print(f"{total} mutants")
            return 0
        if not mutants:
            raise Failure("no mutant matches --filter")
        timeout = baseline(workers, original, args)
        print(f"{total} mutants of {SOURCE}, {args.jobs} at a time, tests '{args.tests}', "
              f"{timeout} s per test", flush=True)
        run_all(pool, workers, mutants, original, timeout, args.tests, results)
    except Failure as e:
        print(f"mutate.py: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        processes.stop()
        pool.shutdown(wait=True, cancel_futures=True)
        if results:
            report(original, results, total)
        else:
            print("mutate.py: interrupted before any mutant was judged", file=sys.stderr)
        return 130
    finally:
        processes.stop()
        pool.shutdown(wait=True, cancel_futures=True)
        # Every worker has ended: put their copies back as the source stands.
        for worker in workers:
            if worker.source.parent.is_dir():
                worker.write(original)
    return report(original, results, total)


def baseline(workers, original, args):
    """Builds what the tests need in each worker and runs them on the
    unmutated source; returns the timeout per test."""
    timeout = args.timeout
    for worker in workers:
        worker.prepare(original)
        status, out = worker.build_targets([LIBRARY_TARGET] + args.targets, jobs=2)
        if status != 0:
            raise Failure(f"building {' '.join(args.targets)} in {worker.build} failed:\n{out}")
        began = time.monotonic()
        status, out = worker.ctest(args.tests, args.timeout or BUILD_TIMEOUT)
        if status != 0:
            raise Failure(f"the tests fail without a mutant ({worker.build}):\n{out}")
        if timeout is None:
            timeout = max(MIN_TIMEOUT, round(TIMEOUT_FACTOR * (time.monotonic() - began)))
    return timeout


def run_all(pool, workers, mutants, original, timeout, tests, results):
    """Runs the mutants on the workers and appends (mutant, verdict) to
    results as each ends, so that an interruption keeps what was done."""
    lock = threading.Lock()
    free = list(workers)

    def one(mutant):
        with lock:
            worker = free.pop()
        try:
            verdict, test = worker.judge(mutant, original, timeout, tests)
        finally:
            with lock:
                free.append(worker)
        with lock:
            results.append((mutant, verdict))
            outcome = f"killed by the {verdict}" if verdict else "SURVIVED"
            if test:
                outcome += f" ({test})"
            print(f"[{len(results):4}/{len(mutants)}] {mutant.label()}: {outcome}", flush=True)

    for future in [pool.submit(one, m) for m in mutants]:
        future.result()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
