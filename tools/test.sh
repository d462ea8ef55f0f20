#!/bin/bash
# make test: both trees' test programs under Wine 10, the x64 tree's first,
# after finding once how this run's 32-bit programs run (native, emulated or
# none: tools/wine10/x86-mode.sh). Ends with one line on the x86 tree's
# programs: how many ran, in which mode, and how many were skipped and why.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/wine10/x86-mode.sh"
q5_x86_mode "$root"
q5_x86_line
skips=$root/build/wine10/skipped.txt
mkdir -p "$root/build/wine10"
: >"$skips"
junit=$root/build/x86/Testing/q5-junit.xml
rm -f "$junit"
rc=0
ctest --preset x64 || rc=1
ctest --preset x86 --output-junit "$junit" || rc=1
python3 "$root/tools/test_summary.py" "$junit" "$skips" "$Q5_X86_RUNS" "$Q5_X86_WHY"
exit $rc
