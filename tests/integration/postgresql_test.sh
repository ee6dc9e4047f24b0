#!/usr/bin/env bash
# Loads the reports of reports.sh (both dialects, the variants, header-only ones) into a private
# PostgreSQL server with the tables and COPY commands of docs/reports.md, and checks that every
# row loads, that the number columns sum to the files' own text, that --clean reports give the
# plain reports' rows, and what the cabinet table keeps of the list. Runs the manual page's psql
# example too. (The compressed reports hold the plain bytes: the converter's own tests pin them.)
#
# usage: postgresql_test.sh KORVA2CSV KORVA_SAMPLE
#
# The server (initdb, pg_ctl from Debian's postgresql package; PG_BINDIR overrides the folder)
# listens on a Unix socket in a temporary folder only; it is stopped and the folder removed however
# the test ends. As root it runs as KORVA_PG_USER (default nobody): PostgreSQL refuses root.
set -uo pipefail
shopt -s nullglob
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=check.sh
. "$here/check.sh"
[ $# -eq 2 ] || { echo "usage: $0 KORVA2CSV KORVA_SAMPLE" >&2; exit 2; }
korva2csv=$(realpath "$1") korva_sample=$(realpath "$2")

pg_bindir=${PG_BINDIR:-$(printf '%s\n' /usr/lib/postgresql/*/bin | sort -V | tail -n 1)}
for tool in initdb pg_ctl psql; do [ -x "$pg_bindir/$tool" ] || skip "PostgreSQL's $tool is missing: apt-get install postgresql"; done
unset PGHOST PGPORT PGDATABASE PGUSER PGOPTIONS PGDATESTYLE PGSERVICE PGSERVICEFILE PGTZ

# A short path under /tmp: the socket path must stay under 108 bytes, and the server's user must
# be able to pass through every folder above its own.
temp=$(mktemp -d /tmp/korva-pg.XXXXXX) && chmod 711 "$temp" && pg=$temp/pg && mkdir "$pg" || exit 1
as_server() { "$@"; }
[ "$(id -u)" != 0 ] || { chown "${KORVA_PG_USER:-nobody}" "$pg"
    as_server() { runuser -u "${KORVA_PG_USER:-nobody}" -- "$@"; }; }
cleanup() {
    local status=$?
    if [ -f "$pg/data/postmaster.pid" ] &&
        ! as_server "$pg_bindir/pg_ctl" -D "$pg/data" -m fast -w -t 30 stop >/dev/null 2>&1; then
        kill -KILL "$(head -n 1 "$pg/data/postmaster.pid")" 2>/dev/null
    fi
    rm -rf "$temp"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
cd "$temp" || exit 1

# A day-first DateStyle on purpose: the documented SET datestyle must make 05/01/2021 May 1st.
as_server "$pg_bindir/initdb" -D "$pg/data" -U korva --auth=trust -E UTF8 --locale=C -N \
    >initdb.log 2>&1 || { cat initdb.log; echo "FAIL - initdb"; exit 1; }
as_server "$pg_bindir/pg_ctl" -D "$pg/data" -l "$pg/server.log" -w -t 60 start -o "-F -k $pg \
    -c listen_addresses='' -c unix_socket_permissions=0700 -c datestyle='iso, dmy'" >/dev/null ||
    { cat "$pg/server.log"; echo "FAIL - server start"; exit 1; }
sql() { "$pg_bindir/psql" -X -h "$pg" -U korva -d postgres -v ON_ERROR_STOP=1 -At "$@"; }

bash "$here/reports.sh" "$korva2csv" "$korva_sample" "$temp" || exit 1
folders="plain variants empty clean"  # gzip/ and zstd/: the plain bytes, as the converter's tests pin
# The documented tables (the sql blocks that create tables), in one schema per folder.
ddl=$(awk '/^```sql$/ { on = 1; block = ""; next }
           /^```$/ && on { on = 0; if (block ~ /^CREATE TABLE/) printf "%s", block; next }
           on { block = block $0 "\n" }' "$here/../../docs/reports.md")
for folder in $folders; do
    sql -q -c "CREATE SCHEMA $folder" -c "SET search_path TO $folder" -c "$ddl" || exit 1
done

# rows FILE ABOVE BELOW: the report's rows, without the lines above and below them.
rows() { tail -n "+$(($2 + 1))" "$1" | head -n "-$3"; }

# Every report loads whole with the documented COPY: a legacy one with SET datestyle = 'ISO, MDY'
# (the contents report through sed -e '1d' -e '$d'), a --clean one as it is under a day-first
# DateStyle. The --clean reports give the rows of the plain ones, and the number
# columns of the plain ones sum to what their text says.
while read -r pattern kind _ above below; do
    table=korva_$kind
    for folder in $folders; do
        for file in "$folder"/$pattern; do
            cut=cat style=MDY first=$above last=$below
            [ "$kind" != content ] || cut="sed -e 1d -e \$d"
            [ "$folder" != clean ] || cut=cat style=DMY first=1 last=0
            check "$file: every row loaded" "$($cut "$file" |
                sql -c "SET search_path TO $folder" -c "SET datestyle = 'ISO, $style'" \
                    -c "COPY $table FROM STDIN WITH (FORMAT csv, HEADER true)" 2>&1 | tail -n 1)" \
                "COPY $(rows "$file" "$first" "$last" | wc -l)"
        done
        [ "$folder" != clean ] || check "clean.$table: the rows of plain.$table" "$(sql -c "SELECT count(*)
            FROM ((TABLE plain.$table EXCEPT ALL TABLE clean.$table) UNION ALL
                  (TABLE clean.$table EXCEPT ALL TABLE plain.$table)) AS differing")" 0
    done
    columns=$(sql -c "SELECT column_name || ':' || ordinal_position FROM information_schema.columns
        WHERE table_schema = 'plain' AND table_name = '$table'
        AND data_type IN ('smallint', 'integer', 'numeric') ORDER BY ordinal_position")
    fields=$(for c in $columns; do printf '%s ' "${c##*:}"; done)
    select=$(for c in $columns; do printf "round(sum(%s), 2)::text, " "${c%%:*}"; done)
    check "plain.$table: sums of the number columns (fields ${fields% }) as in the text" \
        "$(sql -c "SELECT concat_ws(' ', ${select%, }) FROM plain.$table")" \
        "$(rows plain/$pattern "$above" "$below" | awk -F, -v fields="$fields" '
            BEGIN { n = split(fields, f, " ") }
            { for (i = 1; i <= n; i++) sum[i] += $(f[i]) }
            END { for (i = 1; i <= n; i++) printf "%s%.2f", (i > 1 ? " " : ""), sum[i] }')"
done < <(grep -v '^#' "$here/reports.tsv")

# What the loads keep of the text: the converter's own count of the contents, the cabinet list's
# untrimmed names, blank sides and empty statuses. (The values of each report are pinned by the
# converter's own tests; these are about the documented tables.)
q() { sql -q -c "SET search_path TO plain" -c "$1"; }
check "content: the count lines" "$(head -n 1 plain/KORVA20Sec_Content_*)|$(tail -n 1 \
    plain/KORVA20Sec_Content_*)" "Input element count = 60|Contents listed = $(q \
    "SELECT count(*) FROM korva_content")"
check "cabinet: untrimmed name and blank side, alias comma mended, leading zero, NULL status" \
    "$(q "SELECT alias, address, (SELECT count(*) FILTER (WHERE side = ' ') || ' '
           || count(*) FILTER (WHERE status IS NULL) FROM korva_cabinet)
           FROM korva_cabinet WHERE device = '417es2970 '")" "97-98|0267|1 1"

# The manual page's psql example, as written, into a database named as there.
example=$(awk '/^\.EX/ { on = 1; block = ""; next } /^\.EE/ { on = 0; if (block ~ /^psql/) print block }
               on { block = block $0 "\n" }' "$here/../../docs/korva2csv.1" |
    sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\e/\\/g')
sql -q -c "CREATE DATABASE traffic" && sql -q -d traffic -c "$ddl" || exit 1
(cd plain && PATH="$pg_bindir:$PATH" PGHOST=$pg PGUSER=korva bash -c "$example") >/dev/null
element="SELECT count(*), sum(volume), min(collection_time) FROM korva_element"
check "manual page's psql example loads the element report" "$(sql -d traffic -c "$element")" "$(q "$element")"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
