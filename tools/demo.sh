#!/bin/bash
# The main job on its embedded default: a private Wine prefix under out/
# with the server and the proxy registered and a simulated modem, then a
# short scenario per group of operations (tools/demo.d/*.sh, in name order).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
export Q5_ROOT=$root
export Q5_BIN=$root/out/bin
export Q5_DEMO=$root/out/demo
export WINEPREFIX=$Q5_DEMO/prefix
export WINEDEBUG=-all
export Q5_WINESERVER=/usr/lib/wine/wineserver
mkdir -p "$Q5_DEMO"
trap '"$Q5_WINESERVER" -k >/dev/null 2>&1 || true' EXIT
for piece in "$root"/tools/demo.d/*.sh; do
  [ -e "$piece" ] || continue
  # shellcheck source=/dev/null
  . "$piece"
done
