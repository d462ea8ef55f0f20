# Activation of a running server as the process list grows: every
# activation of ours first looks for a leftover server among all processes.
# For Q5_ACT_EXTRA extra idle processes (q5floorops crowd) the 64-bit server
# and the floor server, each started by q5dmctl and handed the activation
# by COM, in Q5_ACT_ROUNDS interleaved rounds; beside them the bare loop of
# that search's platform calls (q5floorops stale), without and with its
# trace lines.

echo
echo "=== Activation of a running server with extra idle processes (x64; $Q5_ACT_ROUNDS rounds) ==="
printf '%-34s %-22s %-22s %-18s %-22s %s\n' "median [min-max] of the rounds" "ours (ms)" "floor (ms)" "ours/floor" \
  "bare search (ms)" "bare search+trace (ms)"
q5_act_trace=$Q5_WORK/act-stdout.txt
for extra in $Q5_ACT_EXTRA; do
  q5_crowd_start "$extra"
  for round in $(seq 1 "$Q5_ACT_ROUNDS"); do
    for who in ours floor; do
      q5_serve_with "$(q5_fl_command "$who")"
      q5_keep "act$extra" "$who" "$(q5_activation "$(q5_ctl 64 --trace "$(q5_winpath "$q5_act_trace")" --repeat 2 DeleteRegKey HKXX Software)")"
    done
    q5_keep "act$extra" bare "$(q5_call_median "$(q5_tool "$Q5_TOOLS64/q5floorops64.exe" stale q5dmsrv64.exe "$Q5_OP_CALLS")")"
    q5_keep "act$extra" traced "$(q5_call_median "$(q5_op_traced stale q5dmsrv64.exe "$Q5_OP_CALLS")")"
  done
  q5_crowd_stop
  printf '%-34s %-22s %-22s %-18s %-22s %s\n' "$extra extra processes" \
    "$(q5_cell %.1f "$q5_data/act$extra.ours")" "$(q5_cell %.1f "$q5_data/act$extra.floor")" \
    "$(q5_cell %.3f "$(q5_ratios "$q5_data/act$extra.ours" "$q5_data/act$extra.floor")")" \
    "$(q5_cell %.2f "$q5_data/act$extra.bare")" "$(q5_cell %.2f "$q5_data/act$extra.traced")"
done
q5_serve_with "$(q5_program "$Q5_BIN/q5dmsrv64.exe")"
