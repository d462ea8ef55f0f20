# COM port database, process control and program launching: the msports
# stand-in goes into the prefix (Wine's own ends every caller), ports below
# a number are reserved and restored, a program runs synchronously and a
# process is ended by name.
# Sourced by tools/demo.sh (WINEPREFIX, Q5_BIN, Q5_ROOT, Q5_DEMO set; set -eu).

q5_pp_out=$Q5_DEMO/ports-processes
q5_pp_platform=${Q5_PLATFORM_BIN:-$Q5_ROOT/build/x64/tests/platform/bin}
q5_pp_win=$WINEPREFIX/drive_c/windows
q5_pp_dir=$WINEPREFIX/drive_c/q5demo-run
mkdir -p "$q5_pp_out" "$q5_pp_dir"

# Runs one method through q5dmctl (a new server object per call); the shared
# helper of the prefix piece also shows the server's trace.
q5_pp_call() {
  q5_call "$@" || true
}

# A Windows program of ours; its output goes to a file, never through a pipe.
q5_pp_run() {
  local out=$q5_pp_out/run.txt rc=0
  wine "$@" >"$out" 2>&1 </dev/null || rc=$?
  tr -d '\r' <"$out" | sed 's/^/  /'
  return $rc
}

q5_pp_map() {
  q5_pp_run "$q5_pp_platform/q5comdb.exe" "$@" || true
}

echo
echo "=== COM port database: ReserveComPortsBelow, RestoreComPorts ==="
cp "$q5_pp_platform/msports.dll" "$q5_pp_win/system32/msports.dll"
echo "msports.dll stand-in installed into C:\\windows\\system32 (map: HKLM\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter, ComDB)"
echo "Two devices already hold COM1 and COM3:"
q5_pp_map clear >/dev/null
q5_pp_map take 1 3

q5_pp_call ReserveComPortsBelow 5
echo "After the reservation (result 1 = S_FALSE): every number below 5 taken, COM5 the lowest free:"
q5_pp_map show
q5_pp_call RestoreComPorts
echo "A restore from another server object gives back nothing (it reserved nothing):"
q5_pp_map show
q5_pp_map clear >/dev/null
q5_pp_map take 1 3 >/dev/null

echo "Reservation and restore in one server object (q5dmctl makes a new one per call),"
echo "with a device taking COM5 in between:"
q5_pp_mark=$(q5_watch_mark)
echo "\$ q5portsession 5"
q5_pp_run "$q5_pp_platform/q5portsession.exe" 5 || echo "  (q5portsession failed)"
if [ -n "$q5_watch_pid" ]; then q5_watch_since "$q5_pp_mark" wait; fi

# A 32-bit server loads the 32-bit stand-in from syswow64; the x86 build
# tree has one once the x86 test build makes the platform stand-ins.
q5_pp_platform32=$Q5_ROOT/build/x86/tests/platform/bin
if q5_without_x86; then
  :
elif [ -f "$q5_pp_platform32/msports.dll" ]; then
  cp "$q5_pp_platform32/msports.dll" "$q5_pp_win/syswow64/msports.dll"
  echo
  echo "The 32-bit server (a 32-bit client gets it) with the 32-bit stand-in in C:\\windows\\syswow64:"
  q5_pp_map clear >/dev/null
  q5_pp_map take 1 3 >/dev/null
  q5_pp_call --ctl 32 ReserveComPortsBelow 5
  q5_pp_map show
else
  echo "(No 32-bit msports stand-in in $q5_pp_platform32: the port scenarios stay on the 64-bit server.)"
fi
q5_pp_map clear >/dev/null

echo
echo "=== Program launching: SyncExec ==="
cp "$q5_pp_platform/q5child_exit3.exe" "$q5_pp_platform/q5child_forever.exe" "$q5_pp_dir/"
rm -f "$q5_pp_dir/q5child_exit3.ran"
q5_pp_call SyncExec '"C:\q5demo-run\q5child_exit3.exe" hello from SyncExec' 'C:\q5demo-run'
if [ -f "$q5_pp_dir/q5child_exit3.ran" ]; then
  echo "The program ran in C:\\q5demo-run and ended with exit code 3 before SyncExec returned S_OK; it saw the command line:"
  echo "  $(iconv -f UTF-16LE -t UTF-8 "$q5_pp_dir/q5child_exit3.ran")"
else
  echo "The program left no trace in C:\\q5demo-run"
fi

echo
echo "=== Process control: KillProcessByName ==="
wine "$q5_pp_dir/q5child_forever.exe" >"$q5_pp_out/forever.txt" 2>&1 </dev/null &
q5_pp_forever=$!
sleep 2
echo "q5child_forever.exe started (it never ends by itself)"
q5_pp_call KillProcessByName q5child_forever.exe
for _ in $(seq 1 40); do
  kill -0 "$q5_pp_forever" 2>/dev/null || break
  sleep 0.25
done
if kill -0 "$q5_pp_forever" 2>/dev/null; then
  echo "q5child_forever.exe still runs; ending it"
  wine taskkill /f /im q5child_forever.exe >"$q5_pp_out/taskkill.txt" 2>&1 </dev/null || true
fi
q5_pp_rc=0
wait "$q5_pp_forever" || q5_pp_rc=$?
echo "q5child_forever.exe has ended (exit code $q5_pp_rc: the server terminated it; the call itself always returns E_FAIL)"
q5_pp_map clear >/dev/null
