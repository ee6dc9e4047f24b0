#!/usr/bin/env bash
# Lints the manual pages (groff -ww, man --warnings, mandoc -T lint), checks that their SEE ALSO
# sections name each other, and that the converter's page has an entry for every option its help
# lists, every exit status and every report's file name.
#
# usage: manpage_lint.sh KORVA2CSV
#
# Exits 77 (skipped) when mandoc is missing, unless CI is set.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=check.sh
. "$here/check.sh"
[ $# -eq 1 ] || { echo "usage: $0 KORVA2CSV" >&2; exit 2; }
command -v mandoc >/dev/null || skip "mandoc is missing: apt-get install mandoc"
pages="korva2csv korva-sample korva2csv-archive korva2csv-plot"
page=$here/../../docs/korva2csv.1

for name in $pages; do
    file=$here/../../docs/$name.1
    check "$name.1: groff -ww, man --warnings and mandoc -T lint say nothing" "$(groff -ww -man -z "$file" 2>&1
        MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null; mandoc -T lint "$file" 2>&1)" ""
    check "$name.1: SEE ALSO names the other pages" "$(for other in $pages; do
        [ "$other" = "$name" ] || sed -n '/^\.SH SEE ALSO/,/^\.SH/p' "$file" |
            grep -q "^\.BR ${other//-/\\\\-} (1)" || echo "$other"
    done)" ""
done

# Every option of the help table has its own entry in OPTIONS, -? too.
letters=$(cd / && "$1" '-?' | sed -n 's/^\t[A-Za-z]* -\(.\).*/\1/p' | tr -d '\n')
check "every option of the help ($letters and ?) has an entry" "${#letters} $(
    for ((i = 0; i < ${#letters}; i++)); do
        grep -q "^\.BI\? \\\\-${letters:i:1}\( \|\$\)" "$page" || echo -n "${letters:i:1}"
    done)$(grep -c '^\.B \\-?$' "$page")" "13 1"
check "exit statuses 0 to 5 listed" "$(sed -n '/^\.SH EXIT STATUS/,/^\.SH/p' "$page" |
    grep -A1 '^\.TP' | grep -c '^\.B [0-5]$')" 6

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
