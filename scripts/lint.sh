#!/usr/bin/env bash
# Checks every C and C++ file of the tree against the repository's
# .clang-format and .clang-tidy and fails on any finding.
#
#   scripts/lint.sh [FILE...]     (default: every C/C++ file git knows)
#
# clang-format checks every file. clang-tidy checks every source file that has
# compile commands: build/linux's (configure the linux preset first: the
# library, tests, benchmarks, examples and tools) and build/fuzz's for fuzz/,
# configured here when missing (nothing is built). The plain C programs that
# are compiled outside those builds (the install consumer, built by
# tests/check_install.sh, the DLL's import-library consumer, the release kits'
# consumer and the web build's layout generator) are checked as C99 against
# include/. Headers are checked through the sources that
# include them (HeaderFilterRegex in .clang-tidy).
#
# tests/windows/test_dll_loading.cpp is not checked: it needs windows.h and
# the MinGW C++ library, which clang-tidy 14 finds only when given the MinGW
# compiler's include paths by hand, and then it reports a finding without a
# location inside clang's own predefined macros for that target.
# LINT_JOBS sets how many clang-tidy processes run at once (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${LINT_JOBS:-2}
linux_db=build/linux
fuzz_db=build/fuzz

if [ $# -gt 0 ]; then
    files=("$@")
else
    mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h')
fi
if [ ${#files[@]} -eq 0 ]; then
    echo "lint.sh: no C or C++ files to check" >&2
    exit 2
fi
for tool in clang-format clang-tidy; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "lint.sh: $tool not found; scripts/install-deps.sh installs it" >&2
        exit 2
    fi
done
if [ ! -f "$linux_db/compile_commands.json" ]; then
    echo "lint.sh: $linux_db/compile_commands.json is missing; run 'cmake --preset linux' first" >&2
    exit 2
fi

failed=0
echo "clang-format: ${#files[@]} files"
if ! clang-format --dry-run -Werror "${files[@]}"; then
    failed=1
fi

# The source files a compile database holds, one path (relative to the
# top of the tree) a line, read once per database.
compiled_files() {
    python3 - "$1" <<'EOF'
import json, os, sys
for entry in json.load(open(os.path.join(sys.argv[1], "compile_commands.json"))):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    print(os.path.relpath(path, os.path.realpath(os.getcwd())))
EOF
}

# Compiled outside the compile databases (see above).
c99_hosts=" tests/consumer/consumer.c tests/windows/implib_consumer.c tests/kits/consumer/stream_consumer.c web/layout_js.c "
not_checked=" tests/windows/test_dll_loading.cpp "

linux_files=$'\n'$(compiled_files "$linux_db")$'\n'
tidy_args=()
for file in "${files[@]}"; do
    case $file in
    *.h) continue ;;
    esac
    if [[ $not_checked == *" $file "* ]]; then
        echo "clang-tidy: $file is not checked (see scripts/lint.sh)"
        continue
    fi
    if [[ $c99_hosts == *" $file "* ]]; then
        tidy_args+=(c99 "$file")
        continue
    fi
    case $file in
    fuzz/*)
        if [ ! -f "$fuzz_db/compile_commands.json" ]; then
            cmake --preset fuzz >/dev/null
        fi
        if [ -z "${fuzz_files+set}" ]; then
            fuzz_files=$'\n'$(compiled_files "$fuzz_db")$'\n'
        fi
        db=$fuzz_db
        known=$fuzz_files
        ;;
    *)
        db=$linux_db
        known=$linux_files
        ;;
    esac
    if [[ $known == *$'\n'"$file"$'\n'* ]]; then
        tidy_args+=("$db" "$file")
    else
        echo "clang-tidy: $file has no compile commands in $db" >&2
        failed=1
    fi
done

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
echo "clang-tidy: $((${#tidy_args[@]} / 2)) files, $jobs at a time"
# Largest files first, so that the longest runs do not end up last and alone.
# Each file's findings go to its own log, printed whole once it is done.
if ! for ((k = 0; k < ${#tidy_args[@]}; k += 2)); do
    printf '%s %s %s\n' "$(wc -c <"${tidy_args[k + 1]}")" "${tidy_args[k]}" "${tidy_args[k + 1]}"
done | sort -rn | cut -d' ' -f2- | xargs -r -n 2 -P "$jobs" sh -c '
    log="$0/$(printf %s "$2" | tr / _).log"
    if [ "$1" = c99 ]; then
        set -- "$1" "$2" -- -std=c99 -Iinclude
    else
        set -- "$1" "$2" -p "$1"
    fi
    file=$2
    shift 2
    if clang-tidy --quiet "$file" "$@" >"$log" 2>&1; then
        echo "  ok   $file"
    else
        echo "  FAIL $file"
        grep -v "warnings generated\.$" "$log"
        exit 1
    fi' "$logs"; then
    failed=1
fi

if [ $failed -ne 0 ]; then
    echo "lint.sh: findings above" >&2
    exit 1
fi
echo "lint.sh: clean"
