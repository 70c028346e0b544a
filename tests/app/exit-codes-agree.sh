#!/bin/sh
# The exit codes as the program defines them, as the README's table lists them and as the
# /? text lists them: the same set, or the test fails and shows all three.
# Usage: exit-codes-agree.sh <source folder>
set -eu
top=$1
codes() { sort -n | tr '\n' ' '; }

header=$(sed -n 's/^ *kExit[A-Za-z]* = \([0-9][0-9]*\),.*/\1/p' "$top/app/ExitCodes.h" | codes)
# The rows after the table's heading, up to the first line that is not a row.
readme=$(awk '/^\| exit code \| meaning \|$/ { on = 1; next }
              on && /^\|---/ { next }
              on && /^\| [0-9]+ \|/ { split($0, f, "|"); gsub(/ /, "", f[2]); print f[2]; next }
              on { exit }' "$top/README.md" | codes)
# The resource text keeps its escapes: one code per "\n", each ending at its "\t".
usage=$(sed -n 's/^ *IDS_USAGE "\(.*\)"$/\1/p' "$top/res/strings.rc" |
        sed 's/.*Exit codes:\\n//; s/\\n/\n/g' | sed -n 's/^\([0-9][0-9]*\)\\t.*/\1/p' | codes)

echo "app/ExitCodes.h: $header"
echo "README.md:       $readme"
echo "/? text:         $usage"
[ -n "$header" ] || { echo "no codes found in app/ExitCodes.h"; exit 1; }
[ "$header" = "$readme" ] || { echo "the README's table differs"; exit 1; }
[ "$header" = "$usage" ] || { echo "the /? text differs"; exit 1; }
