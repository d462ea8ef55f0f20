# The demo's private Wine prefix, and the helper by which every piece calls
# the DM server and shows what the server itself traced.
# Sourced by tools/demo.sh (WINEPREFIX, Q5_BIN, Q5_ROOT, Q5_DEMO, Q5_WINESERVER
# set; set -eu). Wine's output always goes to files, never through a pipe.
#
#   q5_call [q5dmctl options] METHOD [ARGS...]
#     Runs q5dmctl64.exe --trace FILE: q5dmctl starts the registered server
#     itself with its standard output in FILE (a server that COM starts has
#     none), COM hands the activation to that server, the method is called
#     and q5dmctl waits until the server ends after the last release. Prints
#     the command, q5dmctl's lines ("METHOD returned 0x... NAME", "server
#     ended with exit code 0") and then the server's trace, indented.
#     Returns q5dmctl's exit code: 0 when the call returned an HRESULT,
#     1 bad arguments, 2 activation failed, 3 transport failure. Use it as
#     `q5_call ... || true` where a failure is part of the story.
#     Files: $Q5_DEMO/calls/NN-METHOD.{out,trace}.
#
#   q5_wine_path PATH   prints the Windows (Z:) form of a Linux path.

# Never boot or write anywhere but the demo's own prefix.
: "${WINEPREFIX:?}" "${Q5_DEMO:?}" "${Q5_BIN:?}" "${Q5_WINESERVER:?}"

q5_calls_dir=$Q5_DEMO/calls
q5_call_count=0

q5_wine_path() {
  local path=$1
  printf 'Z:%s' "${path//\//\\}"
}

# The stale-server check lists every process of the prefix; on screen a run
# of those lines is shown as its first and last (the files keep them all).
q5_fold_process_ids() {
  awk '
    /^Process ID : / { if (n == 0) first = $0; last = $0; n++; next }
    { flush(); print }
    END { flush() }
    function flush() {
      if (n == 1) print first
      else if (n == 2) { print first; print last }
      else if (n > 2) { print first; print "  ... " (n - 2) " more ..."; print last }
      n = 0
    }'
}

q5_call() {
  q5_call_count=$((q5_call_count + 1))
  local method="" arg
  for arg in "$@"; do
    case "$arg" in --*) ;; *) method=$arg; break ;; esac
  done
  local base
  base=$q5_calls_dir/$(printf '%02d' "$q5_call_count")-${method:-call}
  local trace=$base.trace out=$base.out rc=0
  rm -f "$trace"
  wine "$Q5_BIN/q5dmctl64.exe" --trace "$(q5_wine_path "$trace")" "$@" >"$out" 2>&1 </dev/null || rc=$?
  echo "\$ q5dmctl $*"
  tr -d '\r' <"$out" | sed 's/^/  /'
  echo "  server trace:"
  if [ -s "$trace" ]; then
    # The shutdown lines end without a line end of their own.
    { tr -d '\r' <"$trace"; echo; } | q5_fold_process_ids | sed 's/^/  | /'
  else
    echo "  | (none)"
  fi
  return $rc
}

# Boots the prefix once; a failed boot (rare under Wine) is retried.
q5_boot_prefix() {
  [ -f "$WINEPREFIX/.q5-booted" ] && return 0
  local attempt
  for attempt in 1 2 3; do
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    if wineboot -i >"$Q5_DEMO/wineboot.log" 2>&1 </dev/null; then
      # One services.exe only, and the registry on disk, before anything runs.
      "$Q5_WINESERVER" -w
      touch "$WINEPREFIX/.q5-booted"
      return 0
    fi
    "$Q5_WINESERVER" -k >/dev/null 2>&1 || true
  done
  echo "could not boot the demo prefix $WINEPREFIX (see $Q5_DEMO/wineboot.log)" >&2
  return 1
}

echo "=== Demo prefix ==="
if [ -f "$WINEPREFIX/.q5-booted" ]; then
  echo "Using the Wine prefix $WINEPREFIX"
else
  echo "Booting a private Wine prefix in $WINEPREFIX (once, about 15 s)..."
  q5_boot_prefix
fi
mkdir -p "$q5_calls_dir"
