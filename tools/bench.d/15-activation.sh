# Activation of a running server as the process list grows: every
# activation of ours first looks for a leftover server among all processes.
# For Q5_ACT_EXTRA extra idle processes (q5floorops crowd) the 64-bit server
# and the floor server, each started by q5dmctl and handed the activation
# by COM, in Q5_ACT_ROUNDS interleaved rounds; beside them the bare loop of
# that search's platform calls (q5floorops stale), without and with its
# trace lines. The contract's floor is the floor server's activation plus
# that search with its lines, written to a file as the servers' output is
# here: what every activation must do, done bare.

echo
echo "=== Activation of a running server with extra idle processes (x64; $Q5_ACT_ROUNDS rounds) ==="
q5_act_who="ours floor"
[ -n "${Q5_BASELINE:-}" ] && q5_act_who="ours base floor"
q5_act_row() {
  local label=$1; shift
  printf '%-28s %-22s %-22s %-16s %-18s %-22s %s\n' "$label" "$@"
}
q5_act_row "median [min-max] of rounds" "ours (ms)" "floor (ms)" "ours/floor" "bare search (ms)" "bare search+trace (ms)" \
  "ours/(floor+search+trace)"
q5_act_trace=$Q5_WORK/act-stdout.txt
q5_act_walk=$Q5_WORK/act-walk-stdout.txt
# The bare search with its trace lines into a file; figures on standard error.
q5_act_walk() {
  local out=$q5_runs/$(date +%s%N)-ops-walk.txt
  if ! wine "$Q5_TOOLS64/q5floorops64.exe" stale q5dmsrv64.exe "$Q5_OP_CALLS" trace 2>"$out" >"$q5_act_walk" </dev/null; then
    echo "bench: q5floorops stale trace failed:" >&2; tr -d '\r' <"$out" >&2; exit 1
  fi
  printf '%s' "$out"
}
# Per round: A / (B + C).
q5_act_contract() {
  local out=$q5_data/ratio.$(basename "$1").contract
  paste "$1" "$2" "$3" | awk '$2 + $3 > 0 { printf "%.4f\n", $1 / ($2 + $3) }' >"$out"
  printf '%s' "$out"
}
for extra in $Q5_ACT_EXTRA; do
  q5_crowd_start "$extra"
  for round in $(seq 1 "$Q5_ACT_ROUNDS"); do
    for who in $q5_act_who; do
      q5_serve_with "$(q5_fl_command "$who")"
      q5_keep "act$extra" "$who" "$(q5_activation "$(q5_ctl 64 --trace "$(q5_winpath "$q5_act_trace")" --repeat 2 DeleteRegKey HKXX Software)")"
    done
    q5_keep "act$extra" bare "$(q5_call_median "$(q5_tool "$Q5_TOOLS64/q5floorops64.exe" stale q5dmsrv64.exe "$Q5_OP_CALLS")")"
    q5_keep "act$extra" traced "$(q5_call_median "$(q5_act_walk)")"
  done
  q5_crowd_stop
  d=$q5_data/act$extra
  q5_act_row "$extra extra processes" "$(q5_cell %.1f "$d.ours")" "$(q5_cell %.1f "$d.floor")" \
    "$(q5_cell %.3f "$(q5_ratios "$d.ours" "$d.floor")")" "$(q5_cell %.2f "$d.bare")" "$(q5_cell %.2f "$d.traced")" \
    "$(q5_cell %.3f "$(q5_act_contract "$d.ours" "$d.floor" "$d.traced")")"
  if [ -n "${Q5_BASELINE:-}" ]; then
    q5_act_row "  baseline build" "$(q5_cell %.1f "$d.base")" "" "$(q5_cell %.3f "$(q5_ratios "$d.base" "$d.floor")")" "" "" \
      "$(q5_cell %.3f "$(q5_act_contract "$d.base" "$d.floor" "$d.traced")")"
  fi
done
q5_serve_with "$(q5_program "$Q5_BIN/q5dmsrv64.exe")"
