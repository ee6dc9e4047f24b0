#!/usr/bin/env bash
# The Parquet reports read back by two readers of their own: DuckDB (@duckdb/node-api) and the
# arrow-rs reader (parquet-wasm, with apache-arrow for its tables), both through Node.js, each
# compared with the --clean CSV of the same run: every row and value, nulls where the CSV is
# empty, column names and types, statistics, the writer's name. See parquet_check.mjs.
#
# usage: parquet_test.sh KORVA2CSV KORVA_SAMPLE KORVA_TESTS
#
# The npm packages are the ones pinned in scripts/packages.sh, installed into $KORVA_NPM_CACHE.
# Exits 77 (skipped) when Node.js, npm or a package cannot be had, unless CI is set.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=check.sh
. "$here/check.sh"
[ $# -eq 3 ] || { echo "usage: $0 KORVA2CSV KORVA_SAMPLE KORVA_TESTS" >&2; exit 2; }
need_npm_packages
temp=$(mktemp -d /tmp/korva-parquet.XXXXXX) && trap 'rm -rf "$temp"' EXIT && trap 'exit 130' INT TERM HUP || exit 1
korva2csv=$(realpath "$1") korva_sample=$(realpath "$2") korva_tests=$(realpath "$3")
cd "$temp" && "$korva_sample" -n 60 -p 360 -d 1 --faults in >/dev/null &&
    "$korva_sample" -n 400 -p 4320 -d 1 day >/dev/null || exit 1
# Each mix twice, --clean into MIX/csv and --parquet[=...] into MIX/pq. "big" is a day whose
# element report spans two row groups, read from day/.
while read -r mix input parquet options; do
    mkdir -p "$mix/csv" "$mix/pq"
    # shellcheck disable=SC2086 # the options are split on purpose
    "$korva2csv" $options --clean -I"$input" -O"$mix/csv" -F"$mix" >/dev/null 2>&1 &&
        "$korva2csv" $options "$parquet" -I"$input" -O"$mix/pq" -F"$mix" >/dev/null 2>&1 ||
        { echo "FAIL - korva2csv $options $parquet"; exit 1; }
done <<'MIXES'
all       in  --parquet            -E -L -T -A -S --aggregate=15,60 --health
variants  in  --parquet=zstd:9     -E -L -T -A -S -C -R --aggregate=15
cabinets  in  --parquet=none       -M
period    in  --parquet            -E -L -T -P07:30:20
device    in  --parquet            -E -L -T -A -D417es10967:_MW___0 --aggregate=60 --health
empty     in  --parquet            -E -L -T -A -P24:00:00 -D417es99999:_MW___1 --health
big       day --parquet            -E
joined    in  --parquet            --aggregate=15 --health --corridors --cabinets=in/CABINETS_20210501.LST
MIXES
# Every mix of the unit tests' table of pinned reports, over its own days (the hand-made ones hold
# the names and values the samples never reach), as digest<N>: the days kept by that test in
# digest/. Its compressed mixes are the plain ones (--compress is no Parquet option).
mkdir digest && KORVA_DIGEST_DIR=$temp/digest "$korva_tests" --gtest_filter=Reports.EveryMixOfOptions* >/dev/null &&
    rm -rf digest/out* || { echo "FAIL - the days of the pinned reports"; exit 1; }
n=0
while read -r folder options; do
    mix=digest$((n += 1)) && mkdir -p "$mix/csv" "$mix/pq"
    for run in "csv --clean" "pq --parquet"; do
        # shellcheck disable=SC2086 # the options are split on purpose
        "$korva2csv" -E -L -T -A -I"digest/$folder/" $options ${run#* } -O"$mix/${run% *}/" -F"$mix/" >/dev/null 2>&1
        echo $? >>"$mix/status"
    done
    [ "$(sort -u "$mix/status")" != "$(head -1 "$mix/status")" ] ||
        [ "$(ls "$mix/csv" | sed 's/\.csv$//I')" != "$(ls "$mix/pq" | sed 's/\.parquet$//')" ] &&
        { echo "FAIL - $folder $options: the Parquet run's status or reports differ"; exit 1; }
done < <(grep -o '{"\(in\|big\) [^"]*"' "$here/../reports_test.cpp" | tr -d '{"' | grep -v -- --compress)
[ "$n" -ge 20 ] || { echo "FAIL - $n mixes read from the table of pinned reports"; exit 1; }
# A two-day archive converted with --parquet by korva2csv-archive.
archive() { KORVA2CSV=$korva2csv "$here/../../programs/korva2csv-archive" -j 2 --parquet -E --health days archive; }
"$korva_sample" -n 30 -p 90 -d 2 days >/dev/null && archive >/dev/null || { echo "FAIL - korva2csv-archive --parquet"; exit 1; }
# A Parquet report cut short (no PAR1 at its end) is converted again by the next run.
cut=$(echo archive/date=2021-05-01/source=*/KORVA20Sec_Element_05012021.parquet)
cp "$cut" days/whole.parquet && truncate -s 1000 "$cut"
archive | grep -q "2 files: 1 converted, 0 failed, 1 skipped" && cmp -s "$cut" days/whole.parquet ||
    { echo "FAIL - korva2csv-archive --parquet: a cut report converted again"; exit 1; }
node "$here/parquet_check.mjs" "$temp"
