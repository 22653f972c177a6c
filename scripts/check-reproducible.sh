#!/usr/bin/env bash
# Checks that the release kits are reproducible: scripts/package.sh, run in
# another clone of the same commit, at another path and at another time, makes
# every file of dist/ bit for bit the same.
#
#   scripts/check-reproducible.sh                builds in two temporary clones
#   scripts/check-reproducible.sh --against DIR  builds in one temporary clone and
#                                                compares with DIR, the dist/ that
#                                                package.sh made in this checkout
#
# What is built is HEAD, with the uncommitted changes to tracked files if there
# are any, and the kits' dates come from HEAD's commit, as in package.sh. The
# (second) clone differs from the checkout in all that a rebuild elsewhere may
# differ in: its path (of another length), its files' times (2001), the time
# zone (UTC+14), the umask (077) and the time of the build.
#
# Each file is named with "same" or "DIFFERS"; for each difference, diffoscope
# writes where the two differ to build/reproducible/<file>.txt and the start of
# that report is printed. The clones are deleted at the end.
# Exit codes: 0 every file is the same, 1 a file differs or is missing from one
# side, 2 usage error, 3 a build failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
program=check-reproducible

usage() {
    echo "usage: $0 [--against DIST]" >&2
    exit 2
}
against=""
if [ $# -eq 2 ] && [ "$1" = --against ]; then
    [ -d "$2" ] || { echo "$program: --against $2: no such directory" >&2; exit 2; }
    against=$(realpath "$2")
elif [ $# -ne 0 ]; then
    usage
fi

# A commit of the tree as it is (tracked files), or HEAD when nothing changed.
commit=$(git -c user.name="$program" -c user.email=nobody@localhost stash create)
commit=${commit:-$(git rev-parse HEAD)}
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH

work=$(mktemp -d "${TMPDIR:-/tmp}/quarn-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT
reports=$root/build/reproducible
rm -rf "$reports"
mkdir -p "$reports"

# build DIR [VARIED]: runs package.sh in a clone of the commit at DIR; with
# VARIED, in the varied environment described above.
build() {
    local dir=$1 varied=${2:-} start=$SECONDS
    (
        if [ -n "$varied" ]; then
            umask 077
            export TZ=XYZ-14
        fi
        # --shared: the commit of uncommitted changes exists only in this
        # repository's objects.
        git clone --quiet --shared --no-checkout "$root" "$dir" &&
            git -C "$dir" checkout --quiet --detach "$commit" || exit
        if [ -n "$varied" ]; then
            find "$dir" -path "$dir/.git" -prune -o -exec touch -h -d @1000000000 {} + || exit
        fi
        cd "$dir" && scripts/package.sh
    ) >"$dir.log" 2>&1 || {
        tail -n 30 "$dir.log" >&2
        echo "$program: scripts/package.sh failed in $dir (log above)" >&2
        exit 3
    }
    echo "$program: built in $dir in $((SECONDS - start)) s"
}

echo "$program: kits of $(git rev-parse --short "$commit"), SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"
if [ -n "$against" ]; then
    first=$against
else
    build "$work/a"
    first=$work/a/dist
fi
build "$work/clone-at-another-path" varied
second=$work/clone-at-another-path/dist

mapfile -t names < <({ (cd "$first" && find . -type f) && (cd "$second" && find . -type f); } |
    sed 's|^\./||' | LC_ALL=C sort -u)
if [ ${#names[@]} -eq 0 ]; then
    echo "$program: no kits in $first or $second" >&2
    exit 1
fi
differing=()
for name in "${names[@]}"; do
    if [ ! -f "$first/$name" ] || [ ! -f "$second/$name" ]; then
        echo "MISSING  $name (only in $([ -f "$first/$name" ] && echo "$first" || echo "$second"))"
        differing+=("$name")
    elif cmp -s "$first/$name" "$second/$name"; then
        echo "same     $name"
    else
        echo "DIFFERS  $name"
        differing+=("$name")
        if command -v diffoscope >/dev/null; then
            report=$reports/${name//\//_}.txt
            timeout 600 diffoscope --text "$report" "$first/$name" "$second/$name" >/dev/null ||
                true
            sed -n '1,40s/^/    /p' "$report"
            echo "    (the whole report: $report)"
        else
            echo "    (diffoscope, which scripts/install-deps.sh installs, would show where)"
        fi
    fi
done
if [ ${#differing[@]} -gt 0 ]; then
    echo "$program: ${#differing[@]} of ${#names[@]} files differ: ${differing[*]}" >&2
    exit 1
fi
echo "$program: all ${#names[@]} files are the same"
