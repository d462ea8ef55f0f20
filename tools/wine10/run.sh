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
# whose env_reset drops the caller's environment, only the variables that
# the commands inside read go along, by name (--preserve-env=NAMES): their
# values travel in the environment, never on a command line, and nothing
# else goes at all, so a password or token in the caller's environment
# (SIGN_PASS and the like) reaches neither the root side nor sudo's log.
# Through: Q5_*, WINE*, FUZZ_*, GTEST_*, LC_*, and DISPLAY, XAUTHORITY,
# TERM, TZ, LANG, LANGUAGE, COLUMNS.
privileged=()
if [ "$(id -u)" -ne 0 ]; then
  keep=()
  while IFS= read -r name; do
    case "$name" in
      Q5_* | WINE* | FUZZ_* | GTEST_* | LC_* | DISPLAY | XAUTHORITY | TERM | TZ | LANG | LANGUAGE | COLUMNS) keep+=("$name") ;;
    esac
  done < <(compgen -e)
  privileged=(sudo "--preserve-env=$(IFS=,; echo "${keep[*]}")")
fi

# namespaces.sh makes the private mount namespace (and, emulated, the user
# namespace); mount-root.sh binds the folders into the root, sets up the
# mode and enters the root with chroot.
exec "${privileged[@]}" bash "$here/namespaces.sh" "$Q5_X86_RUNS" \
  bash "$here/mount-root.sh" "$Q5_X86_RUNS" "$root" "$PWD" "${#binds[@]}" "${binds[@]}" "$@"
