#!/usr/bin/env python3
"""Instruction budget: a regression guard that does not depend on timing.

Runs the budget driver under callgrind, reads the instruction count (Ir) of
each region it dumps, and compares it with the committed budget. A region
that counts more than the tolerance above its budget fails the check. The
figures are printed either way.

  check_budget.py DRIVER BUDGET --config "RelWithDebInfo GNU-12 x86_64"
  check_budget.py DRIVER BUDGET --config "..." --update   # rewrite the budget

Exit codes: 0 within budget (or budget rewritten), 1 over budget or the
regions do not match the budget, 77 cannot measure here (no valgrind, or a
build configuration other than the one the budget was taken with).
"""

import argparse
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
TOLERANCE = 0.20

HEADER = """\
# Instruction budget of the benchmark regions in bench/budget_driver.cpp:
# the instructions callgrind counts for each region (fixed inputs, so the
# counts do not depend on timing or load). The check fails when a region
# counts more than 20% above its figure here. The budget holds for the
# configuration on the "config" line (build type, compiler, processor);
# under any other the check is skipped.
#
# After a deliberate change, rewrite it from the linux preset's build with
#   cmake --build --preset linux --target quarn_budget_driver
#   python3 bench/check_budget.py build/linux/bench/quarn_budget_driver \\
#       bench/instruction-budget.txt --config "<config line>" --update
# and commit it with the change that explains the new figures.
"""


def read_budget(path):
    config, budget = None, {}
    for line in path.read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        key, _, value = line.partition(" ")
        if key == "config":
            config = value.strip()
        else:
            budget[key] = int(value)
    return config, budget


def measure(driver):
    """Runs the driver under callgrind; returns {region: instructions}."""
    with tempfile.TemporaryDirectory(prefix="quarn-budget-") as tmp:
        out = pathlib.Path(tmp) / "callgrind.out"
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", str(driver)]
        run = subprocess.run(cmd, capture_output=True, text=True, check=False)
        if run.returncode != 0:
            sys.exit(f"{' '.join(cmd)} failed with exit code {run.returncode}:\n{run.stderr}")
        counts = {}
        # One file per CALLGRIND_DUMP_STATS_AT, named out.1, out.2, ...
        for dump in sorted(pathlib.Path(tmp).glob("callgrind.out.*")):
            text = dump.read_text(errors="replace")
            name = re.search(r"^desc: Trigger: Client Request: (\S+)$", text, re.M)
            summary = re.search(r"^summary: (\d+)$", text, re.M)
            if name and summary:
                counts[name.group(1)] = int(summary.group(1))
        if not counts:
            sys.exit(f"callgrind wrote no region of {driver}; was it built with callgrind.h?")
        return counts


def write_budget(path, config, counts):
    width = max(len(name) for name in counts)
    lines = [HEADER, f"config {config}"]
    lines += [f"{name:<{width}} {counts[name]}" for name in sorted(counts)]
    path.write_text("\n".join(lines) + "\n")


def compare(budget, counts):
    """Prints the table; returns the number of failures."""
    failures = 0
    width = max(len(name) for name in set(budget) | set(counts))
    print(f"{'region':<{width}} {'budget':>10} {'measured':>10} {'change':>8}")
    for name in sorted(set(budget) | set(counts)):
        if name not in counts:
            print(f"{name:<{width}} {budget[name]:>10} {'-':>10}   FAIL: region no longer measured")
            failures += 1
            continue
        if name not in budget:
            print(f"{name:<{width}} {'-':>10} {counts[name]:>10}   FAIL: region has no budget")
            failures += 1
            continue
        change = counts[name] / budget[name] - 1.0
        verdict = ""
        if change > TOLERANCE:
            verdict = f"FAIL: more than {TOLERANCE:.0%} over budget"
            failures += 1
        elif change < -TOLERANCE:
            verdict = "well under budget: consider lowering it with --update"
        print(f"{name:<{width}} {budget[name]:>10} {counts[name]:>10} {change:>+8.1%}   {verdict}")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("driver", type=pathlib.Path, help="the quarn_budget_driver executable")
    parser.add_argument("budget", type=pathlib.Path, help="the committed budget file")
    parser.add_argument("--config", required=True,
                        help="build type, compiler and processor of this build")
    parser.add_argument("--update", action="store_true", help="rewrite the budget file")
    args = parser.parse_args()

    if shutil.which("valgrind") is None:
        print("valgrind not found: instruction budget not checked (scripts/install-deps.sh "
              "installs it)")
        return SKIP

    if args.update:
        counts = measure(args.driver)
        write_budget(args.budget, args.config, counts)
        print(f"wrote {args.budget} for {args.config}")
        compare(counts, counts)
        return 0

    config, budget = read_budget(args.budget)
    if config != args.config:
        print(f"budget taken for '{config}', this build is '{args.config}': not checked")
        return SKIP
    failures = compare(budget, measure(args.driver))
    if failures:
        print(f"{failures} region(s) over budget or unmatched; if the growth is deliberate, "
              "rewrite the budget with --update (see the head of the budget file)")
        return 1
    print(f"all regions within {TOLERANCE:.0%} of the budget")
    return 0


if __name__ == "__main__":
    sys.exit(main())
