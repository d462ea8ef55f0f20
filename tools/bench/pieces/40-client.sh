# The client library's own cost: a call through it against the same call
# through a bare proxy on the caller's own thread (its multithreaded
# apartment), and Open against a bare activation plus the lease alone, on
# the same server, paired by round (tools/bench/clientbench: q5clientbench).
# Q5_CLIENT_ROUNDS rounds (default 7) of Q5_CLIENT_CALLS calls (default 500).
q5_client_rounds=${Q5_CLIENT_ROUNDS:-7}
q5_client_calls=${Q5_CLIENT_CALLS:-500}
for bits in 64 32; do
  [ "$bits" = 32 ] && [ "$Q5_X86_RUNS" = none ] && { echo "(32-bit client library: skipped, no 32-bit programs here)"; continue; }
  tools=$Q5_TOOLS64; [ "$bits" = 32 ] && tools=$Q5_TOOLS32
  echo
  echo "=== The client library against a bare proxy (x$bits client and server; $q5_client_rounds rounds of $q5_client_calls calls) ==="
  tr -d '\r' <"$(q5_tool "$tools/q5clientbench$bits.exe" --rounds "$q5_client_rounds" --calls "$q5_client_calls")"
done
