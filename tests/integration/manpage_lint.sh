#!/usr/bin/env bash
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)  # this folder, before any cd
# Lints the manual pages of the converter, of korva-sample and of the archive script
# (korva2csv-archive when installed), checks that their SEE ALSO sections name each other, and
# checks that the converter's page covers every option its help lists, every exit status and
# every report's file name.
#
# usage: manpage_lint.sh KORVA2CSV
#
# groff -ww and man --warnings always; mandoc -T lint when mandoc is installed (required under CI).
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 KORVA2CSV" >&2
    exit 2
fi
korva2csv=$(realpath "$1")
docs="$(cd "$(dirname "$0")/../.." && pwd)/docs"
page="$docs/korva2csv.1"

# shellcheck source=check.sh
. "$here/check.sh"

for name in korva2csv korva-sample korva2csv-archive korva2csv-plot; do
    file="$docs/$name.1"
    check "$name.1: groff -ww -man -z: no warning" "$(groff -ww -man -z "$file" 2>&1)" ""
    check "$name.1: man --warnings: no warning" \
        "$(MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)" ""
    if command -v mandoc >/dev/null; then
        check "$name.1: mandoc -T lint: clean" "$(mandoc -T lint "$file" 2>&1)" ""
    elif [ -n "${CI:-}" ]; then
        check "mandoc installed" "missing" "present"
    else
        echo "skip - $name.1: mandoc -T lint: mandoc is not installed"
    fi
    missing=""
    for other in korva2csv korva-sample korva2csv-archive korva2csv-plot; do
        [ "$other" = "$name" ] && continue
        sed -n '/^\.SH SEE ALSO/,/^\.SH/p' "$file" | grep -q "^\.BR ${other//-/\\\\-} (1)" ||
            missing+=" $other(1)"
    done
    check "$name.1: SEE ALSO names the other pages" "$missing" ""
done

# Every option of the help table has its own entry in OPTIONS.
letters=$(cd / && "$korva2csv" '-?' | sed -n 's/^\t[A-Za-z]* -\(.\).*/\1/p' | tr -d '\n')
check "help lists 13 options" "${#letters}" 13
missing=""
for ((i = 0; i < ${#letters}; i++)); do
    letter=${letters:i:1}
    grep -q "^\.BI\? \\\\-$letter\( \|\$\)" "$page" || missing+=$letter
done
check "every option of the help ($letters and ?) has an entry" \
    "$missing$(grep -c '^\.B \\-?$' "$page")" 1

status_section=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH/p' "$page")
check "exit statuses 0 to 4 listed" "$(grep -A1 '^\.TP' <<<"$status_section" | grep -c '^\.B [0-4]$')" 5
missing=""
for name in KORVA20Sec_ Element Lane Trap Content RMDC_ CSVLog; do
    grep -q "$name" "$page" || missing+=" $name"
done
check "report and log file names named" "$missing" ""

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
