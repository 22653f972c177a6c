#!/usr/bin/env bash
# Runs every fuzz target from its seed corpus for a bounded time.
#
#   scripts/run-fuzzers.sh [SECONDS] [TARGET...]
#
# SECONDS is the time per target (default 30); TARGET is any of parser, hid,
# sbus (default all). Build the targets first (FUZZ_BUILD_DIR names another
# build directory than build/fuzz):
#   cmake --preset fuzz && cmake --build --preset fuzz
#
# Longer sessions: give more seconds, and more parallel jobs through
# FUZZ_FLAGS, e.g.
#   FUZZ_FLAGS="-jobs=2 -workers=2" scripts/run-fuzzers.sh 3600 parser
# Inputs that reach new coverage go to build/fuzz/corpus/<target>, which later
# runs start from too; fold them into the kept corpus with
#   build/fuzz/fuzz/fuzz_<target> -merge=1 fuzz/corpus/<target> build/fuzz/corpus/<target>
# A failing input is written to build/fuzz/artifacts/<target>/; add it to
# fuzz/corpus/<target>/ once the fault is fixed, as a regression input.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(parser hid sbus)

build=${FUZZ_BUILD_DIR:-build/fuzz}
failed=()
for t in "${targets[@]}"; do
  bin=$build/fuzz/fuzz_$t
  if [ ! -x "$bin" ]; then
    echo "run-fuzzers: $bin is missing: run 'cmake --preset fuzz && cmake --build --preset fuzz'" >&2
    exit 1
  fi
  work=$build/corpus/$t
  artifacts=$build/artifacts/$t
  mkdir -p "$work" "$artifacts"
  echo "== fuzz_$t: ${seconds}s from fuzz/corpus/$t"
  # -timeout: an input that takes seconds means the parser blocks.
  # shellcheck disable=SC2086
  if "$bin" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -dict=fuzz/quarn.dict -artifact_prefix="$artifacts/" ${FUZZ_FLAGS:-} \
      "$work" "fuzz/corpus/$t" >"$build/fuzz_$t.log" 2>&1; then
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' \
      "$build/fuzz_$t.log" || true
  else
    tail -n 40 "$build/fuzz_$t.log"
    echo "run-fuzzers: fuzz_$t FAILED; log in $build/fuzz_$t.log, input in $artifacts/" >&2
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "run-fuzzers: failing targets: ${failed[*]}" >&2
  exit 1
fi
