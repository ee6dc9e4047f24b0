#!/usr/bin/env bash
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)  # this folder, before any cd
# Loads every report of a sample day into a private PostgreSQL server with the tables and the
# COPY commands of docs/reports.md, and checks row counts, sums against the numbers in the files'
# own text, timestamps and a few values across reports. The reports written with --compress=gzip
# and --compress=zstd load through COPY ... FROM PROGRAM 'gzip -dc' / 'zstd -dc' into the same rows;
# those written with --clean, whose header holds the column names, load as they are, into the same
# rows whatever the DateStyle.
#
# usage: postgresql_test.sh KORVA2CSV KORVA_SAMPLE
#
# The server (initdb, pg_ctl from Debian's postgresql package; PG_BINDIR overrides the folder)
# runs on a Unix socket in a temporary folder and listens on no TCP port; it is stopped and the
# folder removed however the test ends. As root the server runs as KORVA_PG_USER (default
# nobody), since PostgreSQL refuses to run as root. Exits 77 (skipped) when PostgreSQL or zstd
# is missing, unless CI is set.
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 KORVA2CSV KORVA_SAMPLE" >&2
    exit 2
fi
korva2csv=$(realpath "$1")
korva_sample=$(realpath "$2")
docs="$(cd "$(dirname "$0")/../.." && pwd)/docs/reports.md"
day=05012021
periods=360
devices=60

pg_bindir=${PG_BINDIR:-$(printf '%s\n' /usr/lib/postgresql/*/bin | sort -V | tail -n 1)}
for tool in initdb pg_ctl psql; do
    if [ ! -x "$pg_bindir/$tool" ]; then
        echo "PostgreSQL's $tool is missing: apt-get install postgresql"
        if [ -n "${CI:-}" ]; then exit 1; else exit 77; fi
    fi
done
for tool in gzip zstd; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is missing: apt-get install $tool"
        if [ -n "${CI:-}" ]; then exit 1; else exit 77; fi
    fi
done
unset PGHOST PGPORT PGDATABASE PGUSER PGOPTIONS PGDATESTYLE PGSERVICE PGSERVICEFILE PGTZ

# A short path under /tmp: the socket path must stay under 108 bytes, and the server's user must
# be able to pass through every folder above its own.
temp=$(mktemp -d /tmp/korva-pg.XXXXXX) || exit 1
chmod 711 "$temp"
pg="$temp/pg"
mkdir "$pg"
if [ "$(id -u)" = 0 ]; then
    server_user=${KORVA_PG_USER:-nobody}
    chown "$server_user" "$pg"
    as_server() { runuser -u "$server_user" -- "$@"; }
else
    as_server() { "$@"; }
fi

cleanup() {
    local status=$?
    if [ -f "$pg/data/postmaster.pid" ]; then
        if ! as_server "$pg_bindir/pg_ctl" -D "$pg/data" -m fast -w -t 30 stop >/dev/null 2>&1; then
            local pid
            pid=$(head -n 1 "$pg/data/postmaster.pid")
            [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
        fi
    fi
    rm -rf "$temp"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
cd "$temp" || exit 1

# The server: day-first DateStyle on purpose, so that the tests show the documented
# SET datestyle is what makes 05/01/2021 the first of May.
if ! as_server "$pg_bindir/initdb" -D "$pg/data" -U korva --auth=trust -E UTF8 --locale=C -N \
    >"$temp/initdb.log" 2>&1; then
    cat "$temp/initdb.log"
    echo "FAIL - initdb"
    exit 1
fi
cat >>"$pg/data/postgresql.conf" <<EOF
listen_addresses = ''
unix_socket_directories = '$pg'
unix_socket_permissions = 0700
datestyle = 'iso, dmy'
fsync = off
synchronous_commit = off
full_page_writes = off
shared_buffers = 16MB
max_connections = 10
EOF
if ! as_server "$pg_bindir/pg_ctl" -D "$pg/data" -l "$pg/server.log" -w -t 60 start >/dev/null; then
    cat "$pg/server.log"
    echo "FAIL - server start"
    exit 1
fi
echo "$("$pg_bindir/postgres" --version) on $pg; tables of $docs"

sql() { "$pg_bindir/psql" -X -h "$pg" -U korva -d postgres -v ON_ERROR_STOP=1 -At "$@"; }

# shellcheck source=check.sh
. "$here/check.sh"

# The sample day, converted into every report: plain, the -S -C -R variants, and header-only
# reports for a device the file does not hold.
"$korva_sample" -n "$devices" -p "$periods" -d 1 in >/dev/null || exit 1
mkdir plain variants empty log
for run in "-E -L -T -A -Oplain" "-M -Oplain" "-E -L -T -A -S -C -R -Ovariants" \
    "-E -L -T -A -D417es99999:_MW___1 -Oempty"; do
    # shellcheck disable=SC2086 # the options are split on purpose
    "$korva2csv" $run -Iin -Flog >/dev/null || {
        echo "FAIL - korva2csv $run"
        exit 1
    }
done

# The documented tables (the sql blocks that create tables; others are queries), once per schema.
ddl=$(awk '/^```sql$/ { on = 1; block = ""; next }
           /^```$/ && on { on = 0; if (block ~ /^CREATE TABLE/) printf "%s", block; next }
           on { block = block $0 "\n" }' "$docs")
for schema in plain variants empty; do
    sql -q -c "CREATE SCHEMA $schema" -c "SET search_path TO $schema" -c "$ddl" || exit 1
done

# load SCHEMA FILE: loads one report with the documented COPY command; prints what psql says.
load() {
    local table
    case "$(basename "$2")" in
    *_Element_*) table=korva_element ;;
    *_Lane_*) table=korva_lane ;;
    *_Trap_*) table=korva_trap ;;
    *_Content_*) table=korva_content ;;
    RMDC_*) table=korva_cabinet ;;
    esac
    if [ "$table" = korva_content ]; then
        sed -e '1d' -e '$d' "$2"
    else
        cat "$2"
    fi | sql -c "SET search_path TO $1" -c "SET datestyle = 'ISO, MDY'" \
        -c "COPY $table FROM STDIN WITH (FORMAT csv, HEADER true)" 2>&1
}

# rows FILE: the data lines of a report as the converter wrote them.
rows() {
    case "$(basename "$1")" in
    *_Content_*) sed -e '1,2d' -e '$d' "$1" ;;
    *) sed -e '1d' "$1" ;;
    esac
}

# Every report loads whole, and its number columns sum to what its text says.
for folder in plain variants empty; do
    for file in "$folder"/*; do
        check "$file: every row loaded" "$(load "$folder" "$file" | tail -n 1)" \
            "COPY $(rows "$file" | wc -l)"
    done
done
for file in plain/*; do
    case "$(basename "$file")" in
    *_Element_*) table=korva_element ;;
    *_Lane_*) table=korva_lane ;;
    *_Trap_*) table=korva_trap ;;
    *_Content_*) table=korva_content ;;
    RMDC_*) table=korva_cabinet ;;
    esac
    columns=$(sql -c "SELECT string_agg(column_name || ':' || ordinal_position, ' '
        ORDER BY ordinal_position) FROM information_schema.columns WHERE table_schema = 'plain'
        AND table_name = '$table' AND data_type IN ('smallint', 'integer', 'numeric')")
    select=$(for c in $columns; do printf 'round(sum(%s), 2)::text, ' "${c%%:*}"; done)
    fields=$(for c in $columns; do printf '%s ' "${c##*:}"; done)
    got=$(sql -c "SELECT concat_ws(' ', ${select%, }) FROM plain.$table")
    want=$(rows "$file" | awk -F, -v fields="$fields" '
        BEGIN { n = split(fields, f, " ") }
        { for (i = 1; i <= n; i++) sum[i] += $(f[i]) }
        END { for (i = 1; i <= n; i++) printf "%s%.2f", (i > 1 ? " " : ""), sum[i] }')
    check "$file: sums of $(echo "$fields" | wc -w) number columns as in the text" "$got" "$want"
done

# Compressed reports, decompressed by the server's own COPY ... FROM PROGRAM: the rows of the
# plain reports, each as often.
for compression in gzip zstd; do
    suffix=$([ $compression = gzip ] && echo .gz || echo .zst)
    mkdir $compression
    for run in "-E -L -T -A" "-M"; do
        # shellcheck disable=SC2086 # the options are split on purpose
        "$korva2csv" $run --compress=$compression -Iin -O$compression -Flog >/dev/null || {
            echo "FAIL - korva2csv $run --compress=$compression"
            exit 1
        }
    done
    sql -q -c "CREATE SCHEMA $compression" -c "SET search_path TO $compression" -c "$ddl" || exit 1
    for file in plain/*; do
        name=$(basename "$file")
        program="$compression -dc $temp/$compression/$name$suffix"
        case "$name" in
        *_Element_*) table=korva_element ;;
        *_Lane_*) table=korva_lane ;;
        *_Trap_*) table=korva_trap ;;
        *_Content_*) table=korva_content program="$program | sed -e 1d -e ''\$d''" ;;
        RMDC_*) table=korva_cabinet ;;
        esac
        check "$name$suffix: loaded from PROGRAM '$compression -dc'" \
            "$(sql -c "SET search_path TO $compression" -c "SET datestyle = 'ISO, MDY'" \
                -c "COPY $table FROM PROGRAM '$program' WITH (FORMAT csv, HEADER true)" 2>&1 |
                tail -n 1)" "COPY $(rows "$file" | wc -l)"
        check "$name$suffix: the rows of $name" \
            "$(sql -c "SELECT count(*) FROM ((TABLE plain.$table EXCEPT ALL
                TABLE $compression.$table) UNION ALL (TABLE $compression.$table EXCEPT ALL
                TABLE plain.$table)) AS differing")" 0
    done
done

# Clean reports (--clean): the header holds the table's column names, and COPY loads the file
# as it is (the contents report too) into the rows of the plain report, under a day-first
# DateStyle that ISO times do not depend on.
mkdir clean
for run in "-E -L -T -A" "-M"; do
    # shellcheck disable=SC2086 # the options are split on purpose
    "$korva2csv" $run --clean -Iin -Oclean -Flog >/dev/null || {
        echo "FAIL - korva2csv $run --clean"
        exit 1
    }
done
sql -q -c "CREATE SCHEMA clean" -c "SET search_path TO clean" -c "$ddl" || exit 1
for file in plain/*; do
    name=$(basename "$file")
    case "$name" in
    *_Element_*) table=korva_element ;;
    *_Lane_*) table=korva_lane ;;
    *_Trap_*) table=korva_trap ;;
    *_Content_*) table=korva_content ;;
    RMDC_*) table=korva_cabinet ;;
    esac
    check "clean/$name: header = column names of $table" "$(head -n 1 "clean/$name")" \
        "$(sql -c "SELECT string_agg(column_name, ',' ORDER BY ordinal_position)
                  FROM information_schema.columns
                  WHERE table_schema = 'clean' AND table_name = '$table'")"
    check "clean/$name: loaded by COPY under DateStyle DMY" \
        "$(sql -c "SET search_path TO clean" -c "SET datestyle = 'ISO, DMY'" \
            -c "COPY $table FROM STDIN WITH (FORMAT csv, HEADER true)" <"clean/$name" 2>&1 |
            tail -n 1)" "COPY $(rows "$file" | wc -l)"
    check "clean/$name: the rows of $name" \
        "$(sql -c "SELECT count(*) FROM ((TABLE plain.$table EXCEPT ALL TABLE clean.$table)
            UNION ALL (TABLE clean.$table EXCEPT ALL TABLE plain.$table)) AS differing")" 0
done

# Collection times: every period of the sample day, read month first.
for table in korva_element korva_lane korva_trap; do
    check "$table: $periods periods from 2021-05-01 00:00:00 to 01:59:40" \
        "$(sql -c "SELECT count(DISTINCT collection_time), min(collection_time),
                  max(collection_time) FROM plain.$table")" \
        "$periods|2021-05-01 00:00:00|2021-05-01 01:59:40"
done
check "element: one row per device and period" \
    "$(sql -c "SELECT count(*) = $periods * count(DISTINCT name) FROM plain.korva_element")" t

# The converter's own numbers: the contents counts and the log's trap count.
content=plain/KORVA20Sec_Content_$day.csv
check "content: input element count" "$(head -n 1 "$content")" "Input element count = $devices"
check "content: rows = listed count" \
    "Contents listed = $(sql -c "SELECT count(*) FROM plain.korva_content")" \
    "$(tail -n 1 "$content")"
check "trap: as many traps as the log counts" \
    "Processed [$(sql -c "SELECT count(DISTINCT name) FROM plain.korva_trap")] Traps" \
    "$(cat log/CSVLog* | grep -o -m 1 'Processed \[[0-9]*\] Traps')"

# Values across reports: the lane report shows the element report's measures, and every lane
# beside a trap carries the trap's speed.
check "lane rows match element rows by name and time" \
    "$(sql -c "SELECT count(*) FROM plain.korva_lane l JOIN plain.korva_element e
              USING (name, collection_time)")" \
    "$(sql -c "SELECT count(*) FROM plain.korva_lane")"
check "lane volume, lanes, speed and occupancy agree with element volume, lanes, speed and scan count / 12" \
    "$(sql -c "SELECT count(*) FROM plain.korva_lane l JOIN plain.korva_element e
              USING (name, collection_time)
              WHERE l.volume <> e.volume OR l.lanes <> e.num_lanes
                 OR l.speed_mph <> e.speed_mph OR l.length_ft <> e.length_ft
                 OR abs(l.occupancy_pct - e.scan_cnt / 12.0) > 0.0051")" 0
check "element ScanCntSum = NumLanes x ScanCnt" \
    "$(sql -c "SELECT count(*) FROM plain.korva_element
              WHERE scan_cnt_sum <> num_lanes * scan_cnt")" 0
check "lanes beside a trap carry its speed" \
    "$(sql -c "SELECT count(*) > 0, count(*) FILTER (WHERE t.speed_mph <> l.speed_mph)
              FROM plain.korva_trap t JOIN plain.korva_lane l
              ON l.name = overlay(t.name PLACING '_' FROM 17 FOR 1)
              AND l.collection_time = t.collection_time")" "t|0"

# Cabinet texts: the untrimmed name and side, the empty status, the mended comma.
check "cabinet: nine-character name keeps its blank, alias comma mended, leading zero kept" \
    "$(sql -c "SELECT alias, address FROM plain.korva_cabinet WHERE device = '417es2970 '")" \
    "97-98|0267"
check "cabinet: blank side stays one blank, empty status is NULL" \
    "$(sql -c "SELECT count(*) FILTER (WHERE side = ' '), count(*) FILTER (WHERE status IS NULL)
              FROM plain.korva_cabinet")" "1|1"

# A cabinet whose side is a comma, which the converter writes unchanged: COPY refuses the file.
mkdir comma
list=$(ls in/*.LST)
awk 'substr($0, 4, 2) == "es" && !done { $0 = substr($0, 1, 44) "," substr($0, 46); done = 1 }
     { print }' "$list" >"comma/$(basename "$list")"
"$korva2csv" -M -Icomma -Ocomma -Flog >/dev/null
refused=$(load empty comma/RMDC_05_01_2021.CSV)
case "$refused" in
*"extra data after last expected column"*) refused=yes ;;
esac
check "cabinet CSV with a comma in a Side is refused" "$refused" yes

# The manual page's psql example, as written, into a database named as there.
example=$(awk '/^\.EX/ { on = 1; block = ""; next } /^\.EE/ { on = 0; if (block ~ /^psql/) print block }
               on { block = block $0 "\n" }' "$here/../../docs/korva2csv.1" |
    sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\e/\\/g')
sql -q -c "CREATE DATABASE traffic" && sql -q -d traffic -c "$ddl" || exit 1
(cd plain && PATH="$pg_bindir:$PATH" PGHOST=$pg PGUSER=korva bash -c "$example") >/dev/null
check "manual page's psql example loads the element report" \
    "$(sql -d traffic -c "SELECT count(*) FROM korva_element")" \
    "$(sql -c "SELECT count(*) FROM plain.korva_element")"

if [ "$failed" -ne 0 ]; then
    echo "--- server log"
    tail -n 20 "$pg/server.log"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
