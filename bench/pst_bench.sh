#!/bin/sh
# Times pst_bench writing N messages (default 40,000) into a new store in
# /dev/shm, best of three, against readpst -r reading that store back (best
# of three), and reports the writer's peak resident memory. A benchmark, not
# a test: no timing belongs in the test suite.
#
#   cmake -S . -B build-bench -G Ninja -DMAILVANE_GUI=OFF -DCMAKE_BUILD_TYPE=Release
#   ninja -C build-bench -j2 pst_bench
#   bench/pst_bench.sh [BUILD_DIR] [N]
#
# Needs /usr/bin/time (Debian package time) and readpst (pst-utils).
set -eu
build=${1:-build-bench}
count=${2:-40000}
bench=$build/bench/pst_bench
out=/dev/shm/pst_bench.$$
trap 'rm -rf "$out" "$out.pst" "$out.time"' EXIT
[ -x "$bench" ] || { echo "no $bench: build pst_bench first" >&2; exit 1; }

best() {  # best of three wall times of "$@", peak RSS of the best run
    best_s= best_kb=
    for run in 1 2 3; do
        "$@"
        s=$(cut -d' ' -f1 "$out.time")
        kb=$(cut -d' ' -f2 "$out.time")
        if [ -z "$best_s" ] || awk "BEGIN{exit !($s < $best_s)}"; then best_s=$s best_kb=$kb; fi
    done
}

write() { rm -f "$out.pst"; /usr/bin/time -f '%e %M' -o "$out.time" "$bench" "$out.pst" "$count"; }
read_back() {
    rm -rf "$out"; mkdir -p "$out"
    /usr/bin/time -f '%e %M' -o "$out.time" readpst -q -r -o "$out" "$out.pst"
}

best write
write_s=$best_s write_kb=$best_kb
size=$(stat -c %s "$out.pst")
best read_back
read_s=$best_s
echo "pst_bench: $count messages, store $size bytes"
echo "write (pst_bench):  ${write_s} s, peak RSS $((write_kb / 1024)) MB"
echo "read (readpst -r):  ${read_s} s"
