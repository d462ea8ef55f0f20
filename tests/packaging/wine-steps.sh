#!/bin/bash
# The Wine half of packaging-test.sh, run inside the Wine 10 root in one
# private mount namespace: every prefix is an overlay on the booted
# template, so a prefix costs nothing to make and the template never
# changes. Each step's exit code and output land in files under WORK for
# the checks that follow on the host side; nothing is judged here.
#
# usage: wine-steps.sh WORK TEMPLATE BIN
set -u
work=$1 template=$2 bin=$3
pkg=$work/pkg
export WINEDEBUG=-all
limit=120

. "$(dirname "$0")/../support/wine-step.sh"

prefix() {
  local dir=$work/$1
  mkdir -p "$dir/upper" "$dir/work" "$dir/pfx"
  mount -t overlay overlay -o "lowerdir=$template,upperdir=$dir/upper,workdir=$dir/work" "$dir/pfx" ||
    cp -a "$template/." "$dir/pfx/" || exit 1
  export WINEPREFIX=$dir/pfx
}

# The registry reaches the files only when the wineserver exits.
settle() {
  timeout 120 wineserver -w || { wineserver -k; sleep 3; }
}

# save NAME: the registry files and the drive tree of the current prefix.
save() {
  settle
  mkdir -p "$work/$1"
  cp "$WINEPREFIX"/*.reg "$work/$1/"
  (cd "$WINEPREFIX/drive_c" && find . | LC_ALL=C sort) >"$work/$1/tree"
}

keys=('HKCR\CLSID\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}'
      'HKCR\CLSID\{CC603A56-D9AD-11D2-86A3-00C04F8EF940}'
      'HKCR\Interface\{CC603A56-D9AD-11D2-86A3-00C04F8EF940}')

# exports NAME: each key of the registration from both registry views.
exports() {
  mkdir -p "$work/$1"
  local i view
  for view in 64 32; do
    for i in "${!keys[@]}"; do
      # A key that this view lacks is no export file, which is compared too.
      step "$1/key$i-$view" wine reg export "${keys[$i]}" "$(winpath "$work/$1/key$i-$view.reg")" /reg:$view /y
    done
  done
}

uninstall_entries() {
  step "$1" wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s
}

use() {
  step "$1-use64" wine "$(winpath "$bin/q5dmctl64.exe")" DeleteRegKey HKXX x
  step "$1-use32" wine "$(winpath "$bin/q5dmctl32.exe")" DeleteRegKey HKXX x
}

mkdir -p "$work/before"
cp "$template"/*.reg "$work/before/"
(cd "$template/drive_c" && find . | LC_ALL=C sort) >"$work/before/tree"

# What Wine itself changes in a prefix where a program merely ran.
prefix control
step control wine cmd /c exit
save control-saved

# x64: install, compare, use, install again, its twin, a newer and an older
# version, remove.
prefix x64
step x64-install wine msiexec /i "$(winpath "$pkg/first/q5dm-x64.msi")" /qn
exports x64-exports
(cd "$WINEPREFIX/drive_c" && find . -name q5dmsrv64.exe -o -name dmstub64.dll -o -name dmstub32.dll) >"$work/x64-files"
while read -r f; do cmp "$WINEPREFIX/drive_c/$f" "$bin/$(basename "$f")"; done <"$work/x64-files" >"$work/x64-cmp.out" 2>&1
echo $? >"$work/x64-cmp.rc"
save x64-installed
use x64
step x64-again wine msiexec /i "$(winpath "$pkg/first/q5dm-x64.msi")" /qn
uninstall_entries x64-again-entries
use x64-again
step x64-twin wine msiexec /i "$(winpath "$pkg/twin/q5dm-x64.msi")" /qn
uninstall_entries x64-twin-entries
use x64-twin
step x64-upgrade wine msiexec /i "$(winpath "$pkg/newer/q5dm-x64.msi")" /qn
uninstall_entries x64-upgrade-entries
use x64-upgrade
step x64-downgrade wine msiexec /i "$(winpath "$pkg/first/q5dm-x64.msi")" /qn
uninstall_entries x64-downgrade-entries
step x64-remove wine msiexec /x "$(winpath "$pkg/newer/q5dm-x64.msi")" /qn
save x64-removed

# The programs' own registration of the same files in the same folders.
win() { local p=${1#./}; echo "C:\\${p//\//\\}"; }
if [ "$(wc -l <"$work/x64-files")" = 3 ]; then
  prefix x64-self
  while read -r f; do
    mkdir -p "$WINEPREFIX/drive_c/$(dirname "$f")"
    cp "$bin/$(basename "$f")" "$WINEPREFIX/drive_c/$f"
  done <"$work/x64-files"
  step x64-self-server wine "$(win "$(grep q5dmsrv64.exe "$work/x64-files")")" /RegServer
  step x64-self-stub64 wine regsvr32 /s "$(win "$(grep dmstub64.dll "$work/x64-files")")"
  step x64-self-stub32 wine 'C:\windows\syswow64\regsvr32.exe' /s "$(win "$(grep dmstub32.dll "$work/x64-files")")"
  exports x64-self-exports
  save x64-self-saved
fi

# x86, in a folder without a space: LocalServer32 then goes unquoted.
x86dir='C:\Q5DM32'
prefix x86
step x86-install wine msiexec /i "$(winpath "$pkg/first/q5dm-x86.msi")" "INSTALLDIR=$x86dir" /qn
exports x86-exports
save x86-installed
step x86-use32 wine "$(winpath "$bin/q5dmctl32.exe")" DeleteRegKey HKXX x
step x86-remove wine msiexec /x "$(winpath "$pkg/first/q5dm-x86.msi")" /qn
save x86-removed

prefix x86-self
mkdir -p "$WINEPREFIX/drive_c/Q5DM32"
cp "$bin/q5dmsrv32.exe" "$bin/dmstub32.dll" "$WINEPREFIX/drive_c/Q5DM32/"
step x86-self-server wine "$x86dir\\q5dmsrv32.exe" /RegServer
step x86-self-stub32 wine 'C:\windows\syswow64\regsvr32.exe' /s "$x86dir\\dmstub32.dll"
exports x86-self-exports
save x86-self-saved
