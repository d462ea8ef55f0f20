# The four client/server pairs, the production path first (the 32-bit
# desktop application calling the 64-bit server through dmstub32 on its side
# and dmstub64 on the server's). Each round per pair, for ours and then for
# the floor server of the server's bitness that does bare what the contract
# asks (q5floor /contract): a cold activation that asks COM for the server's
# bitness and Q5_ACT_EACH activations of a running server of that bitness,
# both by the bare client of the client's bitness; then Q5_CALLS calls
# against a server of that bitness that q5dmctl starts itself (the
# LocalServer32 of that registry view), with the server's memory after them.
# Ratios ours/floor are taken round by round, for emulated pairs not.
#
# Wine 10 ignores the bitness that a client asks for (seen: a 32-bit client
# with CLSCTX_ACTIVATE_64_BIT_SERVER gets q5dmsrv32, the program of its own
# registry view), so for a cold activation across bitnesses the client's
# view names the other server for that run. The watch checks once which
# program served each pair.

q5_pr_pairs="32:64 32:32 64:32 64:64"
q5_pr_label() { printf 'x%s client -> q5dmsrv%s' "$([ "${1%%:*}" = 32 ] && echo 86 || echo 64)" "${1##*:}"; }
q5_pr_width=28
case "$Q5_X86_RUNS" in
  none)
    q5_pr_pairs="64:64"
    echo
    echo "(The three pairs with a 32-bit side are left out: 32-bit programs cannot run here, $Q5_X86_WHY.)" ;;
  # Emulated, a pair with a 32-bit side measures qemu-i386, not us.
  emulated) q5_pr_label() { printf 'x%s client -> q5dmsrv%s%s' "$([ "${1%%:*}" = 32 ] && echo 86 || echo 64)" "${1##*:}" \
              "$([ "$1" = 64:64 ] || echo ' [emulator]')"; }
            q5_pr_width=36 ;;
esac

echo
echo "=== The four client/server pairs ($Q5_PAIR_ROUNDS rounds, $Q5_CALLS calls each) ==="
q5_pr_own_views() {
  q5_serve_with "$(q5_program "$Q5_BIN/q5dmsrv64.exe")"
  [ "$Q5_X86_RUNS" = none ] || q5_serve_with "$(q5_program "$Q5_BIN/q5dmsrv32.exe")" 32
}
# q5_pr_cold CLIENT SERVER: one cold activation; prints q5dmctl's output file.
q5_pr_cold() {
  local client=$1 server=$2 out
  [ "$client" != "$server" ] && q5_serve_with "$(q5_program "$Q5_BIN/q5dmsrv$server.exe")" "$client"
  out=$(q5_ctl "$client" "--server$server" --repeat 2 DeleteRegKey HKXX Software)
  [ "$client" != "$server" ] && q5_pr_own_views
  q5_settle
  printf '%s' "$out"
}

q5_pr_own_views
q5_pr_watch=$Q5_WORK/pairs-watch.txt
wine "$Q5_BIN/q5dmctl64.exe" watch >"$q5_pr_watch" 2>"$Q5_WORK/pairs-watch.err" </dev/null &
q5_pr_watcher=$!
for _ in $(seq 1 100); do grep -q 'reading the debug output' "$Q5_WORK/pairs-watch.err" 2>/dev/null && break; sleep 0.1; done
q5_pr_served=""
for pair in $q5_pr_pairs; do
  mark=$(wc -l <"$q5_pr_watch")
  q5_pr_cold "${pair%%:*}" "${pair##*:}" >/dev/null
  q5_pr_served="$q5_pr_served  $(q5_pr_label "$pair"): served by $(tail -n +"$((mark + 1))" "$q5_pr_watch" | sed -n 's/^[0-9:.]* \[[0-9]*\] \([^:]*\): .*/\1/p' | sort -u | tr '\n' ' ')
"
done
kill -INT "$q5_pr_watcher" 2>/dev/null || true
wait "$q5_pr_watcher" || true
echo "Which program served a cold activation (from q5dmctl watch):"
printf '%s' "$q5_pr_served"

# q5_pr_program WHO BITS: the program of ours or of the floor; and
# q5_pr_command WHO BITS its command line.
q5_pr_program() {
  local tools=$Q5_TOOLS64
  [ "$2" = 32 ] && tools=$Q5_TOOLS32
  if [ "$1" = ours ]; then printf '%s' "$Q5_BIN/q5dmsrv$2.exe"; else printf '%s' "$tools/q5floor$2.exe"; fi
}
q5_pr_command() { printf '%s%s' "$(q5_program "$(q5_pr_program "$1" "$2")")" "$([ "$1" = ours ] || echo ' /contract')"; }
for round in $(seq 1 "$Q5_PAIR_ROUNDS"); do
  for pair in $q5_pr_pairs; do
    client=${pair%%:*} server=${pair##*:} key=${pair/:/-}
    for who in ours floor; do
      # The client's view names the program for the cold activation, the
      # server's view for the one that q5dmctl starts itself.
      q5_serve_with "$(q5_pr_command "$who" "$server")" "$client"
      q5_keep "pcold$key" "$who" "$(q5_activations "$(q5_cold "$client" "--server$server")")"
      q5_keep "pwarm$key" "$who" "$(q5_activations "$(q5_running "$client" "$Q5_ACT_EACH" "$(q5_pr_program "$who" "$server")" \
        $([ "$who" = ours ] || echo /contract) "--server$server")")"
      q5_serve_with "$(q5_pr_command "$who" "$server")" "$server"
      out=$(q5_ctl "$client" "--server$server" --trace "$(q5_winpath "$Q5_WORK/server-stdout.txt")" --repeat "$Q5_CALLS" DeleteRegKey HKXX Software)
      q5_keep "pcall$key" "$who" "$(q5_call_median "$out")"
      q5_keep "pws$key" "$who" "$(q5_working_set "$out")"
      q5_keep "pprivate$key" "$who" "$(q5_private "$out")"
      q5_pr_own_views
    done
  done
done
[ "$Q5_X86_RUNS" = emulated ] && echo "[emulator]: a 32-bit side emulated by qemu-i386: these figures measure the emulator, not the server, and take no ratio"
q5_pr_line() { printf "%-$((q5_pr_width + 14))s %-24s %-24s %-24s %-20s %s\n" "$@"; }
q5_pr_line "median [min-max]" "cold activation (ms)" "running server (ms)" "per call (ms)" "working set (KiB)" "private (KiB)"
for pair in $q5_pr_pairs; do
  key=${pair/:/-}
  for who in ours floor; do
    label="$(q5_pr_label "$pair")"
    [ "$who" = floor ] && label="  contract floor, same bitness"
    q5_pr_line "$label" "$(q5_cell %.1f "$q5_data/pcold$key.$who")" "$(q5_cell %.1f "$q5_data/pwarm$key.$who")" \
      "$(q5_cell %.3f "$q5_data/pcall$key.$who")" "$(q5_cell %.0f "$q5_data/pws$key.$who")" "$(q5_cell %.0f "$q5_data/pprivate$key.$who")"
  done
  if [ "$Q5_X86_RUNS" = emulated ] && [ "$pair" != 64:64 ]; then
    q5_pr_line "  ours/floor" "- [emulator]" "- [emulator]" "- [emulator]" "- [emulator]" "- [emulator]"
    continue
  fi
  ratio() { q5_cell %.3f "$(q5_ratios "$q5_data/$1$key.ours" "$q5_data/$1$key.floor")"; }
  q5_pr_line "  ours/floor" "$(ratio pcold)" "$(ratio pwarm)" "$(ratio pcall)" "$(ratio pws)" "$(ratio pprivate)"
done
