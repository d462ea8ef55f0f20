#!/bin/bash
# As root, inside run.sh's namespaces: binds /proc, /dev, /sys and the given
# folders into the root at their own paths, sets up how 32-bit programs run
# (MODE), then enters the root with chroot and runs COMMAND there from the
# folder CWD (from / where the root has no such folder).
#
# usage: mount-root.sh MODE ROOT CWD NBINDS BIND... COMMAND [ARGS...]
#        mount-root.sh --in CWD COMMAND [ARGS...]   (inside the root)
set -eu

if [ "$1" = --in ]; then
  cd "$2" 2>/dev/null || cd /
  shift 2
  # Wine's display drivers want a private runtime folder.
  export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin XDG_RUNTIME_DIR=/run/q5-xdg
  export Q5_X86_RUNS=${Q5_X86_RUNS:-} Q5_X86_WHY=${Q5_X86_WHY:-}
  exec "$@"
fi

mode=$1 root=$2 cwd=$3 nbinds=$4
shift 4
for d in proc dev sys; do mount --rbind "/$d" "$root/$d"; done
for ((i = 0; i < nbinds; i++)); do
  mkdir -p "$root$1"
  mount --rbind "$1" "$root$1"
  shift
done
case "$mode" in
  emulated)
    misc=$root/proc/sys/fs/binfmt_misc
    mount -t binfmt_misc q5-binfmt "$misc" 2>/dev/null || {
      echo "wine10/run: no binfmt_misc of its own in a user namespace (Linux 6.7 or later): 32-bit programs cannot run emulated" >&2
      exit 125; }
    # i386 ELF executables; F: qemu opened now, from outside the chroot.
    printf '%s' ":q5-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$root/usr/libexec/qemu-binfmt/i386-binfmt-P:FP" >"$misc/register" ;;
  none)
    mount -t tmpfs -o size=1m,mode=755 q5-no-x86 "$root/usr/lib/x86_64-linux-gnu/wine/i386-windows" ;;
esac
mkdir -p -m 700 "$root/run/q5-xdg"
cd "$root"
# This script lies in the checkout, which the root sees at the same path.
exec chroot "$root" /bin/bash "$(cd "$(dirname "$0")" && pwd)/mount-root.sh" --in "$cwd" "$@"
