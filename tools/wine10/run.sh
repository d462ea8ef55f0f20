#!/bin/bash
# Runs a command inside the Wine 10 root, where `wine` runs 32- and 64-bit
# Windows programs (WoW64 mode). The command gets a private mount namespace:
# /proc, /dev, /sys, this checkout, the X socket folder and any folder named
# in Q5_WINE10_BINDS (colon-separated) are bound at the same paths, then the
# root is entered with chroot. The binds exist only inside that namespace,
# so none outlives the run and nothing on the host side (make clean,
# rm -rf build) can reach through one into the root or out of it.
#
# usage: run.sh COMMAND [ARGS...]      (already inside the root: runs it)
set -eu
here=$(cd "$(dirname "$0")" && pwd)

# Inside the root already (a script that re-enters through us).
if [ -f /.q5-root ]; then exec "$@"; fi

. "$here/root-place.sh"
if [ ! -f "$Q5_WINE10_ROOT/.q5-root" ]; then
  echo "wine10/run: no Wine 10 root at $Q5_WINE10_ROOT; make it with tools/wine10/make-root.sh (make deps)" >&2
  exit 125
fi
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }

checkout=$(cd "$here/../.." && pwd)
binds=("$checkout")
[ -d /tmp/.X11-unix ] && binds+=(/tmp/.X11-unix)
# xvfb-run keeps its authority file in a folder of its own.
if [ -n "${XAUTHORITY:-}" ] && [ -f "$XAUTHORITY" ]; then binds+=("$(dirname "$XAUTHORITY")"); fi
if [ -n "${Q5_WINE10_BINDS:-}" ]; then
  IFS=: read -r -a extra <<<"$Q5_WINE10_BINDS"
  for b in "${extra[@]}"; do [ -n "$b" ] && [ -d "$b" ] && binds+=("$(cd "$b" && pwd)"); done
fi
for b in "${binds[@]}"; do mkdir -p "$Q5_WINE10_ROOT$b"; done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
exec $SUDO unshare --mount --propagation private bash -c '
  set -e
  root=$1; cwd=$2; nbinds=$3; shift 3
  for d in proc dev sys; do mount --rbind "/$d" "$root/$d"; done
  for ((i = 0; i < nbinds; i++)); do mount --rbind "$1" "$root$1"; shift; done
  # Wine'"'"'s display drivers want a private runtime folder.
  mkdir -p -m 700 "$root/run/q5-xdg"
  cd "$root"
  exec chroot "$root" /bin/bash -c '\''cd "$0" 2>/dev/null || cd /; exec "$@"'\'' "$cwd" "$@"
' wine10-run "$Q5_WINE10_ROOT" "$PWD" "${#binds[@]}" "${binds[@]}" \
  env PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin XDG_RUNTIME_DIR=/run/q5-xdg "$@"
