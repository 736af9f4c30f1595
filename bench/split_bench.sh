#!/usr/bin/env bash
# Split benchmark: mailvane-cli --format eml against git mailsplit and our
# minimal splitter, on one large generated mailbox in /dev/shm.
#
#   bench/split_bench.sh [BUILD_DIR]
#
# BUILD_DIR (or $MAILVANE_BUILD) is an existing build of the project with its
# bench targets; the default is build-bench in the repository. Nothing is
# built here. Settings from the environment:
#   ROUNDS=3        rounds; each runs every tool once, in rotating order
#   BENCH_DIR=/dev/shm/mailvane-bench   where the mailbox and outputs go
#   SEED=1 MESSAGES=40000 SIZE=500M     the generated mailbox
#   SETTLE=1        seconds of rest after deleting an output folder
#
# Exits 0 when every run worked, the three tools agree on the message count,
# mailvane-cli takes at most 0.75 times the time of git mailsplit (best runs)
# and its peak resident memory stays under 64 MB plus the largest message.
# This is a benchmark, not a test: its timings belong in no test suite.
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
minimal=$build/bench/min_split
for program in "$cli" "$gen" "$minimal"; do
    if [[ ! -x $program ]]; then
        echo "split_bench: $program is missing; build first, e.g." >&2
        echo "  cmake -S $root -B $build -G Ninja -DMAILVANE_GUI=OFF -DCMAKE_BUILD_TYPE=Release" >&2
        echo "  ninja -C $build -j2" >&2
        exit 2
    fi
done
if [[ ! -x /usr/bin/time ]]; then
    echo "split_bench: /usr/bin/time is missing (Debian package 'time')" >&2
    exit 2
fi
git mailsplit -h >/dev/null 2>&1 || [[ $? -eq 129 ]] || {
    echo "split_bench: git mailsplit is not available" >&2
    exit 2
}

mkdir -p "$work"
mbox=$work/bench-s$seed-n$messages-$size.mbox
info=$mbox.info
if [[ ! -f $mbox || ! -f $info ]]; then
    echo "Generating $mbox ..."
    "$gen" --seed "$seed" --messages "$messages" --size "$size" "$mbox" >"$info.part"
    mv "$info.part" "$info"
fi
value() { awk -v key="$1" '$1 == key { print $2 }' "$info"; }
largest=$(value largest_message)
expected=$(value messages)
echo "Mailbox: $mbox"
echo "  $(value bytes) bytes, $expected messages ($(value attachments) with attachments)," \
    "largest message $largest bytes, checksum $(value checksum)"
if [[ $(stat -c %s "$mbox") != "$(value bytes)" ]]; then
    echo "split_bench: $mbox does not have the size the generator reported; delete it" >&2
    exit 2
fi

tools=(mailvane git-mailsplit minimal)
declare -A best bestShare bestCpu peak count
failed=0

command_of() {  # tool output-folder: sets the array `command`
    case $1 in
        mailvane) command=("$cli" --format eml --output "$2" "$mbox") ;;
        git-mailsplit) command=(git mailsplit -o"$2" "$mbox") ;;
        minimal) command=("$minimal" "$mbox" "$2") ;;
    esac
}

printf '\n%-14s %5s %9s %8s %8s %5s %10s %9s\n' tool round wall_s user_s sys_s cpu% peak_kb messages
for ((round = 1; round <= rounds; round++)); do
    for ((k = 0; k < ${#tools[@]}; k++)); do
        tool=${tools[$(((round - 1 + k) % ${#tools[@]}))]}
        out=$work/out-$tool
        rm -rf "$out"
        mkdir -p "$out"
        sleep "$settle"
        command_of "$tool" "$out"
        measure "$work/time-$tool.txt" "$work/log-$tool.txt" "${command[@]}"
        files=$(find "$out" -type f | wc -l)
        rm -rf "$out"
        printf '%-14s %5d %9s %8s %8s %5s %10s %9s\n' "$tool" "$round" "$wall" "$user" "$sys" \
            "$share" "$rss" "$files"
        if ((status != 0)); then
            echo "  $tool exited with status $status; its output: $work/log-$tool.txt" >&2
            failed=1
        fi
        if smaller "$wall" "${best[$tool]:-}"; then
            best[$tool]=$wall
            bestShare[$tool]=${share%\%}
        fi
        if smaller "$cpu" "${bestCpu[$tool]:-}"; then
            bestCpu[$tool]=$cpu
        fi
        ((rss > ${peak[$tool]:-0})) || rss=${peak[$tool]:-0}
        peak[$tool]=$rss
        if [[ -n ${count[$tool]:-} && ${count[$tool]} != "$files" ]]; then
            echo "  $tool wrote $files messages this round and ${count[$tool]} before" >&2
            failed=1
        fi
        count[$tool]=$files
    done
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
mvRatio=$(ratio "${best[mailvane]}" "${best[git-mailsplit]}")
minRatio=$(ratio "${best[minimal]}" "${best[git-mailsplit]}")
limitKb=$((65536 + (largest + 1023) / 1024))

echo
echo "Best of $rounds (wall seconds; user+sys seconds in brackets):"
for tool in "${tools[@]}"; do
    printf '  %-14s %8s  (%s)  peak %s KB  %s messages\n' "$tool" "${best[$tool]}" \
        "${bestCpu[$tool]}" "${peak[$tool]}" "${count[$tool]}"
done
echo "Ratios to git mailsplit (best wall time):"
echo "  mailvane / git-mailsplit = $mvRatio   (target <= 0.75)"
echo "  minimal  / git-mailsplit = $minRatio"
echo "  (user+sys: mailvane $(ratio "${bestCpu[mailvane]}" "${bestCpu[git-mailsplit]}")," \
    "minimal $(ratio "${bestCpu[minimal]}" "${bestCpu[git-mailsplit]}"))"
busy=""
for tool in "${tools[@]}"; do
    ((${bestShare[$tool]:-100} < 90)) && busy+=" $tool ${bestShare[$tool]}%"
done
if [[ -n $busy ]]; then
    echo "  note: best runs got less than 90% of a CPU (${busy# }): other processes" \
        "competed, so times are inflated; rerun at a quieter moment or with more ROUNDS"
fi
echo "Peak resident memory of mailvane-cli: ${peak[mailvane]} KB" \
    "(target < 64 MB + largest message = $limitKb KB)"

echo
if awk -v r="$mvRatio" 'BEGIN { exit !(r <= 0.75) }'; then
    echo "time target:   met"
else
    echo "time target:   MISSED (mailvane-cli takes $mvRatio times git mailsplit's time)"
    failed=1
fi
if ((peak[mailvane] < limitKb)); then
    echo "memory target: met"
else
    echo "memory target: MISSED (${peak[mailvane]} KB >= $limitKb KB)"
    failed=1
fi
if [[ ${count[mailvane]} == "${count[git-mailsplit]}" && ${count[mailvane]} == "${count[minimal]}" &&
    ${count[mailvane]} == "$expected" ]]; then
    echo "message count: all three wrote ${count[mailvane]}, as many as were generated"
else
    echo "message count: MISMATCH (mailvane ${count[mailvane]}, git mailsplit" \
        "${count[git-mailsplit]}, minimal ${count[minimal]}; generated: $expected)"
    failed=1
fi
exit "$failed"
