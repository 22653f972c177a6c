#!/usr/bin/env bash
# Line and branch coverage of the library (src/) by the linux suite, with
# gcovr: builds the `coverage` preset (the linux preset's suite, Debug, with
# --coverage, without the benchmarks, whose instruction budget counts the
# optimised build), runs every test from fresh counters and prints the summary
# and the lines and branches not taken. The HTML report with every line goes
# to build/coverage/html/index.html.
#
#   scripts/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh coverage
cmake --preset coverage
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete
# A failing test still leaves its counts; the report is made, then the failure
# is the script's status.
status=0
ctest --preset coverage || status=$?

report=build/coverage/html
mkdir -p "$report"
gcovr_args=(--root . --filter 'src/' build/coverage)
gcovr "${gcovr_args[@]}" --html-details "$report/index.html"
gcovr "${gcovr_args[@]}" --txt
gcovr "${gcovr_args[@]}" --txt --branches
gcovr "${gcovr_args[@]}" --print-summary --output /dev/null
if [ "$status" -ne 0 ]; then
    echo "coverage.sh: some tests failed (above); the figures count the run as it went" >&2
fi
exit "$status"
