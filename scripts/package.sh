#!/usr/bin/env bash
# Makes every release kit into dist/, from the version in QuarnInterface.h:
#
#   libquarninterface1_<v>_amd64.deb         the shared library
#   libquarninterface-dev_<v>_amd64.deb      header, link, CMake package, .pc file
#   quarninterface-tools_<v>_amd64.deb       quarn-monitor, quarn-sim, quarn-console
#                                            with the web console's page
#   QuarnInterface-<v>-Linux-x86_64.tar.gz   all of it, relocatable
#   QuarnInterface-<v>-win64.zip             DLL, import libraries for MSVC and
#   QuarnInterface-<v>-win32.zip             MinGW, header, CMake package
#   quarninterface-<v>.tar.gz                the Python binding alone (sdist)
#   quarninterface-<v>-py3-none-<platform>.whl  the binding with the library,
#                                            for manylinux_2_17_x86_64,
#                                            win_amd64 and win32
#   quarninterface-<v>.tgz                   the npm package: the library as
#                                            WebAssembly, for Node and browsers
#   QuarnInterface.Net.<v>.nupkg             the .NET binding with the library for
#                                            linux-x64, win-x64 and win-x86
#   quarninterface-web-<v>.zip               the web console's page, for any
#                                            static HTTPS host
#   SHA256SUMS                               checksums of all of the above
#
# The kits come from release builds (the package-* presets: no tests, no
# benchmarks); logs go to build/package-logs/. The Debian packages and the
# tarball differ only in their install layout (/usr with the multiarch libdir,
# or a relocatable tree), so package-debian and package-linux share one build
# tree, build/package-linux: switching between them relinks the tools and
# compiles nothing.
# tests/kits/test_kits.py checks the kits the way users install them, and
# scripts/check-reproducible.sh that another clone gives the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

logs=build/package-logs
dist=dist
mkdir -p "$logs"

fail() {
    printf 'package.sh: %s\n' "$*" >&2
    exit 1
}

# step NAME COMMAND...: runs COMMAND with its output in $logs/NAME.log.
step() {
    local name=$1
    shift
    if ! "$@" >"$logs/$name.log" 2>&1; then
        tail -n 30 "$logs/$name.log" >&2
        fail "$name failed: $*; the whole log is $logs/$name.log"
    fi
}

version() {
    local part value parts=()
    for part in MAJOR MINOR PATCH; do
        value=$(sed -n "s/^#define QUARN_INTERFACE_VERSION_$part \([0-9]\+\)$/\1/p" \
            include/QuarnInterface.h)
        [ -n "$value" ] || fail "include/QuarnInterface.h defines no QUARN_INTERFACE_VERSION_$part"
        parts+=("$value")
    done
    (IFS=.; echo "${parts[*]}")
}
v=$(version)
python_version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/quarninterface/__init__.py)
[ "$python_version" = "$v" ] ||
    fail "python/quarninterface/__init__.py has __version__ '$python_version', the header $v"

# Dates in the kits (Debian changelogs, archive members) come from the last
# commit, so that the same tree gives the same kits.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH
# The modes of what is made here do not depend on the caller's umask: CPack's
# packages take their directories' modes from the tree it installs into.
umask 022

# The Linux binaries get Debian's hardening flags (stack protector, fortified
# C library calls, read-only relocations, immediate binding), as Debian's own
# packages do.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
linux_flags=(
    "-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
    "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
    "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)"
    "-DCMAKE_SHARED_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)"
)

rm -rf "$dist"
mkdir -p "$dist"

# The web console's page: the web preset builds it (the library as
# WebAssembly, with emscripten), and its install component "web" lays out
# whatever the page is made of. The tools kits install it with quarn-console,
# and the web kit (below) is the page itself.
echo "== web"
web_page=$PWD/build/package-web/page
rm -rf build/package-web
step web-configure cmake --preset web
step web-build cmake --build --preset web
step web-install cmake --install build/web --component web --prefix "$web_page"
linux_flags+=("-DQUARN_CONSOLE_PAGE=$web_page")

for preset in package-debian package-linux package-windows-x64 package-windows-x86; do
    echo "== $preset"
    flags=()
    case $preset in
    package-debian | package-linux) flags=("${linux_flags[@]}") ;;
    esac
    rm -rf "build/$preset/kits"
    step "$preset-configure" cmake --preset "$preset" "${flags[@]}"
    step "$preset-build" cmake --build --preset "$preset"
    step "$preset-cpack" cpack --preset "$preset"
    find "build/$preset/kits" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.tar.gz' \
        -o -name '*.zip' \) -exec mv -t "$dist" {} +
done

# Python: setuptools' standard backend builds the sdist from the binding alone,
# and each wheel from the binding with the library taken out of the kit for its
# platform, so the wheels carry exactly the released binaries. Each build has
# its own copy of the sources (with the licence), so nothing leaks between them.
echo "== python"
stage=build/package-python
rm -rf "$stage"
out=$(realpath "$dist")

python_dist() { # NAME PLATFORM [ARCHIVE MEMBER FILE]: PLATFORM "sdist" makes the sdist
    local dir=$stage/$1 platform=$2
    mkdir -p "$dir"
    cp -r python/pyproject.toml python/README.md python/quarninterface LICENSE "$dir/"
    rm -rf "$dir/quarninterface/__pycache__"
    # The wheels record these modes; the umask does not reach bits a file has.
    chmod -R u=rwX,go=rX "$dir"
    if [ $# -eq 5 ]; then
        (cd "$stage" && cmake -E tar xf "$out/$3" "$4")
        mv "$stage/$4" "$dir/quarninterface/$5"
    fi
    step "python-$1" /usr/bin/python3 - "$dir" "$out" "$platform" <<'EOF'
import os
import sys

import setuptools.build_meta as backend

source, out, platform = sys.argv[1:]
os.chdir(source)
if platform == "sdist":
    print(backend.build_sdist(out))
else:
    print(backend.build_wheel(out, {"--build-option": f"--plat-name {platform}"}))
EOF
}
python_dist sdist sdist
python_dist linux manylinux_2_17_x86_64 "QuarnInterface-$v-Linux-x86_64.tar.gz" \
    "QuarnInterface-$v-Linux-x86_64/lib/libQuarnInterface.so.$v" libQuarnInterface.so.1
python_dist win64 win_amd64 "QuarnInterface-$v-win64.zip" \
    "QuarnInterface-$v-win64/bin/QuarnInterface.dll" QuarnInterface.dll
python_dist win32 win32 "QuarnInterface-$v-win32.zip" \
    "QuarnInterface-$v-win32/bin/QuarnInterface.dll" QuarnInterface.dll

# npm: the package as the web preset's build (above) lays it out, packed by npm
# itself. npm pack gives every entry owner 0 and one fixed time whatever
# SOURCE_DATE_EPOCH says, and sorts them; it keeps the files' modes, which
# depend on the checkout's umask, so they are set here.
echo "== npm"
npm_version=$(node -p 'require("./js/package.json").version')
[ "$npm_version" = "$v" ] || fail "js/package.json has version '$npm_version', the header $v"
npm_stage=build/web/npm/quarninterface
find "$npm_stage" -type d -exec chmod 0755 {} +
find "$npm_stage" -type f -exec chmod 0644 {} +
step npm-pack npm pack --ignore-scripts --pack-destination "$out" "$npm_stage"
# .NET: the NuGet package, from the assembly that the package-linux build made and the
# libraries taken out of the kits, as for the wheels (packaging/nuget/make_nupkg.py).
nuget_package() {
    local stage=build/package-nuget assembly=build/package-linux/dotnet
    echo "== nuget"
    [ -f "$assembly/QuarnInterface.Net.dll" ] ||
        fail "$assembly/QuarnInterface.Net.dll was not built: the .NET binding needs Mono" \
            "(scripts/install-deps.sh installs it)"
    rm -rf "$stage"
    mkdir -p "$stage"
    local linux=QuarnInterface-$v-Linux-x86_64/lib/libQuarnInterface.so.$v
    local win64=QuarnInterface-$v-win64/bin/QuarnInterface.dll
    local win32=QuarnInterface-$v-win32/bin/QuarnInterface.dll
    (cd "$stage" && cmake -E tar xf "$out/QuarnInterface-$v-Linux-x86_64.tar.gz" "$linux" &&
        cmake -E tar xf "$out/QuarnInterface-$v-win64.zip" "$win64" &&
        cmake -E tar xf "$out/QuarnInterface-$v-win32.zip" "$win32")
    step nuget /usr/bin/python3 packaging/nuget/make_nupkg.py "$dist" "$v" "$assembly" \
        "$stage/$linux" "$stage/$win64" "$stage/$win32"
}
nuget_package
# The web kit: the page under one top folder, with the licence, to put on any
# static HTTPS host (docs/web.md).
echo "== web kit"
web_kit=quarninterface-web-$v
mkdir -p "build/package-web/kit/$web_kit"
cp -r "$web_page/." LICENSE "build/package-web/kit/$web_kit/"
(cd build/package-web/kit && cmake -E tar cf "$out/$web_kit.zip" --format=zip "$web_kit")

# Reproducible archives: every tarball and zip made above gets its members in
# name order, the time SOURCE_DATE_EPOCH, owner and group 0 and the modes 0755
# (directories, programs) or 0644, so that the same files give the same bytes
# (CPack's tarball and zips follow the order of the disk's directories, and
# setuptools' sdist records the time of the build). The wheels are made so by
# wheel itself, from the staged trees with fixed modes, and CPack's Debian
# packages by CPack.
repack_tarball() { # ARCHIVE
    local tree=build/package-repack top=()
    rm -rf "$tree" && mkdir -p "$tree" && tar -xzf "$1" -C "$tree" || return
    mapfile -t top < <(LC_ALL=C ls -A "$tree")
    tar -C "$tree" --sort=name --format=posix \
        --pax-option=exthdr.name=%d/PaxHeaders/%f,delete=atime,delete=ctime \
        --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
        --mode=u=rwX,go=rX -cf - "${top[@]}" | gzip -9n >"$1"
}
echo "== reproducible archives"
for archive in "$dist"/*.tar.gz; do
    step "repack-${archive##*/}" repack_tarball "$archive"
done
for archive in "$dist"/*.zip; do
    # Zips hold local times: in UTC they are the same everywhere.
    step "repack-${archive##*/}" env TZ=UTC strip-nondeterminism --type zip \
        --timestamp "$SOURCE_DATE_EPOCH" "$archive"
done

(cd "$dist" && sha256sum -- * >"$out/SHA256SUMS.new" && mv "$out/SHA256SUMS.new" SHA256SUMS)
echo "== kits in $dist/"
ls -l "$dist"
