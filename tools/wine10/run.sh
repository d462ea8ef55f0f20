#!/bin/bash
# Runs a command inside the Wine 10 root, where `wine` runs 32- and 64-bit
# Windows programs (WoW64 mode). The command gets a private mount namespace:
# /proc, /dev, /sys, this checkout, the X socket folder and any folder named
# in Q5_WINE10_BINDS (colon-separated) are bound at the same paths, then the
# root is entered with chroot. The binds exist only inside that namespace,
# so none outlives the run and nothing on the host side (make clean,
# rm -rf build) can reach through one into the root or out of it.
#
# How 32-bit programs run (x86-mode.sh; found once per run, Q5_X86_RUNS):
# natively, the root as it is; emulated, the emulated root in a user
# namespace of its own (ids mapped 1:1) whose private binfmt_misc sends i386
# executables to qemu-i386: the entry vanishes with the namespace and the
# host's binfmt_misc is never touched; none, the root with its 32-bit
# Windows files hidden, so that a machine that runs 32-bit code behaves as
# one that cannot. Every process of a prefix must live in one namespace for
# as long as the prefix is in use (the wineserver cannot read a process of a
# sibling user namespace): callers run a prefix's whole life in one run.sh,
# or end its wineserver before the next one.
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
. "$here/x86-mode.sh"
q5_x86_mode "$checkout"
root=$Q5_WINE10_ROOT
if [ "$Q5_X86_RUNS" = emulated ]; then
  root=$Q5_WINE10_EMU_ROOT
  if [ ! -f "$root/.q5-emu-root" ]; then
    echo "wine10/run: no emulated root at $root; make it with tools/wine10/make-emu-root.sh (make deps)" >&2
    exit 125
  fi
fi
binds=("$checkout")
[ -d /tmp/.X11-unix ] && binds+=(/tmp/.X11-unix)
# xvfb-run keeps its authority file in a folder of its own.
if [ -n "${XAUTHORITY:-}" ] && [ -f "$XAUTHORITY" ]; then binds+=("$(dirname "$XAUTHORITY")"); fi
if [ -n "${Q5_WINE10_BINDS:-}" ]; then
  IFS=: read -r -a extra <<<"$Q5_WINE10_BINDS"
  for b in "${extra[@]}"; do [ -n "$b" ] && [ -d "$b" ] && binds+=("$(cd "$b" && pwd)"); done
fi
# Everything that needs root happens in one privileged shell. Through sudo,
# whose env_reset would drop the caller's environment (the mode, WINEPREFIX
# and the like), the mode travels as an argument and the environment is
# handed over by env.
privileged=()
if [ "$(id -u)" -ne 0 ]; then
  privileged=(sudo env)
  while IFS= read -r -d '' kv; do privileged+=("$kv"); done < <(env -0)
fi

# A private mount namespace; emulated, inside a user namespace of its own
# too, with ids 0-65535 mapped 1:1. The maps are written from outside it
# (util-linux would want /etc/subuid entries for that) while a holder keeps
# the namespace; the command then joins it as its root, in this same
# process (signals reach it as they would natively). The holder ends at
# most half a second after the command.
enter='
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
  mode=$1; shift
  if [ "$mode" != emulated ]; then
    exec unshare --mount --propagation private "$@"
  fi
  unshare --user --mount --propagation private \
    bash -c "while [ -d /proc/\$1 ]; do sleep 0.5; done" holder $$ </dev/null >/dev/null 2>&1 &
  holder=$!
  until [ "$(readlink /proc/$holder/ns/user)" != "$(readlink /proc/self/ns/user)" ]; do
    [ -d /proc/$holder ] || { echo "wine10/run: could not make a user namespace" >&2; exit 125; }
    sleep 0.01
  done
  echo "0 0 65536" >/proc/$holder/uid_map && echo "0 0 65536" >/proc/$holder/gid_map || exit 125
  exec nsenter --target $holder --user --mount -- "$@"'

# Inside the namespaces: the binds, the mode's setup, then the root.
inside='
  set -e
  mode=$1 root=$2 cwd=$3 nbinds=$4; shift 4
  for d in proc dev sys; do mount --rbind "/$d" "$root/$d"; done
  for ((i = 0; i < nbinds; i++)); do mkdir -p "$root$1"; mount --rbind "$1" "$root$1"; shift; done
  case "$mode" in
    emulated)
      misc=$root/proc/sys/fs/binfmt_misc
      mount -t binfmt_misc q5-binfmt "$misc" 2>/dev/null || {
        echo "wine10/run: no binfmt_misc of its own in a user namespace (Linux 6.7 or later): 32-bit programs cannot run emulated" >&2
        exit 125; }
      # i386 ELF executables; F: qemu opened now, from outside the chroot.
      printf "%s" ":q5-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$root/usr/libexec/qemu-binfmt/i386-binfmt-P:FP" >"$misc/register" ;;
    none)
      mount -t tmpfs -o size=1m,mode=755 q5-no-x86 "$root/usr/lib/x86_64-linux-gnu/wine/i386-windows" ;;
  esac
  # Wine'"'"'s display drivers want a private runtime folder.
  mkdir -p -m 700 "$root/run/q5-xdg"
  cd "$root"
  exec chroot "$root" /bin/bash -c '"'"'cd "$0" 2>/dev/null || cd /; exec "$@"'"'"' "$cwd" "$@"'

exec "${privileged[@]}" bash -c "$enter" wine10-enter "$Q5_X86_RUNS" \
  bash -c "$inside" wine10-run "$Q5_X86_RUNS" "$root" "$PWD" "${#binds[@]}" "${binds[@]}" \
  env PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin XDG_RUNTIME_DIR=/run/q5-xdg \
  Q5_X86_RUNS="$Q5_X86_RUNS" Q5_X86_WHY="${Q5_X86_WHY:-}" "$@"
