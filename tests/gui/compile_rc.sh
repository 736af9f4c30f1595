#!/bin/sh
# Compiles the Windows resource script with the MinGW resource compiler and
# checks that the version record (the project's version) and the manifest
# made it into the output.
# Usage: compile_rc.sh <resources folder> <output .res> <version a.b.c.d>
#        <folder holding the generated support/Version.h>
set -e
windres=x86_64-w64-mingw32-windres
command -v "$windres" >/dev/null 2>&1 || { echo "$windres not installed"; exit 77; }
resources=$1
out=$2
generated=$4
IFS=. read -r major minor patch tweak <<EOF
$3
EOF
# The string form: "6.02.0004" for 6.2.0.4.
shown=$(printf '%d.%02d.%d%03d' "$major" "$minor" "$patch" "$tweak")
# Without the MinGW compiler, windres needs a named C preprocessor.
if command -v x86_64-w64-mingw32-gcc >/dev/null 2>&1; then
    "$windres" -I "$resources" -I "$generated" -i "$resources/mailvane.rc" -O res -o "$out"
else
    "$windres" --preprocessor=cc --preprocessor-arg=-E --preprocessor-arg=-xc \
        --preprocessor-arg=-DRC_INVOKED -I "$resources" -I "$generated" -i "$resources/mailvane.rc" -O res -o "$out"
fi
decompiled=$("$windres" -i "$out" -O rc)
fail=0
for expected in '"FileDescription", "Convert MBOX Messages"' '"ProductName", "Mailvane"' \
        "\"FileVersion\", \"$shown\"" "\"ProductVersion\", \"$shown\"" \
        "FILEVERSION $major, $minor, $patch, $tweak" "PRODUCTVERSION $major, $minor, $patch, $tweak" \
        'VALUE "Translation", 0x409, 1200' '/* RT_GROUP_ICON */' '/* RT_MANIFEST */'; do
    if ! printf '%s\n' "$decompiled" | grep -qF "$expected"; then
        echo "missing from the compiled resources: $expected"
        fail=1
    fi
done
# The manifest must not pin the 32-bit architecture.
if grep -q 'processorArchitecture="x86"' "$resources/mailvane.manifest"; then
    echo "the manifest declares x86"
    fail=1
fi
exit $fail
