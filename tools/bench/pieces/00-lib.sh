# Helpers of the bench pieces. Sourced by tools/bench.sh inside the Wine 10
# root (WINEPREFIX, Q5_BIN, Q5_TOOLS64, Q5_TOOLS32, Q5_WORK set; set -eu).
# Wine's output always goes to files, never through a pipe.

q5_class_key='HKLM\Software\Classes\CLSID\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}\LocalServer32'
q5_runs=$Q5_WORK/runs
q5_data=$Q5_WORK/data
rm -rf "$q5_runs" "$q5_data"
mkdir -p "$q5_runs" "$q5_data"

# q5_ctl BITS ARGS...: q5dmctl of that bitness; prints the file that holds
# its output (runs/, named by the time). A failed run ends the bench with
# that output.
q5_ctl() {
  local bits=$1; shift
  local out=$q5_runs/$(date +%s%N)-ctl$bits.txt
  if ! wine "$Q5_BIN/q5dmctl$bits.exe" "$@" >"$out" 2>&1 </dev/null; then
    echo "bench: q5dmctl$bits $* failed:" >&2; tr -d '\r' <"$out" >&2; exit 1
  fi
  printf '%s' "$out"
}

# q5_tool PROGRAM ARGS...: a tool of ours; prints the file with its output.
q5_tool() {
  local program=$1; shift
  local out=$q5_runs/$(date +%s%N)-$(basename "$program" .exe).txt
  if ! wine "$program" "$@" >"$out" 2>&1 </dev/null; then
    echo "bench: $(basename "$program") $* failed:" >&2; tr -d '\r' <"$out" >&2; exit 1
  fi
  printf '%s' "$out"
}

# q5_running BITS N PROGRAM [ARGUMENT]: N activations by the bare client of
# that bitness, each of a server of PROGRAM that it starts and waits for to
# idle; prints the file with its output. Its server's output goes to
# Q5_WORK/server-stdout.txt, as for q5dmctl --trace.
q5_running() {
  local bits=$1 count=$2 program=$3; shift 3
  local tools=$Q5_TOOLS64
  [ "$bits" = 32 ] && tools=$Q5_TOOLS32
  local out
  out=$(q5_tool "$tools/q5floorclient$bits.exe" running "$count" "$(q5_winpath "$Q5_WORK/server-stdout.txt")" \
    "$(q5_winpath "$program")" "$@")
  sed -n "s|^not ended: |  ($(basename "$program") $*: |p" "$out" | tr -d '\r' | sed 's/$/)/' >&2
  printf '%s' "$out"
}
# q5_rotate N WORDS...: the words, starting with the (N mod count)-th, so
# that no server always comes first in its round, right after other work.
q5_rotate() {
  local n=$1; shift
  local words=("$@") i
  for i in "${!words[@]}"; do printf '%s ' "${words[$(( (i + n) % ${#words[@]} ))]}"; done
}
# q5_cold BITS [--serverNN]: one activation by the bare client that COM
# starts the registered server for.
q5_cold() {
  local bits=$1; shift
  local tools=$Q5_TOOLS64
  [ "$bits" = 32 ] && tools=$Q5_TOOLS32
  q5_tool "$tools/q5floorclient$bits.exe" cold 1 "$@"
}
q5_activations() { sed -n 's/^activations: .* median \([0-9.]*\) ms.*/\1/p' "$1"; }
q5_startup() { sed -n 's/^start-up: .* median \([0-9.]*\) ms.*/\1/p' "$1"; }

# Figures out of q5dmctl's (and q5floorops') output.
q5_call_median() { sed -n 's/.*round trip median \([0-9.]*\) ms.*/\1/p' "$1"; }
q5_working_set() { sed -n 's/^server memory: working set \([0-9]*\) KiB.*/\1/p' "$1"; }
q5_private() { sed -n 's/^server memory: .*private \([0-9]*\) KiB.*/\1/p' "$1"; }

# q5_keep FIGURE WHO VALUE: one round's value.
q5_keep() {
  [ -n "$3" ] || { echo "bench: no value for $1 of $2" >&2; exit 1; }
  echo "$3" >>"$q5_data/$1.$2"
}

# The server program that COM starts for the class, in the 64-bit view (or
# the 32-bit one with "32"): a quoted path and any arguments.
q5_serve_with() {
  local command=$1 view=${2:-64} reg=reg
  [ "$view" = 32 ] && reg='C:\windows\syswow64\reg.exe'
  wine "$reg" add "$q5_class_key" /ve /t REG_SZ /d "$command" /f >"$Q5_WORK/serve.txt" 2>&1 </dev/null
}
q5_program() { printf '"%s"' "$(q5_winpath "$1")"; }

# Under Wine an activation can be refused while the previous single-use
# server still shuts down; a cold activation never waits for that end.
q5_settle() { sleep 1; }

# median min max of a file of numbers
q5_stats() {
  sort -g "$1" | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "- - -"; exit }
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    print m, v[1], v[NR] }'
}

# q5_ratios A B: the per-round ratios A/B into a file; prints its name.
q5_ratios() {
  local out=$q5_data/ratio.$(basename "$1").$(basename "$2")
  paste "$1" "$2" | awk '$2 > 0 { printf "%.4f\n", $1 / $2 }' >"$out"
  printf '%s' "$out"
}

# "median [min-max]" with the given printf format for each number.
q5_cell() {
  local format=$1 file=$2 m lo hi
  read -r m lo hi < <(q5_stats "$file")
  if [ "$m" = - ]; then printf -- '-'; return; fi
  printf "$format [$format-$format]" "$m" "$lo" "$hi"
}

# q5_crowd_start COUNT: COUNT extra idle processes (q5floorops crowd) in
# the prefix until q5_crowd_stop; nothing for 0.
q5_crowd=""
q5_crowd_start() {
  local count=$1 out=$Q5_WORK/crowd.txt
  [ "$count" -gt 0 ] || return 0
  wine "$Q5_TOOLS64/q5floorops64.exe" crowd "$count" >"$out" 2>&1 </dev/null &
  q5_crowd=$!
  for _ in $(seq 1 600); do
    grep -q '^crowd: ' "$out" 2>/dev/null && break
    sleep 0.2
  done
  if ! grep -q "^crowd: $count processes" "$out"; then
    echo "bench: the $count extra processes did not start: $(tr -d '\r' <"$out")" >&2
    q5_crowd_stop
    exit 1
  fi
}
q5_crowd_stop() {
  [ -n "$q5_crowd" ] || return 0
  kill -INT "$q5_crowd" 2>/dev/null || true
  wait "$q5_crowd" || true
  q5_crowd=""
}

# The program (a Linux path) and the argument, if any, of ours, the baseline
# build (--baseline), the floor, the floor with its trace line and the floor
# that does bare what the contract asks (/contract); and the command line
# that COM starts for it.
q5_fl_program() {
  case "$1" in
    ours) printf '%s' "$Q5_BIN/q5dmsrv64.exe" ;;
    base) printf '%s' "$Q5_BASELINE" ;;
    *) printf '%s' "$Q5_TOOLS64/q5floor64.exe" ;;
  esac
}
q5_fl_argument() {
  case "$1" in
    trace) printf '/trace' ;;
    contract) printf '/contract' ;;
  esac
}
q5_fl_command() {
  local argument
  argument=$(q5_fl_argument "$1")
  printf '%s%s' "$(q5_program "$(q5_fl_program "$1")")" "${argument:+ $argument}"
}

# The bare loop with its trace: figures on standard error, standard output
# closed (a character device such as /dev/null would make the C runtime
# write every line at once, which a server's unconnected output never does).
q5_op_traced() {
  local out=$q5_runs/$(date +%s%N)-ops-trace.txt
  if ! wine "$Q5_TOOLS64/q5floorops64.exe" "$@" trace 2>"$out" >&- </dev/null; then
    echo "bench: q5floorops $* trace failed:" >&2; tr -d '\r' <"$out" >&2; exit 1
  fi
  printf '%s' "$out"
}
