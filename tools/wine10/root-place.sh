# Sourced: where the Wine 10 root lives. Outside every checkout, so that
# nothing that cleans a checkout can reach it.
Q5_WINE10_ROOT=${Q5_WINE10_ROOT:-/opt/q5/wine10-root}
export Q5_WINE10_ROOT
# The copy of it where 32-bit programs run emulated (make-emu-root.sh).
Q5_WINE10_EMU_ROOT=${Q5_WINE10_EMU_ROOT:-/opt/q5/wine10-emu-root}
export Q5_WINE10_EMU_ROOT

# in_work COMMAND...: runs a command inside the root being built ($work),
# in a mount namespace of its own: the binds vanish with the command.
in_work() {
  $SUDO unshare --mount --propagation private bash -c '
    set -e
    w=$1; shift
    for d in proc dev sys; do mount --rbind "/$d" "$w/$d"; done
    exec chroot "$w" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root DEBIAN_FRONTEND=noninteractive "$@"
  ' in_work "$work" "$@"
}
