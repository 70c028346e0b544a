#!/bin/sh
# The sample pack and its archive come out byte for byte the same when made again.
set -eu
build=$1
out=$(mktemp -d "$build/repro.XXXXXX")
trap 'rm -rf "$out"' EXIT
win() { echo "Z:$1" | sed 's|/|\\|g'; }
"$build/wine-test" "$build/tools/samplepack.exe" "$(win "$out/pack")"
"$build/wine-test" "$build/tools/packer.exe" "$(win "$out/pack")" "$(win "$out/plugins.zip")"
diff -r "$out/pack" "$build/samplepack"
cmp "$out/plugins.zip" "$build/payload/plugins.zip"
echo "reproducible: $(stat -c %s "$out/plugins.zip") bytes"
