#!/usr/bin/env bash
# Builds and runs every test: the Linux library and its suite, the suite under
# sanitizers, the bounded fuzz runs, the Windows DLLs (x64 under Wine, x86
# checked statically) and the web console in headless Chromium.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset linux
cmake --build --preset linux
ctest --preset linux

# The whole suite again under ASan and UBSan, then each fuzz target from its
# corpus for 30 seconds (scripts/run-fuzzers.sh documents longer runs).
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
cmake --preset fuzz
cmake --build --preset fuzz
scripts/run-fuzzers.sh 30

# Windows: the x64 DLL and the whole suite under Wine; the x86 DLL cannot run
# here, so its ctest runs the static checks of the DLL and its import libraries.
cmake --preset windows-x64
cmake --build --preset windows-x64
ctest --preset windows-x64
cmake --preset windows-x86
cmake --build --preset windows-x86
ctest --preset windows-x86

# The web console: the library as WebAssembly and its page, tested in
# headless Chromium against the native library and stand-in devices.
cmake --preset web
cmake --build --preset web
ctest --preset web
