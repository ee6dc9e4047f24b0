#!/usr/bin/env bash
# shellcheck disable=SC2317  # the helpers run through check
# What running many converters side by side relies on: processes of the same day appending to
# one log folder keep every line whole; two processes writing reports of the same name leave
# one whole report, the one that finished last; a process killed while writing a report leaves
# no partial file under the report's name.
source "$(dirname "$0")/lib.sh" "$@"

# convert IN OUT: the four data reports of IN into OUT, logged into $WORK/logs.
convert() { "$KORVA2CSV" -E -L -T -A "-I$WORK/$1" "-O$WORK/$2" "-F$WORK/logs" >/dev/null; }
mkdir "$WORK/logs" "$WORK/ref-a" "$WORK/ref-b" "$WORK/both" "$WORK/killed"

# -- Four processes appending to one log: the same lines, all whole, as four runs one by one.
# Their dates differ, so that every file name, and so every line, belongs to one process.
for k in 1 2 3 4; do "$KORVA_SAMPLE" -n 50 -p 720 -d 30 -s "$k" -D "0$((2 * k - 1))/01/2021" "$WORK/in$k" >/dev/null; mkdir "$WORK/out$k"; done
for together in 1 0; do
    for k in 1 2 3 4; do if [ $together = 1 ]; then convert "in$k" "out$k" & else convert "in$k" "out$k"; fi; done
    wait
    # Times and processor seconds differ from run to run; nothing else does.
    sed -E -e 's/\[[0-9]{2}:[0-9]{2}:[0-9]{2}\]/[T]/g' -e 's/\[\+? ?[0-9]+\.[0-9]\]/[S]/g' \
        -e 's/File Opened [0-9.]+/File Opened D/' "$WORK"/logs/CSVLog* | LC_ALL=C sort >"$WORK/log$together"
    rm "$WORK"/logs/CSVLog*
done
check "concurrent log: the same lines as the runs one by one, all 120 completion lines" \
    test "$(cmp "$WORK/log1" "$WORK/log0" && grep -c 'Completed processing of data file \[' "$WORK/log1")" = 120

# -- Two processes writing the same report names at once: every report whole, from one of them.
for k in a:1 b:2; do "$KORVA_SAMPLE" -n 100 -p 2160 -d 1 -s "${k#*:}" "$WORK/${k%:*}" >/dev/null; done
convert a ref-a && convert b ref-b
whole_from_either() {
    [ "$(ls -A "$WORK/both")" = "$(ls -A "$WORK/ref-a")" ] || return 1  # no temporary left
    for report in "$WORK"/both/*; do
        cmp -s "$report" "$WORK/ref-a/${report##*/}" || cmp -s "$report" "$WORK/ref-b/${report##*/}" || return 1
    done
}
for round in 1 2 3; do
    convert a both & convert b both; wait
    check "same-name reports, round $round: each whole, from one of the two" whole_from_either
done

# -- A process killed while writing its reports: under every report name the earlier report or
# the complete new one, after each of five kills; at least one of them came mid-report.
earlier_or_whole() {
    for name in "$WORK"/ref-a/*; do
        [ "$(cat "$WORK/killed/${name##*/}")" = "earlier report" ] || cmp -s "$WORK/killed/${name##*/}" "$name" || return 1
    done
}
mid_report=0 torn=0
for _ in 1 2 3 4 5; do
    rm -f "$WORK"/killed/.KORVA20Sec_*
    for name in "$WORK"/ref-a/*; do echo "earlier report" >"$WORK/killed/${name##*/}"; done
    "$KORVA2CSV" -E -L -T -A "-I$WORK/a" "-O$WORK/killed" "-F$WORK/logs" >/dev/null &
    pid=$!  # the converter itself, not a subshell around it
    until compgen -G "$WORK/killed/.KORVA20Sec_*" >/dev/null || ! kill -0 "$pid" 2>/dev/null; do :; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    earlier_or_whole || torn=1
    ! compgen -G "$WORK/killed/.KORVA20Sec_*" >/dev/null || mid_report=1
done
check "killed runs: one stopped while a report was being written" test $mid_report -eq 1
check "killed runs: every report name holds the earlier or the whole new report" test $torn -eq 0

finish
