#!/usr/bin/env bash
# The reports the loader tests read: a sample day (05/01/2021, 60 devices, 360 periods) in DIR/in
# converted into every report of both dialects. Legacy: plain/ (with the 15-minute summary, the
# health report and the corridor report, joined to the day's cabinet list, and the cabinet CSV), variants/ (-S -C -R), empty/ (-D of a device the file lacks: no rows),
# gzip/ and zstd/ (--compress); standard CSV: clean/. The converter's log goes into DIR/log.
#
# usage: reports.sh KORVA2CSV KORVA_SAMPLE DIR
set -u
korva2csv=$(realpath "$1") korva_sample=$(realpath "$2")
cd "$3" && "$korva_sample" -n 60 -p 360 -d 1 --faults in >/dev/null || exit 1
mkdir -p log
while read -r folder options; do
    mkdir -p "$folder"
    # shellcheck disable=SC2086 # the options are split on purpose
    "$korva2csv" $options -Iin -O"$folder" -Flog >/dev/null ||
        { echo "FAIL - korva2csv $options -O$folder"; exit 1; }
done <<'RUNS'
plain -E -L -T -A --aggregate=15 --health --corridors --cabinets=in/CABINETS_20210501.LST
plain -M
variants -E -L -T -A -S -C -R
empty -E -L -T -A -D417es99999:_MW___1
gzip -E -L -T -A --compress=gzip
gzip -M --compress=gzip
zstd -E -L -T -A --compress=zstd
zstd -M --compress=zstd
clean -E -L -T -A --clean
clean -M --clean
RUNS
