#!/bin/bash
# tools/wine10/run.sh as a user without root, who reaches root through
# sudo: a stand-in sudo first on PATH records the arguments it is given,
# with a password and a token in the caller's environment. Neither may be
# among them (ps and sudo's log show every argument), and the variables
# that the commands in the root read (the prefix, how 32-bit programs run)
# must still go through, by name. Run as root, the script becomes nobody.
#
# Exit code 0 all held, 1 something did not, 77 no user without root to be.
set -u
here=$(cd "$(dirname "$0")" && pwd)
checkout=$(cd "$here/../.." && pwd)
failed=0
check() {  # check WHAT GOT WANTED-PATTERN
  if [[ "$2" == $3 ]]; then echo "ok: $1"; else echo "FAIL: $1: got \"$2\", wanted $3"; failed=$((failed + 1)); fi
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"
mkdir -m 777 "$scratch/log" && mkdir "$scratch/bin"
cat >"$scratch/bin/sudo" <<'STANDIN'
#!/bin/bash
printf '%s\n' "$@" >"$(dirname "$0")/../log/arguments"
STANDIN
chmod 755 "$scratch/bin/sudo"

as_user=()
if [ "$(id -u)" -eq 0 ]; then
  command -v setpriv >/dev/null || { echo "skipped: no setpriv to run as a user without root"; exit 77; }
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
secret='pass word 1' token='tok-3141'
"${as_user[@]}" env -i PATH="$scratch/bin:/usr/bin:/bin" HOME=/ SIGN_PASS="$secret" CI_TOKEN="$token" \
  WINEPREFIX=/tmp/q5-sudo-test-prefix Q5_X86_RUNS=native Q5_X86_WHY="forced by the test" \
  "$checkout/tools/wine10/run.sh" true >"$scratch/log/run.out" 2>&1
[ -s "$scratch/log/arguments" ] || { echo "FAIL: run.sh did not reach sudo:"; cat "$scratch/log/run.out"; exit 1; }
arguments=$(cat "$scratch/log/arguments" 2>/dev/null)
check "arguments that hold the password" "$(grep -cF -- "$secret" <<<"$arguments")" 0
check "arguments that hold the token" "$(grep -cF -- "$token" <<<"$arguments")" 0
check "variables that go by value" "$(grep -c -E '^[A-Za-z_][A-Za-z0-9_]*=' <<<"$arguments")" 0
names=$(grep '^--preserve-env=' <<<"$arguments")
check "the prefix goes through by name" "$names" "*WINEPREFIX*"
check "how 32-bit programs run goes through by name" "$names" "*Q5_X86_RUNS*"
check "the password's and token's names stay behind" "$names" "!(*SIGN_PASS*|*CI_TOKEN*)"
[ $failed -eq 0 ]
