#!/bin/bash
# The Wine half of elevation-test.sh, run inside the Wine 10 root in one
# private mount namespace: a prefix per registration source (an overlay on
# the booted template), the elevation moniker stand-in registered in it,
# and one client run per row. Each run's output, exit code and the
# stand-in's record land in files under WORK/rows; nothing is judged here.
#
# usage: elevation-steps.sh WORK TEMPLATE BIN X64_PLATFORM_BIN X86_PLATFORM_BIN PACKAGES X86_RUNS
set -u
work=$1 template=$2 bin=$3 plat64=$4 plat32=$5 pkg=$6 x86_runs=$7
export WINEDEBUG=-all
# Only prefixes made here are used, and ended, by this script.
unset WINEPREFIX
limit=120
clsid='{84f2059a-d9ae-11d2-86a3-00c04f8ef940}'

. "$(dirname "$0")/../support/wine-step.sh"

prefix() {
  local dir=$work/$1
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  mkdir -p "$dir/upper" "$dir/work" "$dir/pfx"
  mount -t overlay overlay -o "lowerdir=$template,upperdir=$dir/upper,workdir=$dir/work" "$dir/pfx" ||
    cp -a "$template/." "$dir/pfx/" || exit 1
  export WINEPREFIX=$dir/pfx
  standin="$WINEPREFIX/drive_c/q5elev"
  mkdir -p "$standin"
  cp "$plat64/q5elevsrv.exe" "$plat64/q5elevmk64.dll" "$standin/"
  [ -f "$plat32/q5elevmk32.dll" ] && cp "$plat32/q5elevmk32.dll" "$standin/"
  # The stand-in answers with the first word of answer.txt, written per row.
  cat >"$standin/config.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Q5Test\ElevationStandIn]
"RecordFile"="C:\\q5elev\\record.txt"
"AnswerFile"="C:\\q5elev\\answer.txt"
REG
  step "$1-standin" wine 'C:\q5elev\q5elevsrv.exe' /RegServer
  step "$1-config" wine reg import 'C:\q5elev\config.reg' /reg:64
}

# row NAME CLIENT_BITS SERVER_BITS ANSWER [CLIENT ARGS...]: one activation
# through the stand-in, by the test client unless arguments are given.
row() {
  local name=$1 client=$2 server=$3; shift 3
  local reply=$1; shift
  echo "$(date +%T) $name"
  echo "$reply" >"$standin/answer.txt"
  rm -f "$standin/record.txt"
  if [ $# -eq 0 ]; then
    local clients_bin=$plat64; [ "$client" = 32 ] && clients_bin=$plat32
    step "rows/$name" wine "$(winpath "$clients_bin/q5elevclient$client.exe")" always "--server$server"
  else
    step "rows/$name" "$@"
  fi
  cp "$standin/record.txt" "$work/rows/$name.record" 2>/dev/null || : >"$work/rows/$name.record"
}

mkdir -p "$work/rows"
clients="64"; [ "$x86_runs" != none ] && clients="64 32"

# --- self-registration: both servers and both proxies ----------------------
prefix self
mkdir -p "$WINEPREFIX/drive_c/Q5DM"
cp "$bin/q5dmsrv64.exe" "$bin/q5dmsrv32.exe" "$bin/dmstub64.dll" "$bin/dmstub32.dll" "$WINEPREFIX/drive_c/Q5DM/"
step self-srv64 wine 'C:\Q5DM\q5dmsrv64.exe' /RegServer
step self-stub64 wine regsvr32 /s 'C:\Q5DM\dmstub64.dll'
if [ "$x86_runs" != none ]; then
  step self-srv32 wine 'C:\Q5DM\q5dmsrv32.exe' /RegServer
  step self-stub32 wine 'C:\windows\syswow64\regsvr32.exe' /s 'C:\Q5DM\dmstub32.dll'
fi
for reply in yes no; do
  row "self-64-64-$reply" 64 64 $reply
  [ "$x86_runs" != none ] && row "self-32-32-$reply" 32 32 $reply
  # q5dmctl --elevate: the client library's WhenNotElevated path.
  row "self-ctl64-$reply" 64 64 $reply wine "$(winpath "$bin/q5dmctl64.exe")" --elevate DeleteRegKey HKXX x
done
if [ "$x86_runs" != none ]; then
  # The other bitness's server alone answers a cross pair.
  step self-unreg32 wine 'C:\Q5DM\q5dmsrv32.exe' /UnRegServer
  for reply in no yes; do row "self-32-64-$reply" 32 64 $reply; done
  step self-rereg32 wine 'C:\Q5DM\q5dmsrv32.exe' /RegServer
  step self-unreg64 wine 'C:\Q5DM\q5dmsrv64.exe' /UnRegServer
  for reply in yes no; do row "self-64-32-$reply" 64 32 $reply; done
  step self-rereg64 wine 'C:\Q5DM\q5dmsrv64.exe' /RegServer
fi
# The stand-in's own parsing: each name answered "no" after its parse, so
# that a name it takes gives ERROR_CANCELLED and one it refuses MK_E_SYNTAX.
echo no >"$standin/answer.txt"
i=0
for name in 'elevation:highest!NEW:{84F2059A-D9AE-11D2-86A3-00C04F8EF940}' \
            "Elevation:Guest!new:$clsid" "Elevation:Administrator!clsid:$clsid" \
            "Elevation:Administrator!new:$clsid!x" 'Elevation:Administrator!new:{84f2059a-d9ae-11d2-86a3-00c04f8ef94}'; do
  i=$((i + 1))
  step "rows/parse$i" wine "$(winpath "$plat64/q5elevclient64.exe")" parse "$name"
done
# The documented name with a plain BIND_OPTS, then with CLSCTX_ALL.
for variant in bindopts all; do
  i=$((i + 1))
  step "rows/parse$i" wine "$(winpath "$plat64/q5elevclient64.exe")" parse "Elevation:Administrator!new:$clsid" $variant
done

# Broken registrations of the 64-bit server: no "Enabled", then a
# "LocalizedString" that names a string the program does not have.
step broken-enabled wine reg delete "HKLM\\Software\\Classes\\CLSID\\$clsid\\Elevation" /f /reg:64
row broken-enabled 64 64 yes
step self-rereg64b wine 'C:\Q5DM\q5dmsrv64.exe' /RegServer
step broken-name wine reg add "HKLM\\Software\\Classes\\CLSID\\$clsid" /v LocalizedString /t REG_EXPAND_SZ \
  /d '@C:\Q5DM\q5dmsrv64.exe,-7' /f /reg:64
row broken-name 64 64 yes

# --- the x64 package: the 64-bit server, both proxies ----------------------
prefix msi64
step msi64-install wine msiexec /i "$(winpath "$pkg/q5dm-x64.msi")" /qn
for reply in yes no; do
  for client in $clients; do row "msi64-$client-64-$reply" $client 64 $reply; done
done

# --- the x86 package: the 32-bit server and its proxy ----------------------
if [ "$x86_runs" != none ]; then
  prefix msi86
  step msi86-install wine msiexec /i "$(winpath "$pkg/q5dm-x86.msi")" /qn
  for reply in yes no; do row "msi86-32-32-$reply" 32 32 $reply; done
fi
wineserver -k >/dev/null 2>&1
exit 0
