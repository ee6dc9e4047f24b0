#!/usr/bin/env bash
# shellcheck disable=SC2317  # the helpers run through check
# scripts/convert-archive over small sample archives: serial and parallel runs agree, files of
# the same date stay apart, failing files fail the run by the converter's status but not the
# other files and convert on the re-run, every log line of a parallel run is whole.
source "$(dirname "$0")/lib.sh" "$@"

# run NAME ARGS...: runs the script, its output into $WORK/NAME.out, its status into STATUS.
run() {
    local name=$1
    shift
    "$SCRIPT" "$@" >"$WORK/$name.out" 2>&1
    STATUS=$?
}
said() { grep -qF -- "$2" "$WORK/$1.out" || { cat "$WORK/$1.out"; return 1; }; }

# -- Without GNU parallel the script says how to install it.
PATH=/nonexistent "$BASH" "$SCRIPT" "$WORK" "$WORK/none" >"$WORK/missing.out" 2>&1
STATUS=$?
check "without GNU parallel: status 2 and how to install it" \
    test $STATUS -eq 2 -a "$(grep -c 'install it with: sudo apt-get install parallel' "$WORK/missing.out")" -eq 1

need_parallel

# -- Serial and parallel runs write the same reports, file for file.
sample "$WORK/archive" 6
run serial -j 1 -E -L -T -A "$WORK/archive" "$WORK/serial"
check "serial run ends with status 0" test $STATUS -eq 0
check "serial run: summary counts" said serial "6 files: 6 converted, 0 failed, 0 skipped"
run parallel -j 3 -E -L -T -A "$WORK/archive" "$WORK/parallel"
check "parallel run ends with status 0" test $STATUS -eq 0
check "every data file has its four reports" test "$(reports "$WORK/parallel" | wc -l)" -eq 24
check "serial and parallel reports identical file for file" \
    same_reports "$WORK/serial" "$WORK/parallel"

# -- The logs of the parallel run: every line whole, one block per data file.
whole_lines() {
    local bad
    bad=$(find "$WORK/parallel/logs" -type f -name 'CSVLog*' -exec cat {} + |
        grep -vcE '^(|\[[0-9]{2}:[0-9]{2}:[0-9]{2}\] [-WE] .*|\[\+ [0-9]+\.[0-9]\] - File Closed\.)$')
    [ "$bad" -eq 0 ]
}
one_block_each() {
    local file logs
    for file in "$WORK"/archive/*DAT*; do
        file=${file##*/}
        logs=$(find "$WORK/parallel/logs" -type f -name 'CSVLog*' -exec cat {} +)
        [ "$(grep -cF "Processing data file [$file]" <<<"$logs")" -eq 1 ] || return 1
        [ "$(grep -cF "Completed processing of data file [$file] in [" <<<"$logs")" -eq 1 ] ||
            return 1
    done
}
check "parallel run: every log line whole" whole_lines
check "parallel run: one processing and one completion line per file" one_block_each

# -- A re-run with other report options is refused: the job log belongs to the first ones.
run other -L "$WORK/archive" "$WORK/serial"
check "re-run with other report options refused (status 2)" test $STATUS -eq 2
check "re-run with other report options names them" said other "options -E -L -T -A"

# -- Files of the same date keep their own reports, each the one a bare converter run writes.
"$KORVA_SAMPLE" -n 20 -p 12 -d 1 -s 1 -D 05/01/2021 "$WORK/north" >/dev/null
"$KORVA_SAMPLE" -n 20 -p 12 -d 1 -s 2 -D 05/01/2021 "$WORK/south" >/dev/null
mkdir "$WORK/same-date"
cp "$WORK/north/KORVA20S_20210501.DAT" "$WORK/same-date/NORTH.DAT"
cp "$WORK/south/KORVA20S_20210501.DAT" "$WORK/same-date/SOUTH.DAT"
run same-date "$WORK/same-date" "$WORK/same-date-out"
check "same-date run ends with status 0" test $STATUS -eq 0
REPORT=KORVA20Sec_Element_05012021.csv
check "no report options: only the element report, one per file" \
    test "$(reports "$WORK/same-date-out")" = "$(printf './NORTH.DAT/%s\n./SOUTH.DAT/%s' $REPORT $REPORT)"
not_same() { ! cmp -s "$@"; }
check "same-date reports differ" \
    not_same "$WORK/same-date-out/NORTH.DAT/$REPORT" "$WORK/same-date-out/SOUTH.DAT/$REPORT"
for side in NORTH SOUTH; do
    mkdir "$WORK/bare-$side"
    cp "$WORK/same-date/$side.DAT" "$WORK/bare-$side/"
    (cd "$WORK/bare-$side" && "$KORVA2CSV" >/dev/null)
    check "$side.DAT: report equals that of a bare converter run" \
        cmp -s "$WORK/bare-$side/$REPORT" "$WORK/same-date-out/$side.DAT/$REPORT"
done

# -- Files that get an E line fail by the converter's status, quoted by their log's first
# E line: a folder named like a data file, a file without a start date, a day whose report
# cannot be created. The others convert; the re-run converts the failed ones alone once mended.
sample "$WORK/faulty" 4
mkdir "$WORK/faulty/BROKEN_DAT"
echo "no data file" >"$WORK/faulty/NODATE.DAT"
mkdir -p "$WORK/faulty-out/KORVA20S_20210502.DAT/KORVA20Sec_Element_05022021.csv"
run faulty -j 2 "$WORK/faulty" "$WORK/faulty-out"
check "failing files: status 1" test $STATUS -eq 1
check "failing files: summary counts" said faulty "6 files: 3 converted, 3 failed, 0 skipped"
check "failing files: named with the log's first E line and the log" said faulty \
    "FAILED BROKEN_DAT: E Data file [BROKEN_DAT] is not a regular file; passed over! (log $WORK/faulty-out/logs/"
check "failing files: the dateless file failed" said faulty "FAILED NODATE.DAT: E "
check "failing files: the day without its report failed" \
    said faulty "FAILED KORVA20S_20210502.DAT: E "
check "failing files: the other three converted" test "$(reports "$WORK/faulty-out" | wc -l)" -eq 3
rmdir "$WORK/faulty/BROKEN_DAT" "$WORK/faulty-out/KORVA20S_20210502.DAT/KORVA20Sec_Element_05022021.csv"
"$KORVA_SAMPLE" -n 20 -p 12 -d 1 -D 06/01/2021 "$WORK/june" >/dev/null
cp "$WORK/june/KORVA20S_20210601.DAT" "$WORK/faulty/BROKEN_DAT"
cp "$WORK/june/KORVA20S_20210601.DAT" "$WORK/faulty/NODATE.DAT"
run mended -j 2 "$WORK/faulty" "$WORK/faulty-out"
check "re-run after mending: status 0" test $STATUS -eq 0
check "re-run after mending: only the failed files converted" \
    said mended "6 files: 3 converted, 0 failed, 3 skipped"
check "re-run after mending: their reports written" \
    test "$(reports "$WORK/faulty-out" | wc -l)" -eq 6
check "re-run after mending: the others' logs hold one run each" test "$(
    cat "$WORK"/faulty-out/logs/*/KORVA20S_2021050[134].DAT/CSVLog* | grep -c 'File Opened')" -eq 3

# -- The per-file step: any status but 0 fails the file, also after a clean log (a converter
# that could not write its log ends with status 3).
cat >"$WORK/status3" <<WRAPPER
#!/bin/sh
"$KORVA2CSV" "\$@"
exit 3
WRAPPER
chmod +x "$WORK/status3"
mkdir "$WORK/status3-out"
"$SCRIPT" --one "$WORK/status3" "$WORK/status3-out" "$WORK/june/KORVA20S_20210601.DAT" \
    >"$WORK/status3.out" 2>&1
check "per-file step, converter status 3: exit 1" test $? -eq 1
check "per-file step, converter status 3: FAILED with the status alone" test "$(
    cat "$WORK/status3.out")" = "FAILED KORVA20S_20210601.DAT: korva2csv ended with status 3"

finish
