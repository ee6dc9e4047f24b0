#!/usr/bin/env bash
# shellcheck disable=SC2317  # the helpers run through check
# programs/korva2csv-archive over small sample archives: serial and parallel runs agree, each file's
# reports are published whole in date=<start date>/source=<file>/, files of the same date stay
# apart, re-runs take the same options in any order and refuse others, a re-run adding a report
# kind converts what lacks it, failing files fail the run by the converter's status but not the
# other files, publish nothing and convert on the re-run, and a failed file taken out of the
# archive no longer counts.
source "$(dirname "$0")/lib.sh" "$@"

PATH=/nonexistent run missing "$WORK" "$WORK/none"
check "without GNU parallel: status 2 and how to install it" \
    said missing 2 'install it with: sudo apt-get install parallel'
need_parallel

# -- Serial and parallel runs write the same reports, file for file, in date=/source= folders.
sample "$WORK/archive" 6
run serial -j 1 -E -L -T -A "$WORK/archive" "$WORK/serial"
run parallel -j 3 -E -L -T -A "$WORK/archive" "$WORK/parallel"
check "serial run: status 0, summary" said serial 0 "6 files: 6 converted, 0 failed, 0 skipped"
check "serial and parallel reports identical file for file, published whole" \
    same_reports "$WORK/serial" "$WORK/parallel"

# -- Progress with the time left on a terminal only; the batch runs above print none.
script -qec "$(printf '%q ' "$SCRIPT" -j 2 "$WORK/archive" "$WORK/tty")" /dev/null \
    >"$WORK/tty.out" 2>&1 </dev/null
echo "status 0" >>"$WORK/tty.out"
check "on a terminal: GNU parallel's bar with the time left; in batch: no progress" \
    eval 'said tty 0 "100% 6:0=0s" && ! grep -q % "$WORK/parallel.out"'

# -- Re-runs: other options than report kinds refused (the reports would mix); --clean and
# --compress go to the converter, and the same options in another order and case are the same.
run other -S "$WORK/archive" "$WORK/serial"
check "re-run with other options refused, naming the earlier ones" said other 2 "options  - run it again"
run clean -L --clean --compress=gzip -r "$WORK/archive" "$WORK/clean"
run clean-again -R --compress=gzip -l --clean "$WORK/archive" "$WORK/clean"
check "re-run with the options reordered: every file skipped" \
    said clean-again 0 "0 converted, 0 failed, 6 skipped"

# -- Files of the same date keep their own reports; a file whose start date is no MM/DD/YYYY day
# fails with the converter's E line and publishes nothing.
mkdir "$WORK/same-date" "$WORK/iso"
for side in NORTH:1 SOUTH:2; do
    sample "$WORK/${side%:*}" 1 -s "${side#*:}"
    cp "$WORK/${side%:*}/KORVA20S_20210501.DAT" "$WORK/same-date/${side%:*}.DAT"
done
cp "$WORK/same-date/SOUTH.DAT" "$WORK/iso/ISO.DAT"
at=$(grep -abo -m1 'Data Start = 05/01/2021' "$WORK/iso/ISO.DAT" | cut -d: -f1)
printf 'Data Start = 2021-05-01' | dd of="$WORK/iso/ISO.DAT" bs=1 seek="$at" conv=notrunc 2>/dev/null
run same-date "$WORK/same-date" "$WORK/same-date-out"
REPORT=KORVA20Sec_Element_05012021.csv DAY=$WORK/same-date-out/date=2021-05-01
check "no report options: the element report alone, one per file, by date and file" \
    test "$(reports "$WORK/same-date-out")" = "$(printf '%s\n' \
        ./date=2021-05-01/source=NORTH.DAT/$REPORT ./date=2021-05-01/source=SOUTH.DAT/$REPORT)"
run iso "$WORK/iso" "$WORK/iso-out"
check "a start date of no MM/DD/YYYY day: FAILED with the E line, nothing published" \
    eval 'said iso 1 "FAILED ISO.DAT: E No start date in data file [ISO.DAT]; no reports written!" &&
        test -z "$(reports "$WORK/iso-out")"'


# -- The date of a file's folder is that of its reports: of two Data Start lines in a header the
# converter keeps the last.
mkdir "$WORK/twice" "$WORK/twice-out"
sed 's#^File Write = 05/02/2021 00:00:10$#Data Start = 06/01/2021 00:00:00#' \
    "$WORK/same-date/NORTH.DAT" >"$WORK/twice/TWICE.DAT"
"$SCRIPT" --one "$KORVA2CSV" "$WORK/twice-out" "$WORK/twice/TWICE.DAT" >/dev/null
check "two Data Start lines: the folder dated as the reports" test "$(reports "$WORK/twice-out")" = \
    "./date=2021-05-01/source=TWICE.DAT/$REPORT"

# -- A settings file left empty or cut short (a full disk) is renewed, not taken for another
# archive's.
for cut in "" "archive $WORK/archive"$'\n'"opt"; do
    rm -rf "$WORK/renew" && mkdir "$WORK/renew" && printf %s "$cut" >"$WORK/renew/convert-archive.settings"
    run renew -j 2 "$WORK/archive" "$WORK/renew"
    check "settings file of ${#cut} bytes, cut short: renewed, the run converts" \
        eval 'said renew 0 "6 converted" && cmp -s "$WORK"/{renew,serial}/convert-archive.settings'
done

# -- Re-runs convert the files lacking a report kind asked for, keeping the kinds they had, and
# skip the others (NORTH's folder removed before the -E run).
while read -r converted skipped kinds; do
    [ "$kinds" != -E ] || rm -r "$DAY/source=NORTH.DAT"
    # shellcheck disable=SC2086 # the report options are split on purpose
    run kinds $kinds "$WORK/same-date" "$WORK/same-date-out"
    check "re-run with $kinds: $converted converted, $skipped skipped" \
        said kinds 0 "2 files: $converted converted, 0 failed, $skipped skipped"
done <<'RUNS'
2 0 -E -L
1 1 -E
1 1 -L
2 0 -T
2 0 --health --aggregate=60,15
0 2 --aggregate=15 -T
2 0 --aggregate=5 --health
RUNS
check "re-runs: every file holds the reports of every run, published whole" test "$(
    find "$WORK/same-date-out" -name 'KORVA*' | sed 's/.*KORVA//; s/_[0-9]*\.csv$//' | sort |
        uniq -c | tr -s ' \n' ' ')$(published_whole "$WORK/same-date-out" && echo whole)" = \
    " 2 15Min_Element 2 20Sec_Element 2 20Sec_Health 2 20Sec_Lane 2 20Sec_Trap 2 5Min_Element 2 60Min_Element whole"
check "  ... the marker names them, the summary counts the detectors by health" \
    eval 'grep -qx "reports -E -L -T --health --aggregate=5,15,60" "$DAY/source=SOUTH.DAT/_SUCCESS" &&
        said kinds 0 " detectors in 2 files converted: good "'

# -- Thresholds of --health are settings of the health report; --health=... still asks for it.
run thresholds -j 2 --health=constant=100 "$WORK/same-date" "$WORK/thresholds-out"
check "--health=constant=100: the health report named in the marker, the detectors counted" \
    eval 'grep -qx "reports --health" "$WORK"/thresholds-out/date=*/source=SOUTH.DAT/_SUCCESS &&
        said thresholds 0 " detectors in 2 files converted: good "'

# -- Files that get an E line fail by the converter's status, quoted by their log's first E line:
# a folder named like a data file, a file without a start date. They publish nothing; the others
# convert; the re-run converts the failed ones alone once mended.
sample "$WORK/faulty" 3
mkdir "$WORK/faulty/BROKEN_DAT"
echo "no data file" >"$WORK/faulty/NODATE.DAT"
run faulty -j 2 "$WORK/faulty" "$WORK/faulty-out"
check "failing files: status 1, summary, each named with its log's first E line and the log" \
    said faulty 1 "5 files: 3 converted, 2 failed, 0 skipped" "FAILED NODATE.DAT: E No start date" \
    "FAILED BROKEN_DAT: E Data file [BROKEN_DAT] is not a regular file; passed over! (log $WORK/faulty-out/logs/"
check "failing files: the other three alone published, none left staging" test "$(find \
    "$WORK/faulty-out" -mindepth 2 -maxdepth 2 -name 'source=*' | wc -l)|$(reports "$WORK/faulty-out" |
    wc -l)$([ ! -e "$WORK/faulty-out/.staging" ] || echo ", staging left")" = "3|3"
rmdir "$WORK/faulty/BROKEN_DAT"
sample "$WORK/june" 1 -D 06/01/2021
cp "$WORK/june/KORVA20S_20210601.DAT" "$WORK/faulty/BROKEN_DAT"
cp "$WORK/june/KORVA20S_20210601.DAT" "$WORK/faulty/NODATE.DAT"
run mended -j 2 "$WORK/faulty" "$WORK/faulty-out"
check "re-run after mending: the failed files alone converted" \
    said mended 0 "5 files: 2 converted, 0 failed, 3 skipped"

# -- A file that failed and was then taken out of the archive fails no later run.
echo "no data file" >"$WORK/faulty/GONE.DAT"
run gone-failed -j 2 "$WORK/faulty" "$WORK/faulty-out"
rm "$WORK/faulty/GONE.DAT"
run gone -j 2 "$WORK/faulty" "$WORK/faulty-out"
check "failed file taken out: status 0, named once" test "$(tail -n 1 "$WORK/gone.out")|$(
    grep -c 'not in the archive any more: GONE.DAT (failed earlier)' "$WORK/gone.out")" = "status 0|1"

# -- The per-file step: any status but 0 fails the file, also after a clean log (a converter
# that could not write its log ends with status 3); status 0 publishes.
printf '#!/bin/sh\n"%s" "$@"\nexit 3\n' "$KORVA2CSV" >"$WORK/status3"
chmod +x "$WORK/status3"
mkdir "$WORK/one"
"$SCRIPT" --one "$WORK/status3" "$WORK/one" "$WORK/june/KORVA20S_20210601.DAT" >"$WORK/status3.out" 2>&1
check "per-file step, converter status 3: exit 1, FAILED with the status alone, only its log left" \
    test "$?|$(cat "$WORK/status3.out")|$(ls -A "$WORK/one")" = \
    "1|FAILED KORVA20S_20210601.DAT: korva2csv ended with status 3|logs"
# (Status 0 publishes: hostile.sh, the per-file step with a relative data file.)

finish
