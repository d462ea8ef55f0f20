# Two sweeping operations against a bare loop of the same platform calls
# (q5floorops, in-process): CleanNotInstalled over modem-class driver keys
# that are not the maker's (so every key is read and stays), and
# KillProcessByName of a name that no process has, with extra idle
# processes running. The bare loop runs once without a trace and once
# writing the operation's trace lines as the server writes them (its
# standard output is closed, as a COM-started server's is not connected).
# Rounds interleave server, bare, bare+trace; each takes the median of
# Q5_OP_CALLS calls.

q5_op_ops=$Q5_TOOLS64/q5floorops64.exe

# q5_op_compare LABEL KEY CTL-ARGS -- OPS-ARGS
q5_op_compare() {
  local label=$1 key=$2; shift 2
  local ctl=() ops=()
  while [ "$1" != -- ]; do ctl+=("$1"); shift; done
  shift; ops=("$@")
  for round in $(seq 1 "$Q5_OP_ROUNDS"); do
    q5_keep "$key" ours "$(q5_call_median "$(q5_ctl 64 --repeat "$Q5_OP_CALLS" "${ctl[@]}")")"
    q5_settle
    q5_keep "$key" bare "$(q5_call_median "$(q5_tool "$q5_op_ops" "${ops[@]}" "$Q5_OP_CALLS")")"
    q5_keep "$key" traced "$(q5_call_median "$(q5_op_traced "${ops[@]}" "$Q5_OP_CALLS")")"
  done
  printf '%-40s %-24s %-24s %-24s %-20s %s\n' "$label" "$(q5_cell %.1f "$q5_data/$key.ours")" \
    "$(q5_cell %.1f "$q5_data/$key.bare")" "$(q5_cell %.1f "$q5_data/$key.traced")" \
    "$(q5_cell %.3f "$(q5_ratios "$q5_data/$key.ours" "$q5_data/$key.bare")")" \
    "$(q5_cell %.3f "$(q5_ratios "$q5_data/$key.ours" "$q5_data/$key.traced")")"
}

echo
echo "=== Sweeping operations against a bare loop of their platform calls (ms per call; $Q5_OP_ROUNDS rounds of $Q5_OP_CALLS calls) ==="
printf '%-40s %-24s %-24s %-24s %-20s %s\n' "median [min-max] of the rounds" "server (round trip)" "bare loop" "bare loop+trace" \
  "server/bare" "server/(bare+trace)"
q5_serve_with "$(q5_program "$Q5_BIN/q5dmsrv64.exe")"
for keys in $Q5_KEYS; do
  q5_tool "$q5_op_ops" unseed >/dev/null
  q5_tool "$q5_op_ops" seed "$keys" >/dev/null
  q5_op_compare "CleanNotInstalled over $keys modem keys" "clean$keys" CleanNotInstalled Modem 0 -- clean Modem
done
q5_tool "$q5_op_ops" unseed >/dev/null

q5_crowd_start "$Q5_EXTRA"
q5_op_compare "KillProcessByName, $Q5_EXTRA extra processes" kill KillProcessByName q5-no-such-program.exe -- kill q5-no-such-program.exe
q5_crowd_stop
