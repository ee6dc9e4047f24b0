#!/usr/bin/env bash
# programs/korva2csv-archive joins each day to the cabinet list in force: of the archive's lists
# (names holding LST) the one of the latest list date on or before the file's start date, a list
# dated after every file never; a --cabinets= of the run's own (a relative path too) overrides
# them; --corridors passes through, its reports published and named in the marker.
source "$(dirname "$0")/lib.sh" "$@"

need_parallel

# Five days, 05/01 to 05/05, and four lists, each cabinet's location naming its list.
sample "$WORK/archive" 5
base=$WORK/archive/CABINETS_20210501.LST
for list in 04/30/2021:A 05/02/2021:B 05/04/2021:C 06/01/2021:LATE; do
    tag=${list#*:}
    { echo "CABINET INVENTORY LIST - ${list%:*}"
      tail -n +2 "$base" | sed -E "/^...es/ s/^(.{54}).{16}/\\1$(printf '%-16s' "IN FORCE $tag")/"
    } >"$WORK/archive/LIST_$tag.LST"
done
rm "$base"

# location DAY OUT: the location column of the last row of the day's summary in OUT.
location() { tail -n 1 "$2/date=2021-05-$1/source=KORVA20S_202105$1.DAT/KORVA15Min_Element_05${1}2021.csv" | awk -F, '{ print $NF }'; }

run lists -j 2 --aggregate=15 --corridors --health "$WORK/archive" "$WORK/out"
check "the run: every day converted" said lists 0 "5 files: 5 converted, 0 failed"
for day_list in 01:A 02:B 03:B 04:C 05:C; do
    day=${day_list%:*} tag=${day_list#*:}
    folder=$WORK/out/date=2021-05-$day/source=KORVA20S_202105$day.DAT
    check "05/$day: summary and health report joined to list $tag, named in the marker; corridor report" \
        test "$(location "$day" "$WORK/out")|$(tail -n 1 "$folder/KORVA20Sec_Health_05${day}2021.csv" |
            awk -F, '{ print $NF }')|$(grep '^cabinets ' "$folder/_SUCCESS")|$(grep -c '^reports .*--corridors' \
            "$folder/_SUCCESS")|$(head -n 1 "$folder/KORVA15Min_Corridor_05${day}2021.csv" | cut -d, -f1-3)" = \
        "IN FORCE $tag|IN FORCE $tag|cabinets $WORK/archive/LIST_$tag.LST|1|roadway,side,bin_start"
done
run again -j 2 --corridors --health --aggregate=15 "$WORK/archive" "$WORK/out"
check "re-run: every file skipped" said again 0 "0 converted, 0 failed, 5 skipped"
rm "$WORK/out/date=2021-05-02/source=KORVA20S_20210502.DAT/KORVA15Min_Corridor_05022021.csv"
run lacking -j 2 --corridors --health --aggregate=15 "$WORK/archive" "$WORK/out"
check "re-run after a corridor report was deleted: its file alone converted" \
    said lacking 0 "1 converted, 0 failed, 4 skipped"

# A list of the run's own, named relative to the current folder, joins every day.
(cd "$WORK/archive" && run own -j 2 --aggregate=15 --cabinets=LIST_LATE.LST . "$WORK/own")
check "--cabinets= of its own: every day joined to it" test "$(for day in 01 02 03 04 05; do
    location "$day" "$WORK/own"; done | sort -u)" = "IN FORCE LATE"
finish
