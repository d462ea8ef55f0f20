#!/bin/bash
# The SDK folder for the desktop application's developers: the client
# library's header and source, the interface definition with its generated
# header and identifiers, the library prebuilt for mingw-w64 of both
# bitnesses, an example program and the folder's README. Needs both build
# trees (make build).
#
# usage: tools/sdk/sdk.sh [--out DIR]     (default out/sdk)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$root/out/sdk
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=$2; shift 2 ;;
    *) echo "usage: $0 [--out DIR]" >&2; exit 2 ;;
  esac
done
generated=$root/build/x64/src/interface/generated
for f in "$generated/q5dm.h" "$generated/q5dm_i.c" "$root/build/x64/tools/sdk/lib/libq5dmclient.a" \
         "$root/build/x86/tools/sdk/lib/libq5dmclient.a"; do
  [ -f "$f" ] || { echo "sdk: $f is missing (make build)" >&2; exit 1; }
done

rm -rf "$out"
mkdir -p "$out/include" "$out/src" "$out/idl" "$out/lib/x64" "$out/lib/x86" "$out/example"
cp "$root/src/client/q5dm_client.h" "$root/src/client/q5_thread_safety.h" "$out/include/"
cp "$root/src/client/q5dm_client.cpp" "$root/src/client/client_session.cpp" "$root/src/client/client_activation.cpp" \
   "$root/src/client/client_lease.cpp" "$root/src/client/client_internal.h" "$root/src/client/client_session.h" "$out/src/"
cp "$root/src/interface/q5dm.idl" "$out/idl/"
# widl names the definition by the path it was given: this checkout's, which
# means nothing on the developer's machine.
sed '1s|from .*/q5dm\.idl |from q5dm.idl |' "$generated/q5dm.h" >"$out/include/q5dm.h"
sed '1s|from .*/q5dm\.idl |from q5dm.idl |' "$generated/q5dm_i.c" >"$out/src/q5dm_i.c"
cp "$root/build/x64/tools/sdk/lib/libq5dmclient.a" "$out/lib/x64/"
cp "$root/build/x86/tools/sdk/lib/libq5dmclient.a" "$out/lib/x86/"
cp "$here/example/q5dm_example.cpp" "$out/example/"
cp "$here/README.md" "$out/README.md"
leaks=$(grep -rl --binary-files=text -F "$root" "$out" 2>/dev/null || true)
if [ -n "$leaks" ]; then
  echo "sdk: these files name the checkout's path:" >&2; echo "$leaks" >&2; exit 1
fi
echo "sdk: $out"
