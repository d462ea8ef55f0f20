# A session's server ended by another activation, and the client library's
# recovery: client 1 (q5stress64, on the library, with the lease) makes a
# call and waits; client 2 activates without the lease, as a program that
# does not cooperate would, and its new server ends client 1's; client 1's
# next call finds no server, and the library repeats it on a fresh one.
# Sourced by tools/demo.sh (q5_watch_mark, q5_watch_since; set -eu).

q5_tk_tool=$Q5_ROOT/build/x64/tools/bin/q5stress64.exe
q5_tk_out=$Q5_DEMO/takeover
q5_tk_event='Q5Demo.Takeover'

echo
echo "=== A server ended by another activation: the client library's recovery ==="
if [ ! -f "$q5_tk_tool" ]; then
  echo "(left out: $q5_tk_tool is missing, make build)"
  return 0
fi
mkdir -p "$q5_tk_out"
q5_tk_mark=$(q5_watch_mark)
echo "Client 1 opens a session (lease, server), makes a call and waits:"
wine "$q5_tk_tool" --id 1 --calls 2 --task 2 --verbose --pause-before 2 --wait-event "$q5_tk_event" \
  >"$q5_tk_out/client1.txt" 2>&1 </dev/null &
q5_tk_first=$!
for _ in $(seq 1 300); do
  grep -q '^client 1: ' "$q5_tk_out/client1.txt" 2>/dev/null && break
  sleep 0.2
done
tr -d '\r' <"$q5_tk_out/client1.txt" | sed -n 's/^client 1: /  client 1: /p'
echo "Client 2 activates without the lease; the new server ends the other q5dmsrv64 first (KillAnotherMine):"
wine "$q5_tk_tool" --id 2 --calls 1 --no-lease --verbose --set-event "$q5_tk_event" \
  >"$q5_tk_out/client2.txt" 2>&1 </dev/null || true
tr -d '\r' <"$q5_tk_out/client2.txt" | sed -n 's/^client 2: /  client 2: /p'
wait "$q5_tk_first" || true
echo "Client 1's next call found its server gone; the library activated a fresh one and repeated the call:"
tr -d '\r' <"$q5_tk_out/client1.txt" | sed -n '2,$s/^client 1: /  client 1: /p'
echo "The servers, as the watch saw them:"
q5_watch_since "$q5_tk_mark" wait | grep -E 'served by|KillAnotherMine' || true
