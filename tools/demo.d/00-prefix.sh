# The demo's private Wine prefix, the watch that shows what the servers
# trace, and the helper by which every piece calls the DM server.
# Sourced by tools/demo.sh (WINEPREFIX, Q5_BIN, Q5_ROOT, Q5_DEMO, Q5_WINESERVER
# set; set -eu). Wine's output always goes to files, never through a pipe.
#
#   q5_call [--ctl 32|64] [q5dmctl options] METHOD [ARGS...]
#     Runs q5dmctl64.exe (or q5dmctl32.exe): COM starts the registered
#     server, as it does for the product, and the method is called. Prints
#     the command and q5dmctl's lines ("METHOD: outcome (0x... NAME)"), then
#     waits until the server has ended and prints what q5dmctl watch saw of
#     it: "served by PROGRAM (pid N)" and each trace line with its time, pid
#     and program, indented. Returns q5dmctl's exit code: 0 when the server
#     answered, 1 bad arguments, 2 activation failed, 3 transport
#     failure. Use it as `q5_call ... || true` where a failure is part of the
#     story. Files: $Q5_DEMO/calls/NN-METHOD.{out,trace}.
#     Should the watch not run (another debug-output viewer holds the
#     channel), q5_call falls back to q5dmctl --trace FILE, which starts the
#     server itself with its standard output in FILE.
#
#   q5_watch_mark / q5_watch_since MARK [WAIT]
#     The watch's line count now; the lines after it (WAIT: first wait for
#     the end of every server seen since), shown as q5_call shows them.
#
#   q5_wine_path PATH   prints the Windows (Z:) form of a Linux path.

# Never boot or write anywhere but the demo's own prefix.
: "${WINEPREFIX:?}" "${Q5_DEMO:?}" "${Q5_BIN:?}" "${Q5_WINESERVER:?}"

q5_calls_dir=$Q5_DEMO/calls
q5_call_count=0
q5_watch_out=$Q5_DEMO/watch.txt
q5_watch_err=$Q5_DEMO/watch.err
q5_watch_pid=""

q5_wine_path() {
  local path=$1
  printf 'Z:%s' "${path//\//\\}"
}

# The stale-server checks list every process of the prefix; on screen a run
# of those lines is shown as its first and last, and a run of one server's
# same line as the first with a count (the files keep them all).
q5_fold_lines() {
  awk '
    function key(line) { sub(/^[0-9:.]* /, "", line); return line }
    function flush() {
      if (n == 1) print first
      else if (n == 2) { print first; print last }
      else if (n > 2) { print first; print "  ... " (n - 2) " more ..."; print last }
      n = 0
      if (same > 0) print "  ... " same " more of the same ..."
      same = 0
    }
    /: Process ID : / { if (same) flush(); if (n == 0) first = $0; last = $0; n++; next }
    { if (n) flush()
      if (key($0) == previous) { same++; next }
      if (same) flush()
      previous = key($0); print }
    END { flush() }'
}

q5_watch_mark() {
  if [ -n "$q5_watch_pid" ]; then wc -l <"$q5_watch_out"; else echo 0; fi
}

# Waits (up to 20 s) until every server that wrote since MARK has ended: the
# watch prints a server's last, unfinished line when the server ends.
q5_watch_wait() {
  local mark=$1 waited
  for waited in $(seq 1 100); do
    tail -n +"$((mark + 1))" "$q5_watch_out" | tr -d '\r' | awk '
      { pid = $2; seen[pid] = 1 }
      / CoRevokeClassObject\(g_dwRegisterClass\);CoUninitialize$/ { ended[$2] = 1 }
      END { n = 0; for (p in seen) { n++; if (!(p in ended)) exit 1 } exit (n == 0) }' && return 0
    sleep 0.2
  done
  return 1
}

q5_watch_since() {
  local mark=$1 wait=${2:-}
  if [ -n "$wait" ] && ! q5_watch_wait "$mark"; then echo "  (a server has not ended yet; its last lines may follow later)"; fi
  tail -n +"$((mark + 1))" "$q5_watch_out" | tr -d '\r' >"$Q5_DEMO/watch-part.txt"
  if [ ! -s "$Q5_DEMO/watch-part.txt" ]; then
    echo "  | (no server trace)"
    return 0
  fi
  sed -n 's/^[0-9:.]* \[\([0-9]*\)\] \([^:]*\): .*/  served by \2 (pid \1)/p' "$Q5_DEMO/watch-part.txt" | awk '!seen[$0]++'
  q5_fold_lines <"$Q5_DEMO/watch-part.txt" | sed 's/^/  | /'
}

q5_call() {
  local bits=64
  if [ "${1:-}" = --ctl ]; then bits=$2; shift 2; fi
  q5_call_count=$((q5_call_count + 1))
  local method="" arg
  for arg in "$@"; do
    case "$arg" in --*) ;; *) method=$arg; break ;; esac
  done
  local base
  base=$q5_calls_dir/$(printf '%02d' "$q5_call_count")-${method:-call}
  local out=$base.out rc=0 mark
  if [ -z "$q5_watch_pid" ]; then
    rm -f "$base.trace"
    wine "$Q5_BIN/q5dmctl$bits.exe" --trace "$(q5_wine_path "$base.trace")" "$@" >"$out" 2>&1 </dev/null || rc=$?
  else
    mark=$(q5_watch_mark)
    wine "$Q5_BIN/q5dmctl$bits.exe" "$@" >"$out" 2>&1 </dev/null || rc=$?
  fi
  echo "\$ q5dmctl$bits $*"
  tr -d '\r' <"$out" | sed 's/^/  /'
  if [ -n "$q5_watch_pid" ]; then
    # No activation, no server to wait for.
    if [ $rc -eq 2 ]; then q5_watch_since "$mark"; else q5_watch_since "$mark" wait; fi
    tail -n +"$((mark + 1))" "$q5_watch_out" >"$base.trace"
  elif [ -s "$base.trace" ]; then
    echo "  server trace (its standard output):"
    { tr -d '\r' <"$base.trace"; echo; } | awk '/^Process ID : / { $0 = "x: " $0 } { print }' | q5_fold_lines |
      sed -e 's/^x: //' -e 's/^/  | /'
  fi
  return $rc
}

q5_stop_watch() {
  [ -n "$q5_watch_pid" ] || return 0
  kill -INT "$q5_watch_pid" 2>/dev/null || true
  wait "$q5_watch_pid" 2>/dev/null || true
  q5_watch_pid=""
}

echo "=== Demo prefix ==="
if [ -f "$WINEPREFIX/.booted" ]; then
  echo "Using the Wine prefix $WINEPREFIX ($(wine --version 2>/dev/null </dev/null || true))"
else
  echo "Booting a private Wine prefix in $WINEPREFIX (once, about a minute)..."
  "$Q5_ROOT/tests/support/wine-template.sh" "$WINEPREFIX"
fi
mkdir -p "$q5_calls_dir"

echo
echo "=== The watch: q5dmctl watch ==="
rm -f "$q5_watch_out" "$q5_watch_err"
wine "$Q5_BIN/q5dmctl64.exe" watch >"$q5_watch_out" 2>"$q5_watch_err" </dev/null &
q5_watch_pid=$!
for _ in $(seq 1 150); do
  grep -q '^q5dmctl watch: ' "$q5_watch_err" 2>/dev/null && break
  kill -0 "$q5_watch_pid" 2>/dev/null || break
  sleep 0.2
done
if grep -q 'reading the debug output' "$q5_watch_err" 2>/dev/null; then
  echo "Started in the background: q5dmctl64 watch > $q5_watch_out"
  echo "It reads the debug output of every q5dmsrv64.exe and q5dmsrv32.exe of the prefix, also of the"
  echo "servers that COM starts (their standard output goes nowhere). Each call below shows its lines."
else
  echo "The watch did not start: $(tr -d '\r' <"$q5_watch_err" 2>/dev/null)"
  echo "Each call starts its server itself instead (q5dmctl --trace) and shows the server's standard output."
  wait "$q5_watch_pid" 2>/dev/null || true
  q5_watch_pid=""
fi
