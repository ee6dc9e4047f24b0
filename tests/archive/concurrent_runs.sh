#!/usr/bin/env bash
# shellcheck disable=SC2317  # the helpers run through check
# What running many converters side by side relies on: processes of the same day appending to
# one log folder keep every line whole; two processes writing reports of the same name leave
# one whole report, the one that finished last; a process killed while writing a report leaves
# no partial file under the report's name.
source "$(dirname "$0")/lib.sh" "$@"

REPORTS=(-E -L -T -A)

# -- Four processes appending to one log: the same lines, all whole, as four runs one by one.
# Their dates differ, so that every file name, and so every line, belongs to one process.
for k in 1 2 3 4; do
    "$KORVA_SAMPLE" -n 50 -p 720 -d 30 -s "$k" -D "0$((2 * k - 1))/01/2021" "$WORK/in$k" >/dev/null
    mkdir "$WORK/out$k"
done
mkdir "$WORK/logs"
pids=()
for k in 1 2 3 4; do
    "$KORVA2CSV" "${REPORTS[@]}" "-I$WORK/in$k" "-O$WORK/out$k" "-F$WORK/logs" >/dev/null &
    pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
cat "$WORK"/logs/CSVLog* >"$WORK/together.log"
rm "$WORK"/logs/CSVLog*
for k in 1 2 3 4; do
    "$KORVA2CSV" "${REPORTS[@]}" "-I$WORK/in$k" "-O$WORK/out$k" "-F$WORK/logs" >/dev/null
done
cat "$WORK"/logs/CSVLog* >"$WORK/apart.log"
# Times and processor seconds differ from run to run; nothing else does.
masked_lines() {
    sed -E -e 's/\[[0-9]{2}:[0-9]{2}:[0-9]{2}\]/[T]/g' -e 's/\[\+? ?[0-9]+\.[0-9]\]/[S]/g' \
        -e 's/File Opened [0-9.]+/File Opened D/' "$1" | LC_ALL=C sort
}
check "concurrent log: the same lines as the runs one by one" \
    test "$(masked_lines "$WORK/together.log")" = "$(masked_lines "$WORK/apart.log")"
check "concurrent log: all 120 completion lines" \
    test "$(grep -c 'Completed processing of data file \[' "$WORK/together.log")" -eq 120
# Not a check: the comparison proves little unless the runs overlapped, so show whether they did.
echo "note: the four sections of the concurrent log start at lines" \
    "$(grep -n 'File Opened' "$WORK/together.log" | cut -d: -f1 | tr '\n' ' ')"

# -- Two processes writing the same report names at once: every report whole, from one of them.
"$KORVA_SAMPLE" -n 100 -p 2160 -d 1 -s 1 "$WORK/a" >/dev/null
"$KORVA_SAMPLE" -n 100 -p 2160 -d 1 -s 2 "$WORK/b" >/dev/null
mkdir "$WORK/ref-a" "$WORK/ref-b" "$WORK/both"
"$KORVA2CSV" "${REPORTS[@]}" "-I$WORK/a" "-O$WORK/ref-a" "-F$WORK/logs" >/dev/null
"$KORVA2CSV" "${REPORTS[@]}" "-I$WORK/b" "-O$WORK/ref-b" "-F$WORK/logs" >/dev/null
whole_from_either() {
    local report name
    [ "$(ls -A "$WORK/both")" = "$(ls -A "$WORK/ref-a")" ] || return 1  # no temporary left
    for report in "$WORK"/both/*; do
        name=${report##*/}
        cmp -s "$report" "$WORK/ref-a/$name" || cmp -s "$report" "$WORK/ref-b/$name" || return 1
    done
}
for round in 1 2 3; do
    "$KORVA2CSV" "${REPORTS[@]}" "-I$WORK/a" "-O$WORK/both" "-F$WORK/logs" >/dev/null &
    first=$!
    "$KORVA2CSV" "${REPORTS[@]}" "-I$WORK/b" "-O$WORK/both" "-F$WORK/logs" >/dev/null &
    wait "$first" "$!"
    check "same-name reports, round $round: each whole, from one of the two" whole_from_either
done

# -- A process killed while writing its reports: under every report name the earlier report or
# the complete new one. Tried again should the kill come only after the last report.
mkdir "$WORK/killed"
killed_mid_report=0
for _ in 1 2 3 4 5; do
    rm -f "$WORK"/killed/.KORVA20Sec_*
    for name in "$WORK"/ref-a/*; do echo "earlier report" >"$WORK/killed/${name##*/}"; done
    "$KORVA2CSV" "${REPORTS[@]}" "-I$WORK/a" "-O$WORK/killed" "-F$WORK/logs" >/dev/null &
    pid=$!
    until compgen -G "$WORK/killed/.KORVA20Sec_*" >/dev/null || ! kill -0 "$pid" 2>/dev/null; do :; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    if compgen -G "$WORK/killed/.KORVA20Sec_*" >/dev/null; then
        killed_mid_report=1
        break
    fi
done
check "killed run: stopped while a report was being written" test $killed_mid_report -eq 1
earlier_or_whole() {
    local name
    for name in "$WORK"/ref-a/*; do
        name=${name##*/}
        [ "$(cat "$WORK/killed/$name")" = "earlier report" ] ||
            cmp -s "$WORK/killed/$name" "$WORK/ref-a/$name" || return 1
    done
}
check "killed run: every report name holds the earlier or the whole new report" earlier_or_whole

finish
