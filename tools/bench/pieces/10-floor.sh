# Ours against the floor: the 64-bit server, the floor server and the floor
# server that writes the trace line, in interleaved rounds. Each round per
# server: a cold activation (COM starts the server) and Q5_ACT_EACH
# activations of a running server (one that the client started and that
# COM hands the activation to), both by the bare client; then a run of
# q5dmctl against a server that it starts itself, Q5_CALLS calls of the
# cheapest method (DeleteRegKey of an unknown root: one trace line), and the
# server's memory after them.

q5_fl_trace=$Q5_WORK/server-stdout.txt
q5_fl_servers="ours floor trace"
[ -n "${Q5_BASELINE:-}" ] && q5_fl_servers="ours base floor trace"
echo
echo "=== The server against the floor (x64 client and servers; $Q5_ROUNDS rounds, $Q5_CALLS calls each) ==="
for round in $(seq 1 "$Q5_ROUNDS"); do
  for who in $(q5_rotate "$round" $q5_fl_servers); do
    q5_serve_with "$(q5_fl_command "$who")"
    q5_keep cold "$who" "$(q5_activations "$(q5_cold 64)")"
    q5_keep warm "$who" "$(q5_activations "$(q5_running 64 "$Q5_ACT_EACH" "$(q5_fl_program "$who")" $(q5_fl_argument "$who"))")"
    out=$(q5_ctl 64 --trace "$(q5_winpath "$q5_fl_trace")" --repeat "$Q5_CALLS" DeleteRegKey HKXX Software)
    q5_keep call "$who" "$(q5_call_median "$out")"
    q5_keep ws "$who" "$(q5_working_set "$out")"
    q5_keep private "$who" "$(q5_private "$out")"
  done
  printf '  round %d: cold %s / %s / %s ms, per call %s / %s / %s ms (ours / floor / floor+trace)\n' "$round" \
    "$(tail -n 1 "$q5_data/cold.ours")" "$(tail -n 1 "$q5_data/cold.floor")" "$(tail -n 1 "$q5_data/cold.trace")" \
    "$(tail -n 1 "$q5_data/call.ours")" "$(tail -n 1 "$q5_data/call.floor")" "$(tail -n 1 "$q5_data/call.trace")"
done
q5_serve_with "$(q5_fl_command ours)"

printf '\n%-40s %-26s %-26s %-26s %-22s %s\n' "median [min-max] of the rounds" "ours" "floor" "floor+trace" "ours/floor" "ours/(floor+trace)"
q5_fl_row() {
  local label=$1 figure=$2 format=$3
  printf '%-40s %-26s %-26s %-26s %-22s %s\n' "$label" \
    "$(q5_cell "$format" "$q5_data/$figure.ours")" "$(q5_cell "$format" "$q5_data/$figure.floor")" \
    "$(q5_cell "$format" "$q5_data/$figure.trace")" \
    "$(q5_cell %.3f "$(q5_ratios "$q5_data/$figure.ours" "$q5_data/$figure.floor")")" \
    "$(q5_cell %.3f "$(q5_ratios "$q5_data/$figure.ours" "$q5_data/$figure.trace")")"
}
q5_fl_row "cold activation (ms)" cold %.1f
q5_fl_row "activation of a running server (ms)" warm %.1f
q5_fl_row "per-call round trip (ms)" call %.3f
q5_fl_row "working set after $Q5_CALLS calls (KiB)" ws %.0f
q5_fl_row "private memory after $Q5_CALLS calls (KiB)" private %.0f
if [ -n "${Q5_BASELINE:-}" ]; then
  for row in cold:%.1f warm:%.1f call:%.3f ws:%.0f private:%.0f; do
    figure=${row%%:*}
    printf '%-40s %-26s %-26s %-26s %-22s %s\n' "  baseline build, $figure" "$(q5_cell "${row#*:}" "$q5_data/$figure.base")" "" "" \
      "$(q5_cell %.3f "$(q5_ratios "$q5_data/$figure.base" "$q5_data/$figure.floor")")" \
      "$(q5_cell %.3f "$(q5_ratios "$q5_data/$figure.base" "$q5_data/$figure.trace")")"
  done
fi
echo "The trace floor: per call, floor+trace minus floor: $(q5_cell %.3f "$(paste "$q5_data/call.trace" "$q5_data/call.floor" | awk '{ printf "%.4f\n", $1 - $2 }' >"$q5_data/tracefloor"; echo "$q5_data/tracefloor")") ms"
