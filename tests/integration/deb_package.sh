#!/usr/bin/env bash
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)  # this folder, before any cd
# Builds the Debian package of a configured build folder with cpack, checks it with lintian (no
# error, no warning), installs it with dpkg, runs the installed commands and reads the installed
# manual pages, then removes the package and checks that nothing of it is left.
#
# usage: deb_package.sh BUILD_DIR
#
# BUILD_DIR is a built tree whose configuration included cmake/Packaging.cmake (it holds
# CPackConfig.cmake). Needs root for dpkg, and lintian (under CI; skipped with a note otherwise);
# exits 77 (skipped) without root, unless CI is set. It
# refuses to run when a korva2csv package or any of its files is already installed, and removes
# the package it installed however it ends.
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(realpath "$1")
pages=(korva2csv korva-sample korva2csv-archive korva2csv-plot)
files=(/usr/bin/korva2csv /usr/bin/korva-sample /usr/bin/korva2csv-archive /usr/bin/korva2csv-plot
    /usr/share/man/man1/korva2csv.1.gz /usr/share/man/man1/korva-sample.1.gz
    /usr/share/man/man1/korva2csv-archive.1.gz /usr/share/man/man1/korva2csv-plot.1.gz
    /usr/share/doc/korva2csv/reports.md
    /usr/share/doc/korva2csv/copyright /usr/share/doc/korva2csv/changelog.gz)

if [ "$(id -u)" != 0 ]; then
    echo "dpkg -i needs root"
    if [ -n "${CI:-}" ]; then exit 1; else exit 77; fi
fi
if [ ! -f "$build/CPackConfig.cmake" ]; then
    echo "FAIL - $build has no CPackConfig.cmake: configure it with cmake/Packaging.cmake included"
    exit 1
fi
if dpkg-query -W korva2csv >/dev/null 2>&1; then
    echo "FAIL - a korva2csv package is installed already; remove it first (dpkg -r korva2csv)"
    exit 1
fi
for file in "${files[@]}"; do
    if [ -e "$file" ]; then
        echo "FAIL - $file exists already; the package would replace it"
        exit 1
    fi
done

temp=$(mktemp -d) || exit 1
installed=0
cleanup() {
    local status=$?
    if [ "$installed" = 1 ] && dpkg-query -W korva2csv >/dev/null 2>&1; then
        dpkg --purge korva2csv >/dev/null 2>&1
    fi
    rm -rf "$temp"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
cd "$temp" || exit 1

# shellcheck source=check.sh
. "$here/check.sh"

# cmake --install lays out the same files under any prefix.
cmake --install "$build" --prefix "$temp/stage" >/dev/null
check "cmake --install: commands under bin/, manual pages under share/man/man1/" \
    "$(cd stage && find . -type f | LC_ALL=C sort | tr '\n' ' ')" \
    "./bin/korva-sample ./bin/korva2csv ./bin/korva2csv-archive ./bin/korva2csv-plot \
./share/doc/korva2csv/changelog.gz ./share/doc/korva2csv/copyright \
./share/doc/korva2csv/reports.md ./share/man/man1/korva-sample.1.gz \
./share/man/man1/korva2csv-archive.1.gz ./share/man/man1/korva2csv-plot.1.gz \
./share/man/man1/korva2csv.1.gz "

# The package: its control fields and its files, all under /usr and owned by root.
if ! cpack -G DEB -B "$temp/package" --config "$build/CPackConfig.cmake" >cpack.log 2>&1; then
    cat cpack.log
    echo "FAIL - cpack -G DEB"
    exit 1
fi
deb=$(ls package/*.deb)
echo "package $(basename "$deb")"
check "control: package, version, maintainer" \
    "$(dpkg-deb -f "$deb" Package Version Maintainer | tr '\n' '|')" \
    "Package: korva2csv|Version: 2.02|Maintainer: korva2csv developers <korva2csv@users.noreply.github.com>|"
depends=$(dpkg-deb -f "$deb" Depends)
check "control: depends on the C and C++ runtimes, the compressors, python3 ($depends)" \
    "$(for p in libc6 'libstdc++6' libisal2 libzstd1 python3; do
        tr -s ', ' '\n' <<<"$depends" | grep -qxF "$p" || echo "$p missing"
    done)" ""
check "control: recommends GNU parallel, pandas and matplotlib" \
    "$(dpkg-deb -f "$deb" Recommends)" "parallel, python3-pandas, python3-matplotlib"
check "contents: every file under /usr, owned by root" \
    "$(dpkg-deb -c "$deb" | awk '$2 != "root/root" || $6 !~ /^\.\/usr\// { print $6 }')" ""

# Debian's own checker: no error and no warning (informational tags may stay).
if command -v lintian >/dev/null; then
    # (lintian's note that it runs as root left out)
    lintian_log=$(lintian --fail-on error,warning "$deb" 2>&1)
    status=$?
    lintian_log=$(grep -v '^running with root privileges' <<<"$lintian_log")
    [ -z "$lintian_log" ] || echo "$lintian_log"
    check "lintian: no error, no warning" \
        "$status $(grep -c '^[EW]: ' <<<"$lintian_log")" "0 0"
elif [ -n "${CI:-}" ]; then
    check "lintian installed" "missing" "present"
else
    echo "skip - lintian is not installed (apt-get install lintian)"
fi
description=$(dpkg-deb -f "$deb" Description)
check "control: description lines under 80 columns" \
    "$(awk 'length >= 80' <<<"$description")" ""

# Install: clean, and the commands work from /usr/bin.
install_log=$(dpkg -i "$deb" 2>&1)
status=$?
installed=1
check "dpkg -i exits 0 without a warning" \
    "$status $(echo "$install_log" | grep -ci 'warning\|error')" "0 0"
check "dpkg: korva2csv installed" "$(dpkg-query -W -f='${Status}' korva2csv)" \
    "install ok installed"
for file in "${files[@]}"; do
    check "installed: $file" "$(dpkg-query -S "$file" 2>/dev/null)" "korva2csv: $file"
done
help=$(cd / && korva2csv '-?')
status=$?
check "korva2csv -? from $(command -v korva2csv) prints the options, status 2" \
    "$status $(grep -c 'Report -E' <<<"$help")" "2 1"
mkdir out
korva-sample -n 8 -p 6 -d 1 in >/dev/null && korva2csv -E -Iin -Oout -Fout >/dev/null
status=$?
check "installed korva-sample and korva2csv convert a sample day" \
    "$status $(find out -name 'KORVA20Sec_Element_*.csv' | wc -l)" "0 1"
for page in "${pages[@]}"; do
    manual=$(MANWIDTH=80 man --warnings -l "/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    check "installed manual page $page.1.gz renders without warnings" "$manual" ""
done
help=$(korva2csv-archive --help)
status=$?
check "korva2csv-archive --help from $(command -v korva2csv-archive) prints its usage, status 0" \
    "$status $(grep -c '^usage: ' <<<"$help")" "0 1"
help=$(korva2csv-plot --help)
status=$?
check "korva2csv-plot --help from $(command -v korva2csv-plot) prints its usage, status 0" \
    "$status $(grep -c '^usage: ' <<<"$help")" "0 1"

# Remove: clean, and nothing left.
remove_log=$(dpkg -r korva2csv 2>&1)
status=$?
check "dpkg -r exits 0 without a warning" \
    "$status $(echo "$remove_log" | grep -ci 'warning\|error')" "0 0"
check "dpkg: korva2csv not installed, no configuration left" \
    "$(dpkg-query -W -f='${Status}' korva2csv 2>/dev/null | grep -c 'installed$\|config-files$')" 0
for file in "${files[@]}" /usr/share/doc/korva2csv; do
    check "removed: $file" "$([ -e "$file" ] && echo present)" ""
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
