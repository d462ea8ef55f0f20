#!/bin/bash
# Several clients of the DM server at once, under Wine 10 in a private
# prefix with both servers and both proxy/stub libraries registered: K
# clients (q5stress, on the client library; odd ones 64-bit, even ones
# 32-bit) start together, each making M calls of methods that change nothing
# lasting, one session (lease and server) per task of a few calls.
#
#   with the lease     the clients take turns: none may lose a call to
#                      "server lost", since no server is ended under a call
#   without the lease  each client's lease is its own, so every activation
#                      ends the server of whichever client is in a call: every
#                      call must still end with its one possible outcome or a
#                      named transport failure
#
# Per K: calls, calls per second (all calls over the round's time), the
# longest wait for the lease, reconnects (activations after a session's
# first), failures by kind. Ends with the line
#   stress: N calls, H hangs, P server processes left (I never asked for an object, without the lease), L calls lost to "server lost" with the lease
# where a hang is a call that passed its 30 s deadline or a client that the
# watchdog ended, and a server left is one still running 15 s after a round
# (past the 10 s in which a server stuck in its shutdown ends itself). Each
# server left is named in the round's folder with its trace (server-ID.txt)
# and ended before the next round.
#
# Without the lease servers may be left by design: each activation starts a
# server, and when several start together one may be started for a client
# that another's already served, so that no client ever asks it for an object;
# such a server waits for one for ever. Any other server left (with the
# lease, any at all) is a fault.
#
# Exit code 1 on hangs, servers left that may not be, calls lost with the
# lease, wrong outcomes or a client without its report; 2 when the run
# cannot be made.
#
# usage: tools/stress/stress.sh [--calls M] [--clients "1 4 8"] [--task N] [--work DIR] [--short]
#   defaults: 20 calls, tasks of 5 calls, K = 1, 4, 8, work folder out/stress;
#   --short (make test): K = 4, 8 calls in tasks of 4.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$root/tools/wine10/prefix.sh"

if [ "${Q5_STRESS_INSIDE:-}" != 1 ]; then
  calls=20 clients="1 4 8" task=5 work=$root/out/stress
  while [ $# -gt 0 ]; do
    case "$1" in
      --calls) calls=$2; shift 2 ;;
      --clients) clients=$2; shift 2 ;;
      --task) task=$2; shift 2 ;;
      --work) work=$2; shift 2 ;;
      --short) calls=8 clients=4 task=4; shift ;;
      *) echo "usage: $0 [--calls M] [--clients \"1 4 8\"] [--task N] [--work DIR] [--short]" >&2; exit 2 ;;
    esac
  done
  . "$root/tools/wine10/x86-mode.sh"
  q5_x86_mode "$root"
  q5_x86_line
  [ "$Q5_X86_RUNS" = none ] && echo "stress: leaves out the 32-bit clients and q5dmsrv32: 32-bit programs cannot run here ($Q5_X86_WHY)"
  need="$root/out/bin/q5dmsrv64.exe $root/out/bin/dmstub64.dll $root/build/x64/tools/bin/q5stress64.exe"
  [ "$Q5_X86_RUNS" = none ] || need="$need $root/out/bin/q5dmsrv32.exe $root/out/bin/dmstub32.dll $root/build/x86/tools/bin/q5stress32.exe"
  for f in $need; do
    [ -f "$f" ] || { echo "stress: $f is missing (make build)" >&2; exit 2; }
  done
  mkdir -p "$work"
  work=$(cd "$work" && pwd)
  q5_as_root rm -rf "$work/prefix" "$work/rounds"
  : >"$work/wine.log"
  q5_prefix_from_template "$work/prefix" "$work/wine.log" ||
    { echo "stress: could not boot a prefix (see $work/wine.log)" >&2; exit 2; }
  Q5_STRESS_INSIDE=1 Q5_STRESS_CALLS=$calls Q5_STRESS_CLIENTS=$clients Q5_STRESS_TASK=$task Q5_STRESS_WORK=$work \
    "$root/tools/wine10/run.sh" bash "$here/stress.sh"
  rc=$?
  # A clean run's prefix (over a gigabyte) is of no further use.
  [ $rc -eq 0 ] && q5_as_root rm -rf "$work/prefix"
  exit $rc
fi

# Inside the Wine 10 root, one session for the whole run.
calls=$Q5_STRESS_CALLS task=$Q5_STRESS_TASK work=$Q5_STRESS_WORK
# The servers' traces (OutputDebugString), each line headed by its process id.
export WINEPREFIX=$work/prefix WINEDEBUG=-all,warn+seh,+pid
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
bin=$root/out/bin
client_limit=300
left_wait_ms=15000
x86=yes; [ "$Q5_X86_RUNS" = none ] && x86=no

# Each server in its own registry view, each proxy/stub by a regsvr32 of its bitness.
{ wine "$bin/q5dmsrv64.exe" /RegServer && wine regsvr32 /s "$(q5_winpath "$bin/dmstub64.dll")" &&
  { [ $x86 = no ] || { wine "$bin/q5dmsrv32.exe" /RegServer &&
                       wine 'C:\windows\syswow64\regsvr32.exe' /s "$(q5_winpath "$bin/dmstub32.dll")"; }; }
} >>"$work/wine.log" 2>&1 </dev/null || { echo "stress: registering the servers failed (see $work/wine.log)" >&2; exit 2; }

client_bits() { if [ $x86 = yes ] && [ $(($1 % 2)) -eq 0 ]; then echo 32; else echo 64; fi; }
client_program() { local bits=$1 tree=x64; [ "$bits" = 32 ] && tree=x86; echo "$root/build/$tree/tools/bin/q5stress$bits.exe"; }
clients_label() {
  local k=$1 n64=0 n32=0 i
  for i in $(seq 1 "$k"); do if [ "$(client_bits "$i")" = 32 ]; then n32=$((n32 + 1)); else n64=$((n64 + 1)); fi; done
  if [ $n32 -eq 0 ]; then echo "$k (x64)"; else echo "$k ($n64 x64, $n32 x86)"; fi
}

# idle_servers DIR LOG_FROM: how many of the servers left after a round
# (server-left lines of DIR/servers.txt) were never asked for an object:
# their traces, which go to DIR/server-ID.txt, hold no KillAnotherMine, the
# first thing of every creation. Wine writes a COM-started server's
# debug output to the standard error of whichever process started rpcss:
# the log (from byte LOG_FROM on) or a client's report. When no server's
# trace is found at all, none counts as idle.
idle_servers() {
  local dir=$1 from=$2 id n=0
  local traces=$dir/server-traces.txt
  { tail -c +"$((from + 1))" "$work/wine.log"; cat "$dir"/client*.txt; } | tr -d '\r' |
    sed -n 's/^\([0-9a-f]*\):[0-9a-f]*:warn:seh:OutputDebugStringW L"\(.*\)"$/\1\t\2/p' >"$traces"
  for id in $(tr -d '\r' <"$dir/servers.txt" | sed -n 's/^server-left\t//p'); do
    sed -n "s/^$id\t//p" "$traces" >"$dir/server-$id.txt"
    [ -s "$traces" ] && ! grep -q '^>> KillAnotherMine ' "$dir/server-$id.txt" && n=$((n + 1))
  done
  echo $n
}

# round MODE K: K clients started together; their reports in rounds/MODE-K/,
# one summary line (tab-separated) appended to rounds/MODE.txt.
round() {
  local mode=$1 k=$2 dir=$work/rounds/$1-$2 i bits start_at pids=() extra=()
  # A K given twice gets a folder per round.
  for i in 2 3 4 5 6 7 8 9; do [ -e "$dir" ] || break; dir=$work/rounds/$1-$2-$i; done
  mkdir -p "$dir"
  local log_from; log_from=$(stat -c %s "$work/wine.log")
  [ "$mode" = nolease ] && extra=(--no-lease)
  # Wine starts a process in about a second, 32-bit ones emulated later still.
  start_at=$(( $(date +%s%3N) + 2000 + k * 500 ))
  [ "$Q5_X86_RUNS" = emulated ] && start_at=$((start_at + k * 500))
  for i in $(seq 1 "$k"); do
    bits=$(client_bits "$i")
    timeout -k 10 $client_limit wine "$(client_program "$bits")" --id "$i" --calls "$calls" --task "$task" \
      --start-at "$start_at" "${extra[@]}" >"$dir/client$i.txt" 2>&1 </dev/null &
    pids+=($!)
  done
  local killed=0
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}"
    case $? in 124|137) killed=$((killed + 1)) ;; esac
  done
  wine "$(client_program 64)" --servers-left "$left_wait_ms" >"$dir/servers.txt" 2>&1 </dev/null
  local left; left=$(tr -d '\r' <"$dir/servers.txt" | sed -n 's/^servers-left\t//p')
  [ -n "$left" ] && [ "$left" -ge 0 ] || left=1
  local idle; idle=$(idle_servers "$dir" "$log_from")
  # A server left over would be ended by the next round's first activation.
  [ "$left" = 0 ] || { wineserver -k; wineserver -w; }
  cat "$dir"/client*.txt | tr -d '\r' | awk -F'\t' -v k="$k" -v m="$calls" -v killed="$killed" -v left="$left" \
    -v idle="$idle" -v label="$(clients_label "$k")" -v start="$start_at" '
    $1 == "stress-client" { n++; c += $4; wrong += $6; if ($7 > el) el = $7; if ($8 > wait) wait = $8; rec += $9; lost += $10 }
    $1 == "stress-failure" { f[$2] += $3; last[$2] = $4; if ($2 == "timed out") timedout += $3 }
    END {
      kinds = ""
      for (name in f) kinds = kinds (kinds == "" ? "" : ", ") name " " f[name] " (last " last[name] ")"
      if (wrong) kinds = kinds (kinds == "" ? "" : ", ") "WRONG OUTCOME " wrong
      if (n < k) kinds = kinds (kinds == "" ? "" : ", ") "NO REPORT from " (k - n) " client(s)"
      if (left > 0) kinds = kinds (kinds == "" ? "" : ", ") "SERVERS LEFT " left " (" idle " never asked for an object)"
      if (kinds == "") kinds = "none"
      rate = el > 0 ? c * 1000 / el : 0
      printf "%s\t%d\t%.1f\t%d\t%d\t%s\t%d\t%d\t%d\t%d\t%d\t%d\n", label, c, rate, wait, rec, kinds,
        timedout + killed * m, left, lost, wrong, k - n, idle
    }' >>"$work/rounds/$mode.txt"
}

# table MODE TITLE: the rounds' lines as a table.
table() {
  local mode=$1 title=$2
  echo
  echo "$title"
  printf '  %-18s %6s %8s %17s %11s  %s\n' clients calls calls/s "longest lease wait" reconnects "failures by kind"
  awk -F'\t' -v mode="$mode" '{ printf "  %-18s %6d %8.1f %17s %11d  %s\n", $1, $2, $3, (mode == "lease" ? $4 " ms" : "-"), $5, $6 }' \
    "$work/rounds/$mode.txt"
}

mkdir -p "$work/rounds"
: >"$work/rounds/lease.txt"
: >"$work/rounds/nolease.txt"
echo "stress: $calls calls per client in tasks of $task (DeleteRegKey, isDeviceWORable, KillProcessByName,"
echo "        setSuspendAllowed on what does not exist), K = $Q5_STRESS_CLIENTS; Wine 10, prefix $WINEPREFIX"
for k in $Q5_STRESS_CLIENTS; do round lease "$k"; done
table lease "With the lease (clients take turns):"
for k in $Q5_STRESS_CLIENTS; do round nolease "$k"; done
table nolease "Without the lease (each client activates when it likes, as programs that do not cooperate do):"
echo
cat "$work/rounds/lease.txt" "$work/rounds/nolease.txt" >"$work/rounds/all.txt"
read -r n h p wrong silent < <(awk -F'\t' '{ n += $2; h += $7; p += $8; w += $10; s += $11 } END { print n + 0, h + 0, p + 0, w + 0, s + 0 }' "$work/rounds/all.txt")
read -r l lease_left < <(awk -F'\t' '{ l += $9; p += $8 } END { print l + 0, p + 0 }' "$work/rounds/lease.txt")
read -r idle < <(awk -F'\t' '{ i += $12 } END { print i + 0 }' "$work/rounds/nolease.txt")
echo "stress: $n calls, $h hangs, $p server processes left ($idle never asked for an object, without the lease), $l calls lost to \"server lost\" with the lease"
echo "(each client's report, and each server left with its trace: $work/rounds)"
[ "$h" -eq 0 ] && [ "$lease_left" -eq 0 ] && [ "$((p - idle))" -eq 0 ] && [ "$l" -eq 0 ] && [ "$wrong" -eq 0 ] && [ "$silent" -eq 0 ]
