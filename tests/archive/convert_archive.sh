#!/usr/bin/env bash
# shellcheck disable=SC2317  # the helpers run through check
# scripts/convert-archive over small sample archives: serial and parallel runs agree, each file's
# reports are published whole in date=<start date>/source=<file>/, files of the same date stay
# apart, a re-run adding a report kind converts what lacks it, failing files fail the run by the
# converter's status but not the other files, publish nothing and convert on the re-run, every
# log line of a parallel run is whole.
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
check "serial and parallel reports identical file for file, published whole" \
    same_reports "$WORK/serial" "$WORK/parallel"
check "each file's folder named by its start date and name" \
    test -f "$WORK/parallel/date=2021-05-06/source=KORVA20S_20210506.DAT/KORVA20Sec_Lane_05062021.csv"

# -- Progress with the time left on a terminal only; the batch runs above print none.
script -qec "$(printf '%q ' "$SCRIPT" -j 2 "$WORK/archive" "$WORK/tty")" /dev/null \
    >"$WORK/tty.out" 2>&1 </dev/null
check "on a terminal: GNU parallel's bar with the time left" said tty "100% 6:0=0s"
check "in batch: no progress" test "$(grep -c '%' "$WORK/parallel.out")" -eq 0

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

# -- A re-run with other options than report kinds is refused: the reports would mix.
run other -S "$WORK/archive" "$WORK/serial"
check "re-run with other options refused (status 2)" test $STATUS -eq 2
check "re-run with other options names the earlier ones" said other "options  - run it again"

# -- --clean and --compress go to the converter; a re-run may give them in another order.
run clean -L --clean --compress=gzip "$WORK/archive" "$WORK/clean"
check "--clean --compress=gzip: clean reports compressed" test "$(gzip -dc \
    "$WORK/clean/date=2021-05-01/source=KORVA20S_20210501.DAT/KORVA20Sec_Lane_05012021.csv.gz" |
    head -c 5)" = "name,"
run clean-again --compress=gzip -L --clean "$WORK/archive" "$WORK/clean"
check "--clean --compress=gzip: re-run skips every file" said clean-again "0 converted, 0 failed, 6 skipped"

# -- Files of the same date keep their own reports, each the one a bare converter run writes; a
# file whose start date is no MM/DD/YYYY converts into date=unknown.
"$KORVA_SAMPLE" -n 20 -p 12 -d 1 -s 1 -D 05/01/2021 "$WORK/north" >/dev/null
"$KORVA_SAMPLE" -n 20 -p 12 -d 1 -s 2 -D 05/01/2021 "$WORK/south" >/dev/null
mkdir "$WORK/same-date"
cp "$WORK/north/KORVA20S_20210501.DAT" "$WORK/same-date/NORTH.DAT"
cp "$WORK/south/KORVA20S_20210501.DAT" "$WORK/same-date/SOUTH.DAT"
cp "$WORK/south/KORVA20S_20210501.DAT" "$WORK/same-date/ISO.DAT"
at=$(grep -abo -m1 'Data Start = 05/01/2021' "$WORK/same-date/ISO.DAT" | cut -d: -f1)
printf 'Data Start = 2021-05-01' | dd of="$WORK/same-date/ISO.DAT" bs=1 seek="$at" conv=notrunc 2>/dev/null
run same-date "$WORK/same-date" "$WORK/same-date-out"
check "same-date run ends with status 0" test $STATUS -eq 0
REPORT=KORVA20Sec_Element_05012021.csv
check "no report options: only the element report, one per file, by date and file" \
    test "$(reports "$WORK/same-date-out")" = "$(printf '%s\n' \
        ./date=2021-05-01/source=NORTH.DAT/$REPORT ./date=2021-05-01/source=SOUTH.DAT/$REPORT \
        ./date=unknown/source=ISO.DAT/KORVA20Sec_Element_201-5-01.csv)"
check "same-date run: published whole" published_whole "$WORK/same-date-out"
not_same() { ! cmp -s "$@"; }
DAY=$WORK/same-date-out/date=2021-05-01
check "same-date reports differ" not_same "$DAY/source=NORTH.DAT/$REPORT" "$DAY/source=SOUTH.DAT/$REPORT"
for side in NORTH SOUTH; do
    mkdir "$WORK/bare-$side"
    cp "$WORK/same-date/$side.DAT" "$WORK/bare-$side/"
    (cd "$WORK/bare-$side" && "$KORVA2CSV" >/dev/null)
    check "$side.DAT: report equals that of a bare converter run" \
        cmp -s "$WORK/bare-$side/$REPORT" "$DAY/source=$side.DAT/$REPORT"
done

# -- Re-runs convert the files lacking a report kind asked for, keeping the kinds they had, and
# skip the others.
kinds() { # FILE: the report kinds of the file's published folder, as "Element Lane "
    find "$WORK/same-date-out"/date=*/"source=$1" -name 'KORVA20Sec_*' | sed 's/.*Sec_//; s/_.*//' |
        sort | tr '\n' ' '
}
run add-lane -E -L "$WORK/same-date" "$WORK/same-date-out"
check "re-run adding -L: every file converted" said add-lane "3 files: 3 converted, 0 failed, 0 skipped"
rm -r "$DAY/source=NORTH.DAT"
run element -E "$WORK/same-date" "$WORK/same-date-out"
check "re-run with -E: the file without its folder converted" \
    said element "3 files: 1 converted, 0 failed, 2 skipped"
run lane -L "$WORK/same-date" "$WORK/same-date-out"
check "re-run with -L: the file lacking its lane report converted" \
    said lane "3 files: 1 converted, 0 failed, 2 skipped"
run add-trap -T "$WORK/same-date" "$WORK/same-date-out"
check "re-run adding -T: every file converted" said add-trap "3 files: 3 converted, 0 failed, 0 skipped"
for file in NORTH.DAT SOUTH.DAT ISO.DAT; do
    check "$file: the reports of every run" test "$(kinds $file)" = "Element Lane Trap "
done
check "re-runs: published whole" published_whole "$WORK/same-date-out"

# -- Files that get an E line fail by the converter's status, quoted by their log's first
# E line: a folder named like a data file, a file without a start date. They publish nothing;
# the others convert; the re-run converts the failed ones alone once mended.
sample "$WORK/faulty" 3
mkdir "$WORK/faulty/BROKEN_DAT"
echo "no data file" >"$WORK/faulty/NODATE.DAT"
run faulty -j 2 "$WORK/faulty" "$WORK/faulty-out"
check "failing files: status 1" test $STATUS -eq 1
check "failing files: summary counts" said faulty "5 files: 3 converted, 2 failed, 0 skipped"
check "failing files: named with the log's first E line and the log" said faulty \
    "FAILED BROKEN_DAT: E Data file [BROKEN_DAT] is not a regular file; passed over! (log $WORK/faulty-out/logs/"
check "failing files: the dateless file failed" said faulty "FAILED NODATE.DAT: E "
check "failing files: the other three converted" test "$(reports "$WORK/faulty-out" | wc -l)" -eq 3
check "failing files: no folder of theirs published, none left staging" test -z "$(
    cd "$WORK/faulty-out" && find . -path ./logs -prune -o \
        \( -name 'source=BROKEN_DAT' -o -name 'source=NODATE.DAT' -o -name .staging \) -print)"
rmdir "$WORK/faulty/BROKEN_DAT"
"$KORVA_SAMPLE" -n 20 -p 12 -d 1 -D 06/01/2021 "$WORK/june" >/dev/null
cp "$WORK/june/KORVA20S_20210601.DAT" "$WORK/faulty/BROKEN_DAT"
cp "$WORK/june/KORVA20S_20210601.DAT" "$WORK/faulty/NODATE.DAT"
run mended -j 2 "$WORK/faulty" "$WORK/faulty-out"
check "re-run after mending: status 0" test $STATUS -eq 0
check "re-run after mending: only the failed files converted" \
    said mended "5 files: 2 converted, 0 failed, 3 skipped"
check "re-run after mending: their reports written" \
    test -f "$WORK/faulty-out/date=2021-06-01/source=NODATE.DAT/KORVA20Sec_Element_06012021.csv"
check "re-run after mending: the others' logs hold one run each" test "$(
    cat "$WORK"/faulty-out/logs/*/KORVA20S_2021050[123].DAT/CSVLog* | grep -c 'File Opened')" -eq 3

# -- A file that failed and was then taken out of the archive fails no later run.
echo "no data file" >"$WORK/faulty/GONE.DAT"
run gone-failed -j 2 "$WORK/faulty" "$WORK/faulty-out"
rm "$WORK/faulty/GONE.DAT"
run gone -j 2 "$WORK/faulty" "$WORK/faulty-out"
check "failed file taken out: status 0, named once" test $STATUS -eq 0 -a \
    "$(grep -c 'not in the archive any more: GONE.DAT' "$WORK/gone.out")" -eq 1

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
check "per-file step, converter status 3: only its log left" test "$(ls -A "$WORK/status3-out")" = logs
"$SCRIPT" --one "$KORVA2CSV" "$WORK/status3-out" "$WORK/june/KORVA20S_20210601.DAT" -L >/dev/null
check "per-file step: reports and marker published" published_whole "$WORK/status3-out" &&
    test -f "$WORK/status3-out/date=2021-06-01/source=KORVA20S_20210601.DAT/KORVA20Sec_Lane_06012021.csv"

finish
