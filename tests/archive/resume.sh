#!/usr/bin/env bash
# shellcheck disable=SC2317  # the helpers run through check
# programs/korva2csv-archive resumes a run that was stopped: after Ctrl-C, and after the run itself
# was killed outright, the next run converts the unfinished files only (those without a
# published folder), and the end result equals that of an uninterrupted run.
source "$(dirname "$0")/lib.sh" "$@"
need_parallel

# A converter that records the file of every run and hangs on the files named in SLOW_FILES,
# noting its process group (its job's) so that the test can end it.
export REAL_KORVA2CSV=$KORVA2CSV CALLS=$WORK/calls GROUPS_FILE=$WORK/groups
cat >"$WORK/korva2csv" <<'WRAPPER'
#!/usr/bin/env bash
for argument; do case $argument in -I*) input=${argument#-I} ;; esac; done
name=$(ls -- "$input")
[ -n "$name" ] || exec "$REAL_KORVA2CSV" "$@"  # the script's check of the options
echo "$name" >>"$CALLS"
case " ${SLOW_FILES:-} " in *" $name "*) cut -d ' ' -f 5 "/proc/$$/stat" >>"$GROUPS_FILE"; exec sleep 300 ;; esac
exec "$REAL_KORVA2CSV" "$@"
WRAPPER
chmod +x "$WORK/korva2csv"

JOBLOG=$WORK/out/convert-archive.joblog
at_least() { [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ]; }
wait_until() { for ((i = 0; i < 300; i++)); do "$@" && return 0; sleep 0.1; done; return 1; }
end_hung_jobs() { while read -r group; do kill -KILL -- "-$group" 2>/dev/null; done <"$GROUPS_FILE"; rm -f "$GROUPS_FILE"; }
day() { printf 'KORVA20S_202105%02d.DAT ' "$@"; }
# run NAME DAY...: the script with its converter hanging on the days named, its output in
# $WORK/NAME.out.
run() { rm -f "$CALLS"; SLOW_FILES="$(day "${@:2}")" KORVA2CSV=$WORK/korva2csv "$SCRIPT" -j 2 "$WORK/archive" "$WORK/out" >"$WORK/$1.out" 2>&1; }
# background NAME DAY...: run in the background, in a process group of its own as in a terminal,
# with a job log afresh.
background() { rm -f "$JOBLOG"; set -m; run "$@" & RUN=$!; set +m; STARTED_PIDS+=("$RUN"); }

sample "$WORK/archive" 8

# -- Ctrl-C while days 3 and 6 are converting: days 1, 2, 4, 5 finished, 7 and 8 never started.
background first 3 6
wait_until at_least "$JOBLOG" 5 && wait_until at_least "$GROUPS_FILE" 2
check "first run: four days done, two hung" at_least "$GROUPS_FILE" 2
kill -INT -- "-$RUN"
wait "$RUN"
check "interrupted run: status 1, said so, the files not converted counted" test "$?|$(grep -cxF \
    -e "convert-archive: interrupted" -e "Run the same command again to convert the failed and unfinished files." \
    "$WORK/first.out")|$(grep -c "8 files: 4 converted, 0 failed, 0 skipped (converted earlier), 4 not converted" \
    "$WORK/first.out")" = "1|2|1"
end_hung_jobs

# -- The run killed outright while day 7 is converting: days 3, 6 and 8 finish before.
background second 7
wait_until at_least "$JOBLOG" 4 && wait_until at_least "$GROUPS_FILE" 1
check "second run: three days done, one hung" at_least "$GROUPS_FILE" 1
{ kill -KILL -- "-$RUN" && wait "$RUN"; } 2>/dev/null  # without bash's "Killed" notice
end_hung_jobs
check "second run took the four unfinished days only" test "$(sort "$CALLS" | tr '\n' ' ')" = "$(day 3 6 7 8)"
check "killed run: the day it converted not published" test ! -e "$WORK/out/date=2021-05-07"

# -- The third run converts the one day left and the result equals an uninterrupted run's.
run third
check "third run: status 0, the last unfinished day alone" test "$?|$(sort "$CALLS" |
    tr '\n' ' ')|$(grep -c "8 files: 1 converted, 0 failed, 7 skipped" "$WORK/third.out")" = "0|$(day 7)|1"
"$SCRIPT" -j 1 "$WORK/archive" "$WORK/clean" >/dev/null 2>&1
check "resumed result equals an uninterrupted run's, no staging left" \
    same_reports "$WORK/out" "$WORK/clean"

kinds() { reports "$1" | sed 's/.*Sec_//; s/_.*//' | tr '\n' ' '; }
# -- A run of an earlier version, killed while it replaced a published folder, left that folder
# moved aside as old0 beside its new one (out); the resume, asking for fewer kinds, keeps the
# kinds that folder held.
sample "$WORK/day" 1
"$SCRIPT" -E -L "$WORK/day" "$WORK/aside" >/dev/null 2>&1
mkdir -p "$WORK/aside/.staging/KORVA20S_20210501.DAT/out"
mv "$WORK/aside/date=2021-05-01/source=KORVA20S_20210501.DAT" "$WORK/aside/.staging/KORVA20S_20210501.DAT/old0"
"$SCRIPT" -E "$WORK/day" "$WORK/aside" >/dev/null 2>&1
check "resume after a run killed mid-replacement: the kinds of the folder moved aside kept" \
    test "$(kinds "$WORK/aside")" = "Element Lane "

# -- A signal at each step of replacing a published folder (the script's test hook stops it
# there): the earlier folder or the new one stays published whole, never none. KILL, which no
# trap sees, leaves the earlier folder to the next run, which publishes its kinds too.
stopped() { [ "$(cut -d ' ' -f 3 "/proc/$1/stat" 2>/dev/null)" = T ]; }
one() { "$SCRIPT" --one "$KORVA2CSV" "$WORK/replace" "$WORK/day/KORVA20S_20210501.DAT" "$@" >/dev/null; }
for step in staged aside published; do
    for signal in INT TERM HUP KILL; do
        rm -rf "$WORK/replace" && mkdir "$WORK/replace" && one -E -L
        # In a process group of its own, as in a terminal, so that INT is not ignored.
        set -m  # the script itself (not a subshell), as in a terminal: INT is not ignored
        KORVA_ARCHIVE_TEST_STOP=$step "$SCRIPT" --one "$KORVA2CSV" "$WORK/replace" "$WORK/day/KORVA20S_20210501.DAT" -T >/dev/null &
        pid=$! && set +m && STARTED_PIDS+=("$pid")
        wait_until stopped "$pid"
        kill -s "$signal" "$pid" && kill -s CONT "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        [ "$signal" != KILL ] || one -E
        check "$signal while $step: one folder published whole, none staging, Element and Lane kept" \
            test "$(find "$WORK/replace" -name 'source=*' | wc -l)|$(published_whole "$WORK/replace" &&
                kinds "$WORK/replace" | grep -o 'Element Lane ')" = "1|Element Lane "
    done
done

# -- A published folder whose report was deleted, emptied or cut short is converted again; the
# whole ones are skipped.
sample "$WORK/four" 4
for compress in gzip:gz zstd:zst; do
    out=$WORK/cut-${compress%:*} && folder=$out/date=2021-05-0
    "$SCRIPT" -E -L --compress="${compress%:*}" "$WORK/four" "$out" >/dev/null 2>&1
    rm "${folder}1"/*/KORVA20Sec_Element_*
    : >"${folder}2/source=KORVA20S_20210502.DAT/KORVA20Sec_Lane_05022021.csv.${compress#*:}"
    cut=${folder}3/source=KORVA20S_20210503.DAT/KORVA20Sec_Element_05032021.csv.${compress#*:}
    truncate -s "$(($(stat -c %s "$cut") / 2))" "$cut"
    "$SCRIPT" -E -L --compress="${compress%:*}" "$WORK/four" "$out" >"$WORK/cut.out" 2>&1
    check "${compress%:*}: reports deleted, emptied, cut short: those files converted again" test "$(
        grep -c '4 files: 3 converted, 0 failed, 1 skipped' "$WORK/cut.out")|$(
        reports "$out" | wc -l)|$(cd "$out" && "${compress%:*}" -tq ./date=*/*/KORVA* && echo whole)" = "1|8|whole"
done

finish
