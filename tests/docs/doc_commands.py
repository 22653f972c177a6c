"""The whole commands of the shell blocks in README.md and docs/*.md, and
where each one is run.

A command is a line of a ```sh, ```bash or ```bat block (a line ending in a
backslash goes on to the next) without its comment. Every command must be, in
exactly one place:

- run by a test: a key of DOC_COMMANDS in tests/docs/test_docs.py (run under
  ctest, with the linux preset's build) or in tests/kits/test_kits.py (run
  with the release kits), which runs it as written and checks what it does;
- run by the pipeline: a key of PIPELINE, whose value names the script that
  holds each part of the command (between `&&`) word for word;
- a key of CANNOT_RUN, whose value says why it cannot run here.

tests/docs/test_docs.py fails on a command that is in none of them, and on a
key that no page holds any more. So a command added to the docs needs one of
these entries: add a runner to one of the two DOC_COMMANDS tables, or the
command to PIPELINE or CANNOT_RUN with its reason.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SHELLS = ("sh", "bash", "bat")

PIPELINE = {
    "scripts/test.sh": ".ci/run",
    "cmake --preset linux": "scripts/test.sh",
    "cmake --build --preset linux": "scripts/test.sh",
    "ctest --preset linux": "scripts/test.sh",
    "cmake --preset linux && cmake --build --preset linux": "scripts/test.sh",
    "cmake --preset fuzz && cmake --build --preset fuzz": "scripts/test.sh",
    "cmake --preset web && cmake --build --preset web": "scripts/test.sh",
    "ctest --preset web": "scripts/test.sh",
    "cmake --preset windows-x64 && cmake --build --preset windows-x64": "scripts/test.sh",
    "cmake --preset windows-x86 && cmake --build --preset windows-x86": "scripts/test.sh",
    "scripts/install-deps.sh": "scripts/test.sh",
    "scripts/package.sh": "scripts/test.sh",
    "scripts/package.sh && /usr/bin/python3 tests/kits/test_kits.py -v": "scripts/test.sh",
    "cmake --preset linux && scripts/lint.sh": "scripts/test.sh",
    "npm ci": "scripts/test.sh",
    "node --test js/test/*.test.mjs": "scripts/test.sh",
    "scripts/check-reproducible.sh --against dist": "scripts/test.sh",
}

DEVICE = "needs a Quarn device on a serial port"
SYSTEM = "changes the system (a system prefix, the loader's cache or the package manager)"
CANNOT_RUN = {
    "sudo apt install ./libquarninterface1_1.0.0_amd64.deb"
    " ./libquarninterface-dev_1.0.0_amd64.deb ./quarninterface-tools_1.0.0_amd64.deb": SYSTEM
    + "; the kit test unpacks the same packages into a scratch root",
    "sudo tar -xzf QuarnInterface-1.0.0-Linux-x86_64.tar.gz -C /usr/local"
    " --strip-components=1": SYSTEM,
    "sudo tar -xzf QuarnInterface-1.0.0-Linux-x86_64.tar.gz -C /usr/local"
    " --strip-components=1 && sudo ldconfig": SYSTEM,
    "sudo ldconfig": SYSTEM,
    "cmake --install build/linux --prefix /usr/local": SYSTEM
    + "; python_installed_package installs the same build into a scratch prefix",
    "cmake --install build/linux --prefix /usr/local && sudo ldconfig": SYSTEM
    + "; python_installed_package installs the same build into a scratch prefix",
    "apt-get install xvfb": SYSTEM,
    "cmake --install build/web --component web --prefix /srv/www/quarn": SYSTEM,
    "python3 -m http.server -d build/web 8000": "serves until stopped, on port 8000, which"
    " another run on this machine may hold; the web tests serve build/web on a free port",
    "quarn-monitor --port /dev/serial/by-id/usb-MAKER_PRODUCT_SERIAL-if00 --reconnect": DEVICE
    + "; tools.Reconnect runs --reconnect against pseudo-terminals",
    "quarn-monitor --port /dev/serial/by-id/usb-MAKER_PRODUCT_SERIAL-if00 --record quarn-session.qrec"
    " --duration 30": DEVICE,
    "quarn-monitor --port /dev/serial/by-id/usb-MAKER_PRODUCT_SERIAL-if00 --reconnect --sbus-out"
    " /dev/ttyUSB1 --sbus-source ports-low": DEVICE + " and an SBUS line on /dev/ttyUSB1",
    "quarn-monitor --port /dev/serial/by-id/usb-MAKER_PRODUCT_SERIAL-if00 --sbus-out /dev/ttyUSB1"
    " --sbus-period-ms 7 --sbus2 --sbus-raw": DEVICE + " and an SBUS line on /dev/ttyUSB1",
    "scripts/run-fuzzers.sh 3600": "an hour per fuzz target; the pipeline runs"
    " scripts/run-fuzzers.sh 20",
    'FUZZ_FLAGS="-jobs=2 -workers=2" scripts/run-fuzzers.sh 3600 parser': "an hour of"
    " fuzzing; the pipeline runs scripts/run-fuzzers.sh 20",
    "build/fuzz/fuzz/fuzz_parser -merge=1 fuzz/corpus/parser build/fuzz/corpus/parser": "merges"
    " a long fuzz session's findings into the committed corpus",
    "/usr/bin/time bash -c 'scripts/package.sh && /usr/bin/python3 tests/kits/test_kits.py'":
    "measures the kits' cost from scratch; the pipeline runs the same two commands",
    "cmake --build --preset linux --target quarn_bench": "a benchmark, whose figures on a"
    " shared machine mean nothing; ctest runs quarn_bench_plain_output",
    "build/linux/bench/quarn_bench --benchmark_repetitions=3"
    " --benchmark_report_aggregates_only=true --benchmark_min_time=0.2": "a benchmark, as"
    " above",
    "build/linux/bench/quarn_bench --benchmark_filter='^empty_call' --benchmark_repetitions=3"
    " --benchmark_report_aggregates_only=true": "a benchmark, as above",
    "cmake --build --preset linux --target quarn_budget_driver": "builds the instruction"
    " budget's driver for the update below; ctest runs quarn_instruction_budget",
    "python3 bench/check_budget.py build/linux/bench/quarn_budget_driver"
    ' bench/instruction-budget.txt --config "RelWithDebInfo GNU-12 x86_64" --update': "rewrites"
    " the committed budget; ctest checks it (quarn_instruction_budget)",
    "cmake --build --preset linux --target sbus_timing": "a 40-second timing measurement of"
    " the SBUS bridge, to compare side by side with a reference, not a test",
    "build/linux/bench/quarn_sbus_timing --monitor build/linux/tools/quarn-monitor --seconds 60"
    " --check": "a two-minute timing measurement, as above",
    "xvfb-run -a /usr/bin/python3 web/tests/measure_sbus_period.py 420 14": "a seven-minute"
    " measurement in a real browser window",
    "for i in $(seq 30); do ctest --preset windows-x64 >/dev/null && echo pass || echo FAIL;"
    " done | sort | uniq -c": "runs the Wine suite 30 times to measure its stability",
    r"cl /I path\to\include host.c path\to\QuarnInterface.lib": "MSVC's cl does not run"
    " here, and path\\to stands for wherever the DLL was built",
    "dotnet add package QuarnInterface.Net --source ./dist": "needs the .NET SDK, which Debian"
    " does not package; the kit test installs the package from the same local feed with"
    " Debian's NuGet client and runs a Mono program from it",
    "npm install serialport": "fetches from the npm registry; the example's test uses the"
    " serialport that package-lock.json pins",
    "node node_modules/quarninterface/examples/monitor.mjs /dev/ttyUSB0 --baud 115200"
    " --request 0,0": DEVICE + "; js/test/example.test.mjs runs the example against quarn-sim",
    "node bench/npm_feed.mjs": "a benchmark, whose figures on a shared machine mean nothing",
    "scripts/mutate.py --jobs 2": "a mutation run of 11 to 13 minutes on two cores;"
    " ctest mutate_script tests the script",
    "scripts/mutate.py --jobs 2 --sample 60": "a mutation run of about 3 minutes;"
    " ctest mutate_script tests the script",
    "scripts/mutate.py --jobs 2 --preset asan --filter '^parse_port_data:'": "a mutation"
    " run that builds the asan tree; ctest mutate_script tests the script",
    "npm run mutate-js": "a mutation run of the JavaScript of about 22 minutes on two cores",
    "npx stryker run --mutate web/js/session.js": "a mutation run of one file, minutes long",
    "scripts/check-reproducible.sh": "builds every kit twice from scratch, about three minutes here;"
    " the pipeline runs it with --against dist",
    "git clone <repository> quarninterface && cd quarninterface": "a recipe with"
    " placeholders for the repository and the release; scripts/check-reproducible.sh rebuilds"
    " the kits from a clone the same way",
    "git checkout <the release's commit or tag>": "a placeholder for the release, as above",
    "sudo scripts/install-deps.sh": SYSTEM + "; the pipeline runs scripts/install-deps.sh",
    "cd dist && sha256sum -c /path/to/the/released/SHA256SUMS": "a placeholder for the"
    " released sums; the kit test checks dist/SHA256SUMS with sha256sum",
    "rsync -a quarninterface-web-1.0.0/ www.example.org:/srv/www/quarn/": "copies to"
    " another host",
    "scripts/coverage.sh": "builds a tree of its own and runs the whole suite in it for"
    " minutes; not part of the pipeline",
}


@dataclass(frozen=True)
class Command:
    text: str  # as keyed in the tables: words joined by single spaces
    page: str  # the page, relative to the top of the tree
    line: int  # the line where the command starts


def pages(root: Path = ROOT) -> list[Path]:
    return [root / "README.md", *sorted((root / "docs").glob("*.md"))]


def parts(command: str) -> list[str]:
    """The parts of a command between `&&` outside quotes."""
    found, current, quote = [], "", ""
    i = 0
    while i < len(command):
        c = command[i]
        if quote:
            quote = "" if c == quote else quote
        elif c in "'\"":
            quote = c
        elif command.startswith("&&", i):
            found.append(current.strip())
            current, i = "", i + 2
            continue
        current += c
        i += 1
    return [*found, current.strip()]


def without_comment(line: str) -> str:
    """The line up to a `#` that starts a word outside quotes."""
    quote = ""
    for i, c in enumerate(line):
        if quote:
            quote = "" if c == quote else quote
        elif c in "'\"":
            quote = c
        elif c == "#" and (i == 0 or line[i - 1].isspace()):
            return line[:i]
    return line


def commands(root: Path = ROOT) -> list[Command]:
    """Every command of every shell block of README.md and docs/*.md."""
    found = []
    for page in pages(root):
        lines = page.read_text().splitlines()
        shell = None
        pending, start = "", 0
        for number, line in enumerate(lines, 1):
            fence = re.match(r"^```(\w*)\s*$", line)
            if fence:
                shell = None if shell is not None else fence.group(1)
                continue
            if shell not in SHELLS:
                continue
            if not pending:
                start = number
            if line.endswith("\\") and shell != "bat":
                pending += line[:-1] + " "
                continue
            text = " ".join(without_comment(pending + line).split())
            pending = ""
            if text:
                found.append(Command(text, str(page.relative_to(root)), start))
    return found


def shown_output(page: Path, command: str) -> list[str]:
    """The lines of the first unlabelled block after the block that holds
    `command` in `page`: the output the page shows for it."""
    text = page.read_text()
    end_of_block = text.index("\n```\n", text.index(command)) + len("\n```\n")
    block = re.compile(r"^```\n(.*?)^```", re.MULTILINE | re.DOTALL).search(text, end_of_block)
    assert block, f"{page} shows no output after {command}"
    return block.group(1).splitlines()
