#!/usr/bin/env bash
# Loads the reports of reports.sh into DuckDB with the statements of docs/reports.md ("Loading into
# DuckDB", and the summary recomputed in "Summary report"), run by duckdb_load.mjs through Node.js
# and the npm package @duckdb/node-api; the archive part reads two days in date=/source= folders.
#
# usage: duckdb_test.sh KORVA2CSV KORVA_SAMPLE
#
# The npm package is the one pinned in scripts/packages.sh, installed into $KORVA_NPM_CACHE
# (default ~/.cache/korva-npm). Exits 77 (skipped) when Node.js, npm or the package cannot be
# had, unless CI is set.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=check.sh
. "$here/check.sh"
[ $# -eq 2 ] || { echo "usage: $0 KORVA2CSV KORVA_SAMPLE" >&2; exit 2; }
need_npm_packages
temp=$(mktemp -d /tmp/korva-duckdb.XXXXXX) && trap 'rm -rf "$temp"' EXIT && trap 'exit 130' INT TERM HUP || exit 1
korva2csv=$(realpath "$1") korva_sample=$(realpath "$2")
bash "$here/reports.sh" "$korva2csv" "$korva_sample" "$temp" || exit 1
cd "$temp" && "$korva_sample" -n 60 -p 360 -d 1 -D 05/02/2021 in2 >/dev/null || exit 1
# The archive: the element report of each day with --clean in date=YYYY-MM-DD/source=<file>/.
for file in in/*.DAT in2/*.DAT; do
    name=${file##*/} day=${file:(-12):8}
    folder="archive/reports/date=${day:0:4}-${day:4:2}-${day:6:2}/source=$name"
    mkdir -p "stage/$name" "$folder" && ln -s "$temp/$file" "stage/$name/$name"
    "$korva2csv" -E --clean -I"stage/$name" -O"$folder" -Flog >/dev/null || exit 1
done
node "$here/duckdb_load.mjs" "$here" "$temp"
