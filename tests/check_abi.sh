#!/usr/bin/env bash
# Checks the shared library as hosts and packagers see it: exactly the
# exported names of the .def file, no dependency beyond the C library, the versioned SONAME,
# and a public header that compiles as strict C99 and as C++17.
# Usage: check_abi.sh LIBRARY DEF_FILE INCLUDE_DIR C_COMPILER CXX_COMPILER
# DEF_FILE is QuarnInterface.def, the one list of the exported names.
set -euo pipefail
lib=$1 def=$2 include=$3 cc=$4 cxx=$5

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

expected_names=$(sed 's/;.*//' "$def" | awk '/^EXPORTS/ { on = 1; next } on && NF { print $1 }' |
    LC_ALL=C sort)
[ -n "$expected_names" ] || fail "no export names read from $def"
names=$(nm -D --defined-only "$lib" | awk '{print $NF}' | LC_ALL=C sort)
[ "$names" = "$expected_names" ] || fail "$lib exports other names than $def lists:
$names"

dynamic=$(readelf -d "$lib")
needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic")
[ "$needed" = libc.so.6 ] || fail "$lib needs more than libc.so.6: $needed"
soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' <<<"$dynamic")
[ "$soname" = libQuarnInterface.so.1 ] || fail "$lib has SONAME '$soname'"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Included twice: the include guard must hold.
printf '#include "QuarnInterface.h"\n#include "QuarnInterface.h"\n' >"$tmp/header.c"
cp "$tmp/header.c" "$tmp/header.cpp"
"$cc" -std=c99 -Wall -Wextra -pedantic -Wstrict-prototypes -Werror -I"$include" \
    -c "$tmp/header.c" -o "$tmp/c.o" || fail "header does not compile as C99"
"$cxx" -std=c++17 -Wall -Wextra -pedantic -Werror -I"$include" \
    -c "$tmp/header.cpp" -o "$tmp/cpp.o" || fail "header does not compile as C++17"
echo "ABI of $lib: the names of $(basename "$def"), needs only libc.so.6, SONAME $soname; header is C99 and C++17"
