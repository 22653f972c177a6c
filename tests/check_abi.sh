#!/usr/bin/env bash
# Checks the shared library as hosts and packagers see it: exactly the eight
# exported names, no dependency beyond the C library, the versioned SONAME,
# and a public header that compiles as strict C99 and as C++17.
# Usage: check_abi.sh LIBRARY INCLUDE_DIR C_COMPILER CXX_COMPILER
set -euo pipefail
lib=$1 include=$2 cc=$3 cxx=$4

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

expected_names="convert_std_sbus_data
encode_sbus_data_v1
encode_sbus_data_v2
parse_hid_compatible_device
parse_hid_game_controller_device
parse_port_data
request_upload_port_data
stop_upload_port_data"
names=$(nm -D --defined-only "$lib" | awk '{print $NF}' | LC_ALL=C sort)
[ "$names" = "$expected_names" ] || fail "$lib exports other names than the eight:
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
echo "ABI of $lib: eight names, needs only libc.so.6, SONAME $soname; header is C99 and C++17"
