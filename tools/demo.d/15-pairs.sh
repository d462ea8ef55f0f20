# The four client/server pairs, the production path first: the desktop
# application is a 32-bit program, so on 64-bit Windows its calls leave
# through dmstub32 in its own process and arrive through dmstub64 in
# q5dmsrv64. COM starts every server here; the watch names the program
# that served each call.
# Sourced by tools/demo.sh after 10-server.sh (both servers and proxies
# registered; q5_call, q5_srv_run; set -eu).

q5_pairs_call() {
  q5_call "$@" DeleteRegKey HKXX 'Software\Q5Demo' || true
}
q5_pairs_server() {
  local rc=0
  wine "$Q5_BIN/q5dmsrv$1.exe" "$2" >"$Q5_DEMO/server/pairs.txt" 2>&1 </dev/null || rc=$?
  echo "\$ q5dmsrv$1.exe $2   (exit code $rc)"
}

echo
echo "=== Both bitnesses: the four client/server pairs ==="
if q5_without_x86; then
  echo "Only x64 client -> q5dmsrv64 here (32-bit programs cannot run):"
  q5_pairs_call --ctl 64 --server64
  return 0
fi
echo "With both servers registered, COM starts the server of the client's own bitness:"
q5_pairs_call --ctl 32 --server32
q5_pairs_call --ctl 64 --server64
echo
echo "Asking for the other bitness (--server64 is CLSCTX_ACTIVATE_64_BIT_SERVER): Wine 10 does not honour"
echo "the flag, so the program that serves is still the one of the client's own registry view:"
q5_pairs_call --ctl 32 --server64
echo
echo "The production path. On 64-bit Windows only q5dmsrv64 is registered; a 32-bit client then gets it:"
q5_pairs_server 32 /UnRegServer
q5_pairs_call --ctl 32 --server64
q5_pairs_server 32 /RegServer
echo
echo "Beside it, a 64-bit client and the 32-bit server, with q5dmsrv64 unregistered for the while:"
q5_pairs_server 64 /UnRegServer
q5_pairs_call --ctl 64 --server32
q5_pairs_server 64 /RegServer
