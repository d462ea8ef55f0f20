#!/bin/bash
# Boots the template prefix of a build tree once; later callers wait on the
# lock and reuse it.
set -u
template=$1
wineserver=wineserver
mkdir -p "$(dirname "$template")"
exec 9>"$template.lock"
flock 9
# Booted where 32-bit programs could not run, a template lacks syswow64:
# a run in which they can boots it again.
booted() {
  [ -f "$template/.booted" ] &&
    { [ "${Q5_X86_RUNS:-native}" = none ] || [ -f "$template/drive_c/windows/syswow64/kernel32.dll" ]; }
}
booted && exit 0
rm -rf "$template"
for attempt in 1 2 3; do
  # Wine makes a prefix only inside a folder of its own user: made first,
  # the prefix is root's even in a checkout of a user with sudo.
  mkdir -p "$template"
  WINEPREFIX="$template" WINEDEBUG=-all wineboot -i >"$template.boot.log" 2>&1 </dev/null
  # The registry reaches the disk only when the wineserver exits, and a
  # second services.exe would hang COM activation in the copies.
  WINEPREFIX="$template" "$wineserver" -w
  if [ -f "$template/system.reg" ]; then
    touch "$template/.booted"
    exit 0
  fi
  rm -rf "$template"
done
echo "wine-template: could not boot $template (see $template.boot.log)" >&2
exit 1
