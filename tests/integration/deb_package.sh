#!/usr/bin/env bash
# Builds the Debian package of a configured build folder with cpack, checks it with lintian (no
# error, no warning), installs it with dpkg, runs the installed commands, then removes the package
# and checks that nothing of it is left.
#
# usage: deb_package.sh BUILD_DIR
#
# BUILD_DIR is a built tree whose configuration included cmake/Packaging.cmake (it holds
# CPackConfig.cmake). Needs root for dpkg, and lintian; exits 77 (skipped) without either, unless
# CI is set. It refuses to run when a korva2csv package or any of its files is already installed,
# and removes the package it installed however it ends.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=check.sh
. "$here/check.sh"
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(realpath "$1")
files=(/usr/bin/{korva2csv,korva-sample,korva2csv-archive,korva2csv-plot}
    /usr/share/man/man1/{korva2csv,korva-sample,korva2csv-archive,korva2csv-plot}.1.gz
    /usr/share/doc/korva2csv/{reports.md,copyright,changelog.gz})

[ "$(id -u)" = 0 ] || skip "dpkg -i needs root"
command -v lintian >/dev/null || skip "lintian is missing: apt-get install lintian"
[ -f "$build/CPackConfig.cmake" ] ||
    { echo "FAIL - $build has no CPackConfig.cmake: configure it with cmake/Packaging.cmake"; exit 1; }
! dpkg-query -W korva2csv >/dev/null 2>&1 ||
    { echo "FAIL - a korva2csv package is installed already; remove it first (dpkg -r korva2csv)"; exit 1; }
for file in "${files[@]}"; do [ ! -e "$file" ] || { echo "FAIL - $file exists already; the package would replace it"; exit 1; }; done

temp=$(mktemp -d) || exit 1
installed=0
cleanup() {
    local status=$?
    [ "$installed" = 0 ] || ! dpkg-query -W korva2csv >/dev/null 2>&1 ||
        dpkg --purge korva2csv >/dev/null 2>&1
    rm -rf "$temp"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
cd "$temp" || exit 1

# The package: its control fields, and Debian's own checker (informational tags may stay).
cpack -G DEB -B "$temp/package" --config "$build/CPackConfig.cmake" >cpack.log 2>&1 ||
    { cat cpack.log; echo "FAIL - cpack -G DEB"; exit 1; }
deb=$(ls package/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
check "control: depends on the C and C++ runtimes, the compressors, python3 ($depends)" \
    "$(for p in libc6 'libstdc++6' libisal2 libzstd1 python3; do
        tr -s ', ' '\n' <<<"$depends" | grep -qxF "$p" || echo "$p missing"
    done)" ""
lintian_log=$(lintian --fail-on error,warning "$deb" 2>&1)
check "lintian: no error, no warning" "$?$(grep '^[EW]: ' <<<"$lintian_log")" 0

# Install: clean, every file where it belongs, and the commands work from /usr/bin.
installed=1
said=$(dpkg -i "$deb" 2>&1)
check "dpkg -i: status 0, no warning" "$?|$(grep -ci 'warning\|error' <<<"$said")" "0|0"
for file in "${files[@]}"; do check "installed: $file" "$(dpkg-query -S "$file" 2>/dev/null)" "korva2csv: $file"; done
mkdir out && korva-sample -n 8 -p 6 -d 1 in >/dev/null
while IFS='|' read -r want expected command; do
    said=$(bash -c "$command" 2>&1)
    got="$?|$(grep -c "$expected" <<<"$said")"
    check "$command from $(command -v "${command%% *}"): status $want, says $expected" "$got" "$want|1"
done <<'COMMANDS'
2|Report -E|korva2csv -?
0|KORVA20Sec_Element_|korva2csv -E -Iin -Oout -Fout && ls out
0|^usage: |korva2csv-archive --help
0|^usage: |korva2csv-plot --help
COMMANDS

# Remove: clean, and nothing left.
said=$(dpkg -r korva2csv 2>&1)
check "dpkg -r: status 0, no warning" "$?|$(grep -ci 'warning\|error' <<<"$said")" "0|0"
check "removed: every file, the doc folder" "$(ls -d "${files[@]}" /usr/share/doc/korva2csv 2>/dev/null)" ""

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
