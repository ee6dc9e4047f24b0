#!/usr/bin/env bash
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)  # this folder, before any cd
# Lints the manual page and checks that it covers every option the converter's help lists, every
# exit status and every report's file name.
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
page="$(cd "$(dirname "$0")/../.." && pwd)/docs/korva2csv.1"

# shellcheck source=check.sh
. "$here/check.sh"

check "groff -ww -man -z: no warning" "$(groff -ww -man -z "$page" 2>&1)" ""
check "man --warnings: no warning" "$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)" ""
if command -v mandoc >/dev/null; then
    check "mandoc -T lint: clean" "$(mandoc -T lint "$page" 2>&1)" ""
elif [ -n "${CI:-}" ]; then
    check "mandoc installed" "missing" "present"
else
    echo "skip - mandoc -T lint: mandoc is not installed"
fi

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
