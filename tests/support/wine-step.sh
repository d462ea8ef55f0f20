# What the Wine halves of the script tests share; sourced by them, with
# `work` (the folder for results) and `limit` (seconds a step may take) set.

winpath() { local p=${1//\//\\}; echo "Z:$p"; }

# step NAME COMMAND...: runs a command of the current prefix with its
# output in NAME.out and its exit code in NAME.rc.
step() {
  local name=$1 rc; shift
  timeout -k 10 $limit "$@" >"$work/$name.out" 2>&1 </dev/null
  rc=$?
  # Now and then Wine fails to start a process at all; a second start works
  # (after the wineserver has settled, where the caller defines `settle`).
  if [ $rc -ne 0 ] && grep -q "failed to map the shared user data" "$work/$name.out"; then
    if declare -F settle >/dev/null; then settle; fi
    timeout -k 10 $limit "$@" >"$work/$name.out" 2>&1 </dev/null
    rc=$?
  fi
  echo $rc >"$work/$name.rc"
}
