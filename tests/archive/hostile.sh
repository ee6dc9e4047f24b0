#!/usr/bin/env bash
# shellcheck disable=SC2317  # the helpers run through check
# programs/korva2csv-archive on archives of odd entries: a FIFO named like a data file fails
# (never hangs the run), names with control characters cannot split or forge its lines, names
# as long as a published folder allows convert, and the per-file step takes a relative data
# file and fails a file the converter skips.
source "$(dirname "$0")/lib.sh" "$@"
need_parallel

# A FIFO that hung the run would end in the test's own time limit.
sample "$WORK/day" 1
DAY=$WORK/day/KORVA20S_20210501.DAT

# -- A FIFO and names holding a line feed or an escape sequence: the FIFO fails as the
# converter refuses it, the others convert, every line shows the control characters as '?'.
mkdir "$WORK/odd"
mkfifo "$WORK/odd/PIPE_DAT"$'\n'
cp "$DAY" "$WORK/odd/NL_DAT"$'\n''converted FORGED.DAT'
cp "$DAY" "$WORK/odd/ESC_DAT"$'\e[2K\x7f'
run odd -j 2 "$WORK/odd" "$WORK/odd-out"
check "FIFO: the run ends, that file failed, refused by the converter" grep -qxF \
    "FAILED PIPE_DAT?: E Data file [PIPE_DAT?] is not a regular file; passed over! (log $WORK/odd-out/logs/$(uname -n)/PIPE_DAT?/CSVLog$(date +%y-%m-%d))" \
    "$WORK/odd.out"
check "control characters shown as '?' in every line, none forged" test "$(LC_ALL=C grep -c \
    -e '^converted NL_DAT?converted FORGED.DAT$' -e $'^converted ESC_DAT?\\[2K?$' \
    -e '^failed: PIPE_DAT? (logs in' -e '^converted FORGED' -e $'[\e\x7f]' "$WORK/odd.out")|$(
    tail -n 1 "$WORK/odd.out")" = "3|status 1"

# -- Long names: up to 248 bytes (a published folder's name, source=<file>, holds 255) a file
# converts, also where its staging path would pass the converter's 259 characters; one byte
# more fails with the reason.
mkdir "$WORK/long"
for length in 248 249; do
    name=$(printf 'D%.0s' $(seq "$((length - 8))"))_DAT.DAT
    cp "$DAY" "$WORK/long/$name"
done
run long -j 1 "$WORK/long" "$WORK/long-out"
check "248-byte name converts, 249 bytes fails naming the limit" said long 1 \
    "2 files: 1 converted, 1 failed" "name longer than 248 bytes" &&
    test -d "$WORK/long-out/date=2021-05-01/source=$(printf 'D%.0s' $(seq 240))_DAT.DAT"

# -- The per-file step with a relative data file; with a name without DAT, which the converter
# passes over: failed, nothing published.
mkdir "$WORK/one"
(cd "$WORK/day" && "$SCRIPT" --one "$KORVA2CSV" ../one KORVA20S_20210501.DAT -L >"$WORK/relative.out" 2>&1)
check "per-file step, relative data file: converted and published whole" test "$?|$(cat "$WORK/relative.out")|$(
    reports "$WORK/one")|$(published_whole "$WORK/one" && echo whole)" = \
    "0|converted KORVA20S_20210501.DAT|./date=2021-05-01/source=KORVA20S_20210501.DAT/KORVA20Sec_Lane_05012021.csv|whole"
cp "$DAY" "$WORK/day/korva20s_20210501.dat"
mkdir "$WORK/lower"
"$SCRIPT" --one "$KORVA2CSV" "$WORK/lower" "$WORK/day/korva20s_20210501.dat" -E -L >"$WORK/lower.out" 2>&1
check "per-file step, a name the converter passes over: FAILED with the reason, nothing published" \
    test "$?|$(grep -c '^FAILED korva20s_20210501.dat: .*DAT' "$WORK/lower.out")|$(
    find "$WORK/lower" -name 'date=*' | wc -l)" = "1|1|0"

finish
