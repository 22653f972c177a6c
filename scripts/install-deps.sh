#!/usr/bin/env bash
# Installs the Debian packages the build and the test suite need, when any is
# missing. Runs apt-get only then, so on a prepared machine it costs nothing.
# `linux` limits it to what the linux preset needs (the demo); the default,
# `all`, adds clang for fuzzing, clang-format and clang-tidy for scripts/lint.sh,
# MinGW-w64 and Wine for the Windows DLLs, what scripts/package.sh needs for
# the release kits, for the web console emscripten (the WebAssembly build)
# with Chromium, chromedriver and Selenium (its tests in a real browser),
# Node.js with npm for the npm package, and Mono with NUnit for the .NET
# binding and its NuGet package.
# `coverage` adds gcovr to the linux set, for scripts/coverage.sh alone (the
# test pipeline does not measure coverage).
set -euo pipefail

# What the linux preset needs: the library, its tests, tools and benchmarks
# (tmux draws the monitor's screen for its test; help2man makes the tools' manual
# pages, which man-db renders in their test).
packages=(
  cmake g++ make pkg-config python3
  googletest libgtest-dev libbenchmark-dev valgrind
  libhidapi-dev libcli11-dev tmux help2man man-db
)
# Everything scripts/test.sh runs besides: fuzzing, the Windows DLLs, the
# release kits of scripts/package.sh (Debian packages checked by lintian, the
# Python sdist and wheels, each wheel installed into a fresh venv, the check
# that another clone builds the same kits) and the web console.
case "${1:-all}" in
  linux) ;;
  coverage)
    packages+=(gcovr)
    ;;
  all)
    packages+=(clang libclang-rt-14-dev clang-format clang-tidy mingw-w64 wine wine64)
    packages+=(dpkg-dev file lintian python3-setuptools python3-wheel python3-venv)
    # librsvg2-bin's rsvg-convert renders the web console's PNG icons from its SVG.
    packages+=(emscripten librsvg2-bin chromium chromium-driver python3-selenium)
    # The npm package's tests (scripts/test.sh's npm stage) run under Node.js
    # 18 or newer, with npm for npm ci and npm pack.
    packages+=(nodejs)
    # The .NET binding: Mono's C# compiler, reference assemblies and Mono.Cecil (mono-devel),
    # NUnit to run its tests under Mono, and a NuGet client for the package's test.
    packages+=(mono-devel nunit-console libnunit-cil-dev nuget)
    # Reproducible kits: package.sh normalizes zips, check-reproducible.sh
    # shows where two builds differ.
    packages+=(strip-nondeterminism diffoscope-minimal)
    ;;
  *)
    echo "usage: $0 [linux|coverage|all]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# NodeSource's Node.js brings npm and conflicts with Debian's npm package,
# which Debian's own Node.js needs: ask for it only where npm is missing.
if [ "${1:-all}" = all ] && ! command -v npm >/dev/null 2>&1; then
  missing+=(npm)
fi
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
