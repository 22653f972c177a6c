#!/usr/bin/env bash
# Builds and runs every test: the Linux library and its suite (with the .NET
# binding's under Mono), the lint, the suite under sanitizers, the bounded fuzz
# runs, the Windows DLLs (x64 under Wine, x86 checked statically), the web
# console in headless Chromium, the npm package under Node, and the release
# kits (the npm and NuGet packages too).
set -euo pipefail
cd "$(dirname "$0")/.."

# Each stage's time goes to the log, so a stage that grows shows there.
stage_name=""
stage() {
    if [ -n "$stage_name" ]; then
        echo "== $stage_name: $((SECONDS - stage_start)) s (total $SECONDS s)"
    fi
    stage_name=$1
    stage_start=$SECONDS
}

stage "dependencies"
scripts/install-deps.sh

stage "linux"
cmake --preset linux
cmake --build --preset linux
ctest --preset linux

# clang-format and clang-tidy over every C and C++ file, from the linux and
# fuzz presets' compile commands. It needs nothing built, and the stages below
# often leave a core idle (one fuzzer at a time, Wine, the browser, lintian),
# so it runs beside them at the lowest priority; its findings are printed and
# judged at the end.
cmake --preset fuzz >/dev/null
lint_log=build/lint.log
# Job control gives it a process group of its own, in this session: a new
# session would get its own scheduler autogroup, where nice counts for nothing.
set -m
nice -n 19 scripts/lint.sh >"$lint_log" 2>&1 &
lint_pid=$!
set +m
# A stage that fails ends the script; the lint and its clang-tidy runs end
# with it.
trap 'kill -- "-$lint_pid" 2>/dev/null || true' EXIT

# The whole suite again under ASan and UBSan, then each fuzz target from its
# corpus for 20 seconds (scripts/run-fuzzers.sh documents longer runs).
stage "asan"
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
stage "fuzz"
cmake --build --preset fuzz
scripts/run-fuzzers.sh 20

# Windows: the x64 DLL and the whole suite under Wine; the x86 DLL cannot run
# here, so its ctest runs the static checks of the DLL and its import libraries.
stage "windows-x64"
cmake --preset windows-x64
cmake --build --preset windows-x64
ctest --preset windows-x64
stage "windows-x86"
cmake --preset windows-x86
cmake --build --preset windows-x86
ctest --preset windows-x86

# The web console: the library as WebAssembly and its page, tested in
# headless Chromium against the native library and stand-in devices. npm ci
# installs the development tools pinned in package-lock.json: axe-core for
# the page's accessibility test here, TypeScript and serialport for the npm
# stage.
stage "web"
npm ci --prefer-offline --no-audit --no-fund --loglevel=error
cmake --preset web
cmake --build --preset web
ctest --preset web

# The npm package (js/) with Node's own test runner, against the native
# library and the tools of the linux stage, and the web console's modules
# that run without a browser, with the development tools the web stage
# installed.
stage "npm"
node --test js/test/*.test.mjs web/tests/*.test.mjs

# Release kits: scripts/package.sh makes every kit into dist/; then each is
# installed and used the way its users do.
stage "kits"
scripts/package.sh
# The kits are reproducible: one more clone, at another path and later, must
# make every file of dist/ bit for bit the same (a second build in this
# checkout would only repeat the first). The clone builds while the kits are
# tested, which leaves a core idle much of the time.
check_log=build/check-reproducible.log
set -m
scripts/check-reproducible.sh --against dist >"$check_log" 2>&1 &
check_pid=$!
set +m
trap 'kill -- "-$lint_pid" "-$check_pid" 2>/dev/null || true' EXIT
/usr/bin/python3 tests/kits/test_kits.py -v
check_status=0
wait "$check_pid" || check_status=$?
cat "$check_log"
[ "$check_status" -eq 0 ]

stage "lint, the rest of its run"
lint_status=0
wait "$lint_pid" || lint_status=$?
cat "$lint_log"
stage ""
exit "$lint_status"
