# shellcheck shell=bash disable=SC2034  # SCRIPT and the helpers serve the sourcing tests
# Shared by the archive tests: the binaries, a scratch folder removed at exit, sample archives
# and PASS/FAIL lines. A test script sources it with its own arguments:
#   <test>.sh [KORVA2CSV [KORVA_SAMPLE]]   (default: $KORVA2CSV, $KORVA_SAMPLE, build/release)
# KEEP_WORK=1 keeps the scratch folder for a look after a failure.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
SCRIPT=$ROOT/programs/korva2csv-archive
KORVA2CSV=$(realpath "${1:-${KORVA2CSV:-$ROOT/build/release/korva2csv}}")
KORVA_SAMPLE=$(realpath "${2:-${KORVA_SAMPLE:-$ROOT/build/release/tools/korva-sample}}")
export KORVA2CSV
[ -x "$KORVA2CSV" ] && [ -x "$KORVA_SAMPLE" ] || { echo "FAIL: $KORVA2CSV or $KORVA_SAMPLE not built"; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/korva-archive-test.XXXXXX")
STARTED_PIDS=()  # processes a test started and must not leave behind
cleanup() { local pid; for pid in "${STARTED_PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    [ -n "${KEEP_WORK:-}" ] || rm -rf -- "$WORK"; }
trap cleanup EXIT

FAILURES=0
# check DESCRIPTION COMMAND...: PASS when the command succeeds.
check() {
    if "${@:2}"; then echo "PASS: $1"; else echo "FAIL: $1"; FAILURES=$((FAILURES + 1)); fi
}
# said NAME STATUS TEXT...: the run whose output is $WORK/NAME.out (its status on a line
# "status N") ended with STATUS and its output holds every TEXT.
said() {
    local text
    for text in "status $2" "${@:3}"; do grep -qF -- "$text" "$WORK/$1.out" || { cat "$WORK/$1.out"; return 1; }; done
}
# run NAME ARGS...: the archive script, its output into $WORK/NAME.out and its status after it.
run() { "$BASH" "$SCRIPT" "${@:2}" >"$WORK/$1.out" 2>&1; echo "status $?" >>"$WORK/$1.out"; }
finish() { echo "$FAILURES check(s) failed"; exit $((FAILURES > 0)); }

# Ends the test as skipped (CTest's SKIP_RETURN_CODE 77), or failed under CI, without GNU parallel.
need_parallel() {
    parallel --version 2>/dev/null | grep -q '^GNU parallel' && return
    echo "SKIP: GNU parallel is not installed (sudo apt-get install parallel)"; [ -n "${CI:-}" ] && exit 1; exit 77
}

# sample DIR DAYS [korva-sample options...]: a small archive of DAYS daily data files.
sample() { "$KORVA_SAMPLE" -n 20 -p 12 -d "$2" "${@:3}" "$1" >/dev/null; }

# The report files of an archive run's output folder, one "date=<date>/source=<file>/<report>"
# a line.
reports() { (cd "$1" && find . -mindepth 3 -maxdepth 3 -type f -name 'KORVA20Sec_*' | sort); }

# Every published folder of an output folder holds its _SUCCESS marker and no staging link, and
# nothing is left staging.
published_whole() {
    [ ! -e "$1/.staging" ] || return 1
    local folder
    for folder in "$1"/date=*/source=*; do
        [ -f "$folder/_SUCCESS" ] && [ ! -e "$folder/in" ] || return 1
    done
}

# Output folders of two runs hold the same report files with the same bytes (logs and job log
# aside), all published whole.
same_reports() {
    [ -n "$(reports "$1")" ] && diff -r -x logs -x 'convert-archive.*' "$1" "$2" >/dev/null &&
        published_whole "$1" && published_whole "$2"
}
