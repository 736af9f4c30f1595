#!/usr/bin/env bash
# Large-message benchmark: mailvane-cli --format eml against git mailsplit on
# two generated mailboxes in /dev/shm: 120 messages of 4 MB each, and one
# message of 480 MB.
#
#   bench/big_bench.sh [BUILD_DIR]
#
# BUILD_DIR (or $MAILVANE_BUILD) is an existing build with mailvane-cli; the
# default is build-bench in the repository. Settings: ROUNDS=3,
# BENCH_DIR=/dev/shm/mailvane-bench, SETTLE=1 (seconds of rest between runs).
#
# Exits 0 when every run worked and the targets hold: on the 4 MB messages
# mailvane-cli takes at most 1.2 times git mailsplit's time (best runs); on
# the single message its peak resident memory is at most 1.2 times the
# message. This is a benchmark, not a test.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/measure.sh"
root=$(dirname "$here")
build=${1:-${MAILVANE_BUILD:-$root/build-bench}}
rounds=${ROUNDS:-3}
work=${BENCH_DIR:-/dev/shm/mailvane-bench}
settle=${SETTLE:-1}
cli=$build/src/cli/mailvane-cli
[[ -x $cli ]] || { echo "big_bench: $cli is missing; build first" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "big_bench: /usr/bin/time is missing (package 'time')" >&2; exit 2; }
mkdir -p "$work"

# COUNT messages of SIZE bytes each: a header and base64-like lines, LF ends.
generate() {  # output count size
    [[ -f $1 ]] && return
    python3 - "$1.part" "$2" "$3" <<'EOF'
import sys
path, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
line = (b"QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAx" * 2)[:76] + b"\n"
with open(path, "wb") as out:
    for n in range(count):
        head = (b"From bench@example.org Mon Jan  1 10:00:00 2024\nFrom: bench@example.org\n"
                b"Subject: big %d\nContent-Type: application/octet-stream\n"
                b"Content-Transfer-Encoding: base64\n\n" % n)
        out.write(head)
        body = size - len(head)
        out.write(line * (body // len(line)))
        out.write(b"x" * (body % len(line) - 1) + b"\n" if body % len(line) else b"")
EOF
    mv "$1.part" "$1"
}

four=$work/big-120x4M.mbox
single=$work/big-1x480M.mbox
generate "$four" 120 $((4 << 20))
generate "$single" 1 $((480 << 20))

declare -A best peak
failed=0
run() {  # name tool mailbox
    local out=$work/out-big
    for ((round = 1; round <= rounds; round++)); do
        rm -rf "$out"
        mkdir -p "$out"
        sleep "$settle"
        case $2 in
            mailvane) command=("$cli" --format eml --output "$out" "$3") ;;
            git-mailsplit) command=(git mailsplit -o"$out" "$3") ;;
        esac
        measure "$work/time-big.txt" /dev/null "${command[@]}"
        if ((status != 0)); then
            echo "  $2 failed on $3" >&2
            failed=1
        fi
        printf '%-26s %-14s %5d %8s s %9s KB %8s faults\n' "$1" "$2" "$round" "$wall" "$rss" "$faults"
        key="$1/$2"
        if smaller "$wall" "${best[$key]:-}"; then
            best[$key]=$wall
        fi
        ((rss > ${peak[$key]:-0})) && peak[$key]=$rss
    done
    rm -rf "$out"
}

for tool in mailvane git-mailsplit; do run "120 x 4 MB" "$tool" "$four"; done
for tool in mailvane git-mailsplit; do run "1 x 480 MB" "$tool" "$single"; done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
fourRatio=$(ratio "${best[120 x 4 MB/mailvane]}" "${best[120 x 4 MB/git-mailsplit]}")
singleRatio=$(ratio "${best[1 x 480 MB/mailvane]}" "${best[1 x 480 MB/git-mailsplit]}")
messageKb=$(( $(stat -c %s "$single") / 1024 ))
memRatio=$(ratio "${peak[1 x 480 MB/mailvane]}" "$messageKb")
echo
echo "120 x 4 MB: mailvane ${best[120 x 4 MB/mailvane]} s, git mailsplit" \
    "${best[120 x 4 MB/git-mailsplit]} s, ratio $fourRatio (target <= 1.2)"
echo "1 x 480 MB: mailvane ${best[1 x 480 MB/mailvane]} s, git mailsplit" \
    "${best[1 x 480 MB/git-mailsplit]} s, ratio $singleRatio"
echo "1 x 480 MB: mailvane peak ${peak[1 x 480 MB/mailvane]} KB = $memRatio times the message" \
    "(target <= 1.2)"
awk -v r="$fourRatio" 'BEGIN { exit !(r <= 1.2) }' || { echo "time target: MISSED"; failed=1; }
awk -v r="$memRatio" 'BEGIN { exit !(r <= 1.2) }' || { echo "memory target: MISSED"; failed=1; }
exit "$failed"
