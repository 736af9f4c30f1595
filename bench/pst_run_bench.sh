#!/usr/bin/env bash
# Store benchmark: `mailvane-cli --format pst` on the generated 40,000-message
# mailbox, against `--format eml` on the same mailbox and against `readpst -r`
# reading the produced store back; and `--format msg` (each message into its
# own file) against `--format eml`. Output in /dev/shm.
#
#   bench/pst_run_bench.sh [BUILD_DIR]
#
# BUILD_DIR (or $MAILVANE_BUILD) is an existing build with mailvane-cli and
# the bench targets; the default is build-bench in the repository. Settings:
# ROUNDS=3, BENCH_DIR=/dev/shm/mailvane-bench, SEED=1 MESSAGES=40000
# SIZE=500M (the generated mailbox, shared with split_bench.sh), SETTLE=1.
#
# Exits 0 when every run worked and the targets hold (best runs): the store
# takes at most 2.5 times the EML time, no longer than readpst needs to read
# it back, message files take at most 3.5 times the EML time, and mailvane-cli's
# peak resident memory stays under 128 MB with either. This is a benchmark,
# not a test.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/measure.sh"
root=$(dirname "$here")
build=${1:-${MAILVANE_BUILD:-$root/build-bench}}
rounds=${ROUNDS:-3}
work=${BENCH_DIR:-/dev/shm/mailvane-bench}
seed=${SEED:-1}
messages=${MESSAGES:-40000}
size=${SIZE:-500M}
settle=${SETTLE:-1}
cli=$build/src/cli/mailvane-cli
gen=$build/bench/gen_mbox
for program in "$cli" "$gen"; do
    [[ -x $program ]] || { echo "pst_run_bench: $program is missing; build first" >&2; exit 2; }
done
[[ -x /usr/bin/time ]] || { echo "pst_run_bench: /usr/bin/time is missing (package 'time')" >&2; exit 2; }
command -v readpst >/dev/null || { echo "pst_run_bench: readpst is missing (package pst-utils)" >&2; exit 2; }

mkdir -p "$work"
mbox=$work/bench-s$seed-n$messages-$size.mbox
if [[ ! -f $mbox || ! -f $mbox.info ]]; then
    echo "Generating $mbox ..."
    "$gen" --seed "$seed" --messages "$messages" --size "$size" "$mbox" >"$mbox.info.part"
    mv "$mbox.info.part" "$mbox.info"
fi
expected=$(awk '$1 == "messages" { print $2 }' "$mbox.info")
echo "Mailbox: $mbox ($(stat -c %s "$mbox") bytes, $expected messages)"

# The store read back is the one the last PST round wrote; it is kept
# outside the output folders that each round deletes.
store=$work/pst-run-bench.pst
command_of() {  # tool output-folder: sets the array `command`
    case $1 in
        eml) command=("$cli" --format eml --output "$2" "$mbox") ;;
        pst) command=("$cli" --format pst --output "$2" "$mbox") ;;
        readpst) command=(readpst -r -o "$2" "$store") ;;
        msg) command=("$cli" --format msg --output "$2" "$mbox") ;;
    esac
}
count_of() {  # tool output-folder: how many messages the tool put out
    case $1 in
        eml) find "$2" -type f -name '*.eml' | wc -l ;;
        msg) find "$2" -type f -name '*.msg' | wc -l ;;
        pst) echo "-" ;;  # counted by readpst below
        # readpst reports each folder as '"name" - N items done, ...', where a
        # folder's subfolders count as items: only the mailbox's folder counts.
        readpst) awk -v name="\"$(basename "$mbox" .mbox)\"" '$1 == name && /items done/ {
            for (i = 1; i < NF; i++) if ($(i + 1) == "items" && $(i + 2) == "done,") n += $i }
            END { print n + 0 }' "$work/log-readpst.txt" ;;
    esac
}

tools=(eml pst readpst msg)
declare -A best peak count
failed=0
printf '\n%-8s %5s %9s %8s %8s %5s %10s %9s\n' tool round wall_s user_s sys_s cpu% peak_kb messages
for ((round = 1; round <= rounds; round++)); do
    for tool in "${tools[@]}"; do  # readpst needs this round's store: no rotation
        out=$work/out-pst-$tool
        rm -rf "$out"
        mkdir -p "$out"
        sleep "$settle"
        command_of "$tool" "$out"
        measure "$work/time-$tool.txt" "$work/log-$tool.txt" "${command[@]}"
        n=$(count_of "$tool" "$out")
        [[ $tool == pst ]] && mv "$out"/*.pst "$store"
        rm -rf "$out"
        printf '%-8s %5d %9s %8s %8s %5s %10s %9s\n' "$tool" "$round" "$wall" "$user" "$sys" \
            "$share" "$rss" "$n"
        if ((status != 0)); then
            echo "  $tool exited with status $status; its output: $work/log-$tool.txt" >&2
            failed=1
        fi
        if smaller "$wall" "${best[$tool]:-}"; then
            best[$tool]=$wall
        fi
        ((rss > ${peak[$tool]:-0})) && peak[$tool]=$rss
        count[$tool]=$n
    done
done
rm -f "$store"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
toEml=$(ratio "${best[pst]}" "${best[eml]}")
toReadpst=$(ratio "${best[pst]}" "${best[readpst]}")
echo
echo "Best of $rounds (wall seconds): eml ${best[eml]}, pst ${best[pst]}, readpst ${best[readpst]}"
echo "  pst / eml     = $toEml   (target <= 2.5)"
echo "  pst / readpst = $toReadpst   (target <= 1)"
echo "  peak RSS of mailvane-cli --format pst: ${peak[pst]} KB (target < 131072 KB)"
msgToEml=$(ratio "${best[msg]}" "${best[eml]}")
echo "  msg / eml     = $msgToEml   (target <= 3.5); peak RSS ${peak[msg]} KB (target < 131072 KB)"
awk -v r="$msgToEml" 'BEGIN { exit !(r <= 3.5) }' || { echo "time target of msg against EML: MISSED"; failed=1; }
((peak[msg] < 131072)) || { echo "memory target of msg: MISSED"; failed=1; }
awk -v r="$toEml" 'BEGIN { exit !(r <= 2.5) }' || { echo "time target against EML: MISSED"; failed=1; }
awk -v r="$toReadpst" 'BEGIN { exit !(r <= 1) }' || { echo "time target against readpst: MISSED"; failed=1; }
((peak[pst] < 131072)) || { echo "memory target: MISSED"; failed=1; }
if [[ ${count[eml]} != "$expected" || ${count[readpst]} != "$expected" ||
    ${count[msg]} != "$expected" ]]; then
    echo "message count: MISMATCH (eml ${count[eml]}, read back from the store" \
        "${count[readpst]}, msg ${count[msg]}; generated $expected)"
    failed=1
else
    echo "message count: the store and the message files hold all $expected messages, as the EML output does"
fi
exit "$failed"
