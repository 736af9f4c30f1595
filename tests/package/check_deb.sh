#!/usr/bin/env bash
# Makes the Debian package from the build folder, unpacks it into a scratch
# root and runs the installed command line from there, then has lintian
# judge it (no errors allowed).
# usage: check_deb.sh BUILD_DIR MAILBOX
set -euo pipefail
build=$1
mailbox=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

(cd "$build" && cpack -G DEB -B "$scratch/cpack" >"$scratch/cpack.log" 2>&1) ||
  { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/cpack/mailvane_*.deb)
echo "package: $(basename "$deb")"
dpkg-deb -x "$deb" "$scratch/root"

for file in usr/bin/mailvane-cli usr/share/man/man1/mailvane-cli.1.gz \
  usr/share/bash-completion/completions/mailvane-cli usr/share/doc/mailvane/guide.html \
  usr/share/doc/mailvane/copyright; do
  [ -e "$scratch/root/$file" ] || { echo "missing from the package: $file"; exit 1; }
done

cli=$scratch/root/usr/bin/mailvane-cli
"$cli" --version | grep -q '^mailvane-cli [0-9]' || { echo "--version failed"; exit 1; }
"$cli" --format pst --quiet --output "$scratch/out" "$mailbox"
ls "$scratch"/out/MBOX*.pst >/dev/null
# Every option --help names is in the manual page and the completion.
manual=$(gzip -dc "$scratch/root/usr/share/man/man1/mailvane-cli.1.gz" | sed 's/\\-/-/g')
completion=$(cat "$scratch/root/usr/share/bash-completion/completions/mailvane-cli")
for option in $("$cli" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  grep -q -- "$option" <<<"$manual" || { echo "the manual page lacks $option"; exit 1; }
  grep -q -- "$option" <<<"$completion" || { echo "the completion lacks $option"; exit 1; }
done
# The manual page reads without a warning from man.
if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings -l "$scratch/root/usr/share/man/man1/mailvane-cli.1.gz" 2>&1 >/dev/null || true)
  [ -z "$warnings" ] || { echo "man: $warnings"; exit 1; }
fi

if ! command -v lintian >/dev/null; then
  echo "lintian is not installed: the package is not judged"
  exit 77
fi
lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1 | grep -v 'root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || { echo "lintian reports errors"; exit 1; }
echo "lintian: no errors"
