#!/bin/bash
# As root (run.sh starts it, through sudo for a user): runs COMMAND in a
# private mount namespace; emulated, inside a user namespace of its own
# too, with ids 0-65535 mapped 1:1. The maps are written from outside it
# (util-linux would want /etc/subuid entries for that) while a holder keeps
# the namespace; the command then joins it as its root, in this same
# process (signals reach it as they would natively). The holder ends at
# most half a second after the command.
#
# usage: namespaces.sh MODE COMMAND [ARGS...]
#        namespaces.sh --hold PID     (the holder: waits for PID to end)
set -u
PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

if [ "$1" = --hold ]; then
  while [ -d "/proc/$2" ]; do sleep 0.5; done
  exit 0
fi

mode=$1
shift
if [ "$mode" != emulated ]; then
  exec unshare --mount --propagation private "$@"
fi
unshare --user --mount --propagation private bash "$0" --hold $$ </dev/null >/dev/null 2>&1 &
holder=$!
until [ "$(readlink "/proc/$holder/ns/user")" != "$(readlink /proc/self/ns/user)" ]; do
  [ -d "/proc/$holder" ] || { echo "wine10/run: could not make a user namespace" >&2; exit 125; }
  sleep 0.01
done
echo "0 0 65536" >"/proc/$holder/uid_map" && echo "0 0 65536" >"/proc/$holder/gid_map" || exit 125
exec nsenter --target "$holder" --user --mount -- "$@"
