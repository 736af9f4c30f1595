#!/usr/bin/env bash
# Memory by message shape: mailvane-cli --format pst and --format msg on three
# generated one-message mailboxes in /dev/shm, each a shape that once took
# many times its size: one attachment of 106 MB, 100,000 MIME parts (5 MB),
# the same parts inline in the HTML of a multipart/alternative, below the
# top level (5 MB), 100,000 alternatives of one text, the 100,000 parts in an
# attached message, and 300,000 recipients (6.5 MB).
#
#   bench/shape_bench.sh [BUILD_DIR]
#
# BUILD_DIR (or $MAILVANE_BUILD) is an existing build with mailvane-cli; the
# default is build-bench in the repository. BENCH_DIR=/dev/shm/mailvane-bench.
#
# Prints each run's peak resident memory against the bound, twice the
# message plus 128 MiB, and exits 1 when a run passes it. A message file
# holds at most 2,048 recipients and attachments, so the shapes of very
# many parts (but the alternatives, whose texts are one body) and of
# recipients fail as message files, by design; their memory still counts. This is a
# benchmark, not a test.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/measure.sh"
root=$(dirname "$here")
build=${1:-${MAILVANE_BUILD:-$root/build-bench}}
work=${BENCH_DIR:-/dev/shm/mailvane-bench}
cli=$build/src/cli/mailvane-cli
[[ -x $cli ]] || { echo "shape_bench: $cli is missing; build first" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "shape_bench: /usr/bin/time is missing (package 'time')" >&2; exit 2; }
mkdir -p "$work"

generate() {  # output shape
    [[ -f $1 ]] && return
    python3 - "$1.part" "$2" <<'EOF'
import sys
path, shape = sys.argv[1], sys.argv[2]
# The parts of a multipart of boundary XX, each its own text file, or image.
def parts(kind=b"text/plain", name=b"p%d.txt"):
    return b"".join(b"--XX\nContent-Type: " + kind + b"; name=" + name % n + b"\n\nx\n"
                    for n in range(100_000)) + b"--XX--\n"
mixed = b"MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=XX\n\n"
with open(path, "wb") as out:
    out.write(b"From a@b Mon Jan  1 10:00:00 2024\nSubject: " + shape.encode() + b"\n")
    if shape == "attachment":
        out.write(b"Content-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\n")
        line = b"QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAxMjM0\n"
        out.write(line * 1_400_000)
    elif shape == "parts":
        out.write(mixed + parts())
    elif shape == "nested":
        out.write(b"MIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=A\n\n"
                  b"--A\nContent-Type: text/plain\n\nplain\n"
                  b"--A\nContent-Type: multipart/related; boundary=XX\n\n"
                  b"--XX\nContent-Type: text/html\n\n<p>html</p>\n" +
                  parts(b"image/png", b"p%d.png") + b"--A--\n")
    elif shape == "alternatives":
        out.write(b"MIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=XX\n\n" +
                  parts())
    elif shape == "attached":
        out.write(b"MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=A\n\n"
                  b"--A\nContent-Type: text/plain\n\nbody\n--A\nContent-Type: message/rfc822\n\n"
                  b"Subject: inner\n" + mixed + parts() + b"--A--\n")
    else:
        out.write(b"To: " + b",\n ".join(b"Person %d <p%d@example.org>" % (n, n)
                                         for n in range(300_000)) + b"\n\nbody\n")
EOF
    mv "$1.part" "$1"
}

failed=0
printf '%-12s %-4s %10s %10s %10s\n' shape kind message_kb peak_kb bound_kb
for shape in attachment parts nested alternatives attached recipients; do
    mbox=$work/shape-$shape.mbox
    generate "$mbox" "$shape"
    size_kb=$(($(stat -c %s "$mbox") / 1024))
    bound=$((2 * size_kb + 131072))
    for format in pst msg; do
        out=$work/out-shape
        rm -rf "$out"
        mkdir -p "$out"
        measure "$work/time-shape.txt" /dev/null "$cli" --format "$format" -q --output "$out" "$mbox"
        verdict=
        ((rss <= bound)) || { verdict="  PAST THE BOUND"; failed=1; }
        printf '%-12s %-4s %10d %10d %10d%s\n' "$shape" "$format" "$size_kb" "$rss" "$bound" "$verdict"
        rm -rf "$out"
    done
done
exit $failed
