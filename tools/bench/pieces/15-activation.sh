# Activation of a running server as the process list grows: every
# activation of ours first looks for a leftover server among all processes.
# For Q5_ACT_EXTRA extra idle processes (q5floorops crowd), in Q5_ACT_ROUNDS
# interleaved rounds, Q5_ACT_EACH activations per round and server by the
# bare client (q5floorclient: one CoCreateInstance on an apartment thread,
# against a server it started and that idles): the 64-bit server, the floor
# server, and the floor server with /contract, which does bare all that the
# contract asks of an activation (the search with its trace lines, a line
# per AddRef and Release of the object). Beside them the bare loop of the
# search's platform calls (q5floorops stale) without and with its trace
# lines, written to a file as the servers' output is here, and the floor
# that these add up to: the floor server plus that loop with its lines.

echo
echo "=== Activation of a running server with extra idle processes (x64; $Q5_ACT_ROUNDS rounds of $Q5_ACT_EACH) ==="
q5_act_who="ours floor contract"
[ -n "${Q5_BASELINE:-}" ] && q5_act_who="ours base floor contract"
q5_act_row() {
  printf '%-24s %-20s %-20s %-20s %-16s %-16s %-18s %-22s %s\n' "$@"
}
q5_act_row "median [min-max]" "ours (ms)" "floor (ms)" "contract floor (ms)" "bare search" "search+trace" "ours/floor" \
  "ours/(floor+search+trace)" "ours/contract floor"
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
q5_act_sum() {
  local out=$q5_data/ratio.$(basename "$1").sum
  paste "$1" "$2" "$3" | awk '$2 + $3 > 0 { printf "%.4f\n", $1 / ($2 + $3) }' >"$out"
  printf '%s' "$out"
}
for extra in $Q5_ACT_EXTRA; do
  q5_crowd_start "$extra"
  for round in $(seq 1 "$Q5_ACT_ROUNDS"); do
    for who in $(q5_rotate "$round" $q5_act_who); do
      out=$(q5_running 64 "$Q5_ACT_EACH" "$(q5_fl_program "$who")" $(q5_fl_argument "$who"))
      q5_keep "act$extra" "$who" "$(q5_activations "$out")"
      q5_keep "start$extra" "$who" "$(q5_startup "$out")"
    done
    q5_keep "act$extra" bare "$(q5_call_median "$(q5_tool "$Q5_TOOLS64/q5floorops64.exe" stale q5dmsrv64.exe "$Q5_OP_CALLS")")"
    q5_keep "act$extra" traced "$(q5_call_median "$(q5_act_walk)")"
  done
  q5_crowd_stop
  d=$q5_data/act$extra
  q5_act_row "$extra extra processes" "$(q5_cell %.1f "$d.ours")" "$(q5_cell %.1f "$d.floor")" "$(q5_cell %.1f "$d.contract")" \
    "$(q5_cell %.2f "$d.bare")" "$(q5_cell %.2f "$d.traced")" "$(q5_cell %.3f "$(q5_ratios "$d.ours" "$d.floor")")" \
    "$(q5_cell %.3f "$(q5_act_sum "$d.ours" "$d.floor" "$d.traced")")" "$(q5_cell %.3f "$(q5_ratios "$d.ours" "$d.contract")")"
  if [ -n "${Q5_BASELINE:-}" ]; then
    q5_act_row "  baseline build" "$(q5_cell %.1f "$d.base")" "" "" "" "" "$(q5_cell %.3f "$(q5_ratios "$d.base" "$d.floor")")" \
      "$(q5_cell %.3f "$(q5_act_sum "$d.base" "$d.floor" "$d.traced")")" "$(q5_cell %.3f "$(q5_ratios "$d.base" "$d.contract")")"
  fi
done
echo "The server's start, from its process's creation until it idles, ready to serve (the same runs):"
for extra in $Q5_ACT_EXTRA; do
  d=$q5_data/start$extra
  printf '  %-22s ours %s ms%s, floor %s ms, contract floor %s ms; ours/floor %s\n' "$extra extra processes:" \
    "$(q5_cell %.1f "$d.ours")" "$([ -n "${Q5_BASELINE:-}" ] && printf ', baseline build %s ms' "$(q5_cell %.1f "$d.base")")" \
    "$(q5_cell %.1f "$d.floor")" "$(q5_cell %.1f "$d.contract")" "$(q5_cell %.3f "$(q5_ratios "$d.ours" "$d.floor")")"
done
