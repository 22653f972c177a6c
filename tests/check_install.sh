#!/usr/bin/env bash
# Installs the build into a fresh prefix and builds a small C host against the
# installed package, either through CMake's find_package or through
# pkg-config, then runs it.
# Usage: check_install.sh cmake|pkg-config BUILD_DIR CONSUMER_SOURCE_DIR C_COMPILER
set -euo pipefail
mode=$1 build=$2 consumer=$3 cc=$4

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

case $mode in
cmake)
    cmake -S "$consumer" -B "$tmp/build" -DCMAKE_C_COMPILER="$cc" \
        -DCMAKE_PREFIX_PATH="$prefix" >"$tmp/configure.log" 2>&1 ||
        { cat "$tmp/configure.log" >&2; fail "find_package(QuarnInterface 1.0) failed"; }
    cmake --build "$tmp/build" >"$tmp/build.log" 2>&1 ||
        { cat "$tmp/build.log" >&2; fail "consumer does not build against the package"; }
    "$tmp/build/quarn-consumer"
    # A host asking for another major version must be refused.
    if cmake -S "$consumer" -B "$tmp/build2" -DCMAKE_C_COMPILER="$cc" \
        -DCMAKE_PREFIX_PATH="$prefix" -DQUARN_WANTED_VERSION=2.0 >/dev/null 2>&1; then
        fail "find_package(QuarnInterface 2.0) accepted version 1"
    fi
    ;;
pkg-config)
    pc=$(find "$prefix" -name QuarnInterface.pc)
    [ -n "$pc" ] || fail "no QuarnInterface.pc installed under $prefix"
    export PKG_CONFIG_PATH
    PKG_CONFIG_PATH=$(dirname "$pc")
    flags=$(pkg-config --cflags --libs QuarnInterface)
    for var in includedir libdir; do
        dir=$(pkg-config --variable="$var" QuarnInterface)
        case $dir in
        "$prefix"/*) ;;
        *) fail "QuarnInterface.pc installed into $prefix gives $var=$dir (flags: $flags)" ;;
        esac
    done
    # shellcheck disable=SC2086 # the flags are meant to split into words
    "$cc" -std=c99 -Wall -Wextra -pedantic -Werror "$consumer/consumer.c" $flags \
        -o "$tmp/quarn-consumer" || fail "consumer does not build with: $flags"
    LD_LIBRARY_PATH=$(pkg-config --variable=libdir QuarnInterface) "$tmp/quarn-consumer"
    ;;
*)
    fail "unknown mode '$mode' (cmake or pkg-config)"
    ;;
esac
