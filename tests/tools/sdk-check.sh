#!/bin/bash
# The SDK folder as a developer gets it: made into a temporary folder outside
# this checkout, its example built there by the README's own command lines
# (both mingw-w64 compilers, prebuilt library and sources), each giving a
# program that imports system DLLs only.
#
# usage: sdk-check.sh
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$root/tools/sdk/sdk.sh" --out "$work/made" >"$work/sdk.log" 2>&1 || { cat "$work/sdk.log"; exit 1; }
cp -a "$work/made" "$work/sdk"
rm -rf "$work/made"
cd "$work/sdk" || exit 1
grep -E '^    (x86_64|i686)-w64-mingw32-g\+\+ ' README.md | sed 's/^    //' >"$work/commands"
fails=0
[ "$(wc -l <"$work/commands")" -eq 4 ] || { echo "sdk check: README.md gives $(wc -l <"$work/commands") compiler lines, not 4"; fails=1; }
while IFS= read -r command; do
  program=${command##*-o }
  if ! bash -c "$command" </dev/null >"$work/compile.log" 2>&1; then
    echo "FAIL: $command"; sed 's/^/  /' "$work/compile.log"; fails=$((fails + 1)); continue
  fi
  "${command%%-g++ *}-objdump" -p "$program" >"$work/headers" 2>&1
  foreign=$(sed -n 's/^[[:space:]]*DLL Name: //p' "$work/headers" | grep -viE '^(kernel32|user32|advapi32|ole32|oleaut32|rpcrt4|msvcrt)\.dll$')
  if [ -n "$foreign" ] || ! grep -q 'DLL Name: ' "$work/headers"; then
    echo "FAIL: $program needs DLLs that Windows does not have: ${foreign:-(no imports read)}"; fails=$((fails + 1)); continue
  fi
  echo "ok: $command"
done <"$work/commands"
[ $fails -eq 0 ] || { echo "sdk check: $fails failed"; exit 1; }
echo "sdk check: the example builds from the SDK folder alone, both bitnesses, library and sources"
