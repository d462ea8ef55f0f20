# Two sweeping operations against a bare loop of the same platform calls
# (q5floorops, in-process, no trace): CleanNotInstalled over modem-class
# driver keys that are not the maker's (so every key is read and stays),
# and KillProcessByName of a name that no process has, with extra idle
# processes running. Rounds interleave the server and the bare loop; each
# takes the median of Q5_OP_CALLS calls.

q5_op_ops=$Q5_TOOLS64/q5floorops64.exe

# q5_op_compare LABEL KEY CTL-ARGS -- OPS-ARGS
q5_op_compare() {
  local label=$1 key=$2; shift 2
  local ctl=() ops=()
  while [ "$1" != -- ]; do ctl+=("$1"); shift; done
  shift; ops=("$@")
  : >"$q5_data/$key.ours"; : >"$q5_data/$key.bare"
  for round in $(seq 1 "$Q5_OP_ROUNDS"); do
    q5_keep "$key" ours "$(q5_call_median "$(q5_ctl 64 --repeat "$Q5_OP_CALLS" "${ctl[@]}")")"
    q5_settle
    q5_keep "$key" bare "$(q5_call_median "$(q5_tool "$q5_op_ops" "${ops[@]}" "$Q5_OP_CALLS")")"
  done
  printf '%-44s %-28s %-28s %s\n' "$label" "$(q5_cell %.2f "$q5_data/$key.ours")" "$(q5_cell %.2f "$q5_data/$key.bare")" \
    "$(q5_cell %.3f "$(q5_ratios "$q5_data/$key.ours" "$q5_data/$key.bare")")"
}

echo
echo "=== Sweeping operations against a bare loop of their platform calls (ms per call; $Q5_OP_ROUNDS rounds of $Q5_OP_CALLS calls) ==="
printf '%-44s %-28s %-28s %s\n' "median [min-max] of the rounds" "server (call round trip)" "bare loop" "server/bare"
q5_serve_with "$(q5_program "$Q5_BIN/q5dmsrv64.exe")"
for keys in $Q5_KEYS; do
  q5_tool "$q5_op_ops" unseed >/dev/null
  q5_tool "$q5_op_ops" seed "$keys" >/dev/null
  q5_op_compare "CleanNotInstalled over $keys modem keys" "clean$keys" CleanNotInstalled Modem 0 -- clean Modem
done
q5_tool "$q5_op_ops" unseed >/dev/null

q5_op_crowd_out=$Q5_WORK/crowd.txt
wine "$q5_op_ops" crowd "$Q5_EXTRA" >"$q5_op_crowd_out" 2>&1 </dev/null &
q5_op_crowd=$!
for _ in $(seq 1 600); do
  grep -q '^crowd: ' "$q5_op_crowd_out" 2>/dev/null && break
  sleep 0.2
done
if ! grep -q "^crowd: $Q5_EXTRA processes" "$q5_op_crowd_out"; then
  echo "bench: the $Q5_EXTRA extra processes did not start: $(tr -d '\r' <"$q5_op_crowd_out")" >&2
  kill -INT "$q5_op_crowd" 2>/dev/null || true
  exit 1
fi
q5_op_compare "KillProcessByName, $Q5_EXTRA extra processes" kill KillProcessByName q5-no-such-program.exe -- kill q5-no-such-program.exe
kill -INT "$q5_op_crowd" 2>/dev/null || true
wait "$q5_op_crowd" || true
