#!/usr/bin/env bash
# Runs every example command of README.md (its sh blocks and the options table) and of the
# manual pages (their .EX blocks) against a sample archive, so that no example can drift from
# what the commands do. Absolute folders of the examples (/archive, /reports, /shared, ...) are
# made under a scratch folder; ssh and sbatch are stand-ins that run their job on this host.
# Commands that .ci/run itself runs (the build, test, fuzz and package commands) are named and
# passed over; a command of any other kind fails the test until it is taught here.
#
# usage: doc_examples.sh KORVA2CSV KORVA_SAMPLE
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
korva2csv=$(realpath "$1")
build=$(dirname "$korva2csv")
work=$(mktemp -d "${TMPDIR:-/tmp}/korva-examples.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
# shellcheck source=check.sh
. "$here/check.sh"

mkdir -p "$work"/{bin,opt/korva/bin,cwd,usr/local,reports,out,var/log/korva}
for bin in bin opt/korva/bin; do ln -s "$korva2csv" "$root/programs/"* "$work/$bin/"; done
ln -s "$(realpath "$2")" "$work/bin/korva-sample"
cat >"$work/bin/ssh" <<'EOF'
#!/usr/bin/env bash
# ssh stand-in: runs the command (what GNU parallel puts after "--") here, whatever the host.
while [ $# -gt 0 ] && [ "$1" != -- ]; do shift; done
exec bash -c "${*:2}"
EOF
cat >"$work/bin/sbatch" <<'EOF'
#!/usr/bin/env bash
# sbatch stand-in: runs the job script once per index of --array, with the variables of --export.
for option; do case $option in
    --array=*) range=${option#*=} range=${range%\%*} ;; --export=ALL,*) export "${option#--export=ALL,}" ;; *) script=$option ;;
esac; done
for ((task = ${range%-*}; task <= ${range#*-}; task++)); do SLURM_ARRAY_TASK_ID=$task bash "$script"; done
EOF
chmod +x "$work/bin/ssh" "$work/bin/sbatch"

# The archive every example reads: two days of a small network and their cabinet list.
"$2" -n 60 -p 1500 -d 2 "$work/sample" >/dev/null || exit 1
for folder in archive/2021 archive/2012-2021 shared/archive data/in lists cwd; do mkdir -p "$work/$folder" && cp "$work/sample"/* "$work/$folder/"; done
printf ':\nnode1\n' >"$work/cwd/hosts.txt"

# The examples, one command a line (continued lines joined), as "origin<TAB>command".
examples() {
    awk '/^```sh$/ { on = 1; first = 1; next } /^```$/ { on = 0; script = 0 }
         on && first && /^#!/ { script = 1 } on { first = 0 }
         on && !script { print FILENAME "\t" $0 }' "$root/README.md"
    awk -F'|' '/^\| `-/ { cell = $(NF - 1); gsub(/^ *`|` *$/, "", cell)
                          if (cell ~ /^korva2csv/) print FILENAME "\t" cell }' "$root/README.md"
    for page in "$root"/docs/*.1; do
        awk '/^\.EX/ { on = 1; next } /^\.EE/ { on = 0 } on { print FILENAME "\t" $0 }' "$page" |
            sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\e/\\/g'
    done
}

# An example's folders, made under the scratch folder; the tree's own paths, where it was built.
localise() {
    sed -E -e "s#(^|[ =\"'(]|-[IOFiof])/(archive|reports|shared|lists|out|data|var/log|opt/korva|usr/local)#\\1$work/\\2#g" \
        -e "s#(^|[ (])(scripts|programs)/#\\1$root/\\2/#g" -e "s#(^|[ (])build/release#\\1$build#g"
}

# The job script of the README's sh block that starts with #!, under the name sbatch is given.
awk '/^```sh$/ { on = 1; next } /^```$/ { on = 0; script = 0 }
     on && /^#!/ { script = 1 } on && script' "$root/README.md" | localise >"$work/cwd/convert-day.sbatch"

run=0
while IFS=$'\t' read -r origin command; do
    while [[ $command == *\\ ]]; do
        IFS=$'\t' read -r _ more
        command="${command%\\} ${more#"${more%%[! ]*}"}"
    done
    case $command in
        "" | "#"* | "  #"*) continue ;;
        "cmake --install"*) ;;
        cmake* | scripts/test* | scripts/demo* | scripts/fuzz* | "(cd build/release && cpack"* | psql*)
            echo "ok   - run by .ci/run or the PostgreSQL test: $command"
            continue ;;
        korva2csv* | korva-sample* | korva2csv-archive* | korva2csv-plot* | programs/* | \
            ls* | sbatch* | mkdir*) ;;
        *)
            check "${origin##*/}: a known kind of example: $command" unknown known
            continue ;;
    esac
    # The Slurm example makes its own OUTPUT_DIR: it starts without the ssh examples' one.
    [[ $command != "ls /shared/archive"* ]] || rm -rf "$work/shared/reports"
    want=0
    [[ $command != *" -?"* ]] || want=2
    (cd "$work/cwd" && PATH="$work/bin:$PATH" KORVA2CSV="" timeout 300 \
        bash -c "$(localise <<<"$command")") >"$work/said" 2>&1 </dev/null
    status=$?
    [ $status -eq "$want" ] || cat "$work/said"
    check "${origin##*/}: $command" $status "$want"
    [[ $command != sbatch* ]] || check "the Slurm job array published every day" \
        "$(find "$work/shared/reports" -name _SUCCESS | wc -l)" 2
    run=$((run + 1))
done < <(examples | tr -d '\r')
echo "$run examples run; $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$run" -gt 0 ]
