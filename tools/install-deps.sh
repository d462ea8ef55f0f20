#!/bin/bash
# Installs what the build, the tests and the demo need, when it is missing.
# Debian 12, run as root (or with sudo available).
set -eu
need=()
have() { command -v "$1" >/dev/null 2>&1; }
pkg_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# clang-19 and lld-19 compile and link every image against mingw-w64's
# headers and libraries; mingw-w64 still gives windres, dlltool and the C++
# runtime. libwine-dev: the system IDL files (unknwn.idl and friends) that
# widl reads;
# osslsigncode signs the packages, openssl makes the signing test's certificates;
# python3-pefile reads the images for the binary check, python3-olefile
# dates the packages' summaries; strace records the programs that the
# signing test's make packages starts.
for p in mingw-w64 mingw-w64-tools clang-19 lld-19 libwine-dev xvfb xauth cmake ninja-build googletest make python3 debootstrap wixl msitools osslsigncode openssl python3-pefile python3-olefile strace; do
  pkg_installed "$p" || need+=("$p")
done
for p in "$@"; do
  pkg_installed "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  echo "install-deps: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# Wine 10 in its WoW64 mode, in a Debian 13 root of its own: the Windows
# that runs our 32-bit programs (once per machine; quick when it exists).
"$(dirname "$0")/wine10/make-root.sh"

# Where the machine runs no 32-bit code (or Q5_X86_MODE=emulated asks for
# it), a copy of that root in which qemu-i386 runs the 32-bit side.
. "$(dirname "$0")/wine10/x86-mode.sh"
if [ "${Q5_X86_MODE:-}" = emulated ] || { [ -z "${Q5_X86_MODE:-}" ] && ! q5_cpu_runs_x86; }; then
  "$(dirname "$0")/wine10/make-emu-root.sh"
fi
