#!/usr/bin/env bash
# Loads every report of a sample archive into DuckDB with the statements of docs/reports.md
# ("Loading into DuckDB"), run by duckdb_load.mjs through Node.js and the npm package
# @duckdb/node-api: the legacy reports with their explicit settings, the --clean reports by
# DuckDB's own detection, a compressed report, and a whole archive of two days in
# date=/source= folders, also turned into Parquet. Checks column names and types, row counts,
# times and values, and that both dialects give the same rows.
#
# usage: duckdb_test.sh KORVA2CSV KORVA_SAMPLE
#
# The npm package is the one pinned in scripts/packages.sh, installed into $KORVA_NPM_CACHE
# (default ~/.cache/korva-npm; .ci/run installs it beforehand). Exits 77 (skipped) when Node.js,
# npm or the package cannot be had, unless CI is set.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [ $# -ne 2 ]; then
    echo "usage: $0 KORVA2CSV KORVA_SAMPLE" >&2
    exit 2
fi
korva2csv=$(realpath "$1")
korva_sample=$(realpath "$2")

skip() {
    echo "$1"
    if [ -n "${CI:-}" ]; then exit 1; else exit 77; fi
}
# shellcheck source=scripts/packages.sh
. "$here/../../scripts/packages.sh"
for tool in node npm; do
    command -v "$tool" >/dev/null || skip "$tool is missing: apt-get install nodejs npm"
done
install_npm_packages ||
    skip "npm could not install ${KORVA_NPM_PACKAGES[*]} into $KORVA_NPM_CACHE"
export KORVA_NPM_CACHE

temp=$(mktemp -d /tmp/korva-duckdb.XXXXXX) || exit 1
trap 'rm -rf "$temp"' EXIT
trap 'exit 130' INT TERM HUP
cd "$temp" || exit 1

convert() {
    "$korva2csv" "$@" -Flog >/dev/null || {
        echo "FAIL - korva2csv $*"
        exit 1
    }
}

# Two sample days, every report of both in legacy/ (the lane report also as .zst) and with
# --clean in clean/, and the element report with --clean in an archive of date=/source= folders.
"$korva_sample" -n 60 -p 360 -d 2 in >/dev/null || exit 1
mkdir log legacy clean
convert -E -L -T -A -Iin -Olegacy
convert -M -Iin -Olegacy
convert -L --compress=zstd -Iin -Olegacy
convert -E -L -T -A --clean -Iin -Oclean
convert -M --clean -Iin -Oclean
for file in in/*.DAT; do
    name=$(basename "$file")
    day=$(echo "$name" | sed -n 's/.*_\([0-9]\{8\}\)\.DAT$/\1/p') # YYYYMMDD
    folder="archive/reports/date=${day:0:4}-${day:4:2}-${day:6:2}/source=$name"
    mkdir -p "stage/$name" "$folder"
    ln -s "$temp/$file" "stage/$name/$name"
    convert -E --clean -I"stage/$name" -O"$folder"
done

node "$here/duckdb_load.mjs" "$here/../../docs/reports.md" "$temp/legacy" "$temp/clean" \
    "$temp/archive"
