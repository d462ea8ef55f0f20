#!/bin/bash
# Signed packages: with a throwaway certificate authority and code-signing
# certificate made here, tools/packaging/packages.sh signs the seven
# programs and both packages so that each verifies against that authority;
# a byte flipped after signing fails; an unsigned build still packages;
# a time-stamping server is asked when one is named. Under Wine 10 the
# trust check (WinVerifyTrust) accepts the signed server and refuses a
# tampered copy and an unsigned one.
#
# usage: signing-test.sh --build X64_BUILD_DIR --bin OUT_BIN_DIR --probe TRUST_PROBE_EXE
set -u
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)

# The Wine half, inside the Wine 10 root: a prefix overlaid on the template.
if [ "${1:-}" = --wine-steps ]; then
  work=$2 template=$3 probe=$4
  export WINEDEBUG=-all
  winpath() { local p=${1//\//\\}; echo "Z:$p"; }
  mkdir -p "$work/pfx/upper" "$work/pfx/work" "$work/pfx/p"
  mount -t overlay overlay -o "lowerdir=$template,upperdir=$work/pfx/upper,workdir=$work/pfx/work" "$work/pfx/p" ||
    cp -a "$template/." "$work/pfx/p/"
  export WINEPREFIX=$work/pfx/p
  timeout 120 wine "$(winpath "$probe")" "$(winpath "$work/ca.der")" "$(winpath "$work/signed/bin/q5dmsrv64.exe")" \
    "$(winpath "$work/tampered.exe")" "$(winpath "$work/unsigned/q5dmsrv64.exe")" >"$work/trust.out" 2>&1 </dev/null
  timeout 60 wineserver -w
  exit 0
fi

build="" bin="" probe=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    --probe) probe=$2; shift 2 ;;
    *) echo "usage: $0 --build DIR --bin DIR --probe EXE" >&2; exit 2 ;;
  esac
done
work=$build/packaging/signing
packages=$src/tools/packaging/packages.sh
passed=0 failed=0
check() {  # check WHAT COMMAND...
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "ok: $what"; passed=$((passed + 1)); else echo "FAIL: $what"; failed=$((failed + 1)); fi
}
verifies() { osslsigncode verify -CAfile "$work/ca.pem" -in "$1"; }
fails_to_verify() { ! verifies "$1"; }
# unsigned FILE: FILE is there and carries no signature at all.
unsigned() { [ -s "$1" ] && osslsigncode verify -in "$1" 2>&1 | grep -q "No signature found"; }
# fails_saying TEXT COMMAND...: the command fails, and TEXT is why.
fails_saying() {
  local text=$1 out; shift
  ! out=$("$@" 2>&1) && grep -qF -- "$text" <<<"$out"
}
# A time-stamping server that answers one request with an error, after
# writing the request to $work/stamp.request; its port in stamp_port.
start_stamp_server() {
  coproc STAMP { python3 -c '
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(1)
print(s.getsockname()[1], flush=True)
s.settimeout(120)
c, _ = s.accept()
request = b""
while b"\r\n\r\n" not in request:
    chunk = c.recv(65536)
    if not chunk:
        break
    request += chunk
open(sys.argv[1], "wb").write(request)
c.sendall(b"HTTP/1.0 500 Refused\r\nContent-Length: 0\r\n\r\n")
c.close()' "$work/stamp.request"; }
  # Bash unsets STAMP_PID as soon as the server has ended, which it may do
  # before the wait below.
  stamp_pid=$STAMP_PID
  read -r stamp_port <&"${STAMP[0]}"
}

"$src/tools/wine10/run.sh" rm -rf "$work" </dev/null
mkdir -p "$work"
cd "$work" || exit 1
# The authority, and a code-signing certificate that it issues, in a PFX
# with a password.
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Q5 Test Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null &&
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Q5 Test Signer" 2>/dev/null &&
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >ext.cnf &&
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out signer.pem -days 2 \
    -extfile ext.cnf 2>/dev/null &&
  printf 'test pass 1' >pass.txt &&
  openssl pkcs12 -export -inkey signer.key -in signer.pem -out signer.pfx -passout file:pass.txt &&
  openssl x509 -in ca.pem -outform DER -out ca.der || { echo "FAIL: openssl could not make the certificates"; exit 1; }

check "signed packages build (password from SIGN_PASS)" \
  env SIGN_PASS='test pass 1' "$packages" --bin "$bin" --out "$work/signed" --sign "$work/signer.pfx"
for f in "$work"/signed/bin/* "$work"/signed/*.msi; do
  check "$(basename "$f") verifies against the authority" verifies "$f"
done
for f in $(grep -v '^#' "$src/tools/programs.txt"); do
  check "the build's own $f stays unsigned" unsigned "$bin/$f"
done
check "the password is also read from SIGN_PASS_FILE" \
  env SIGN_PASS_FILE="$work/pass.txt" "$packages" --bin "$bin" --out "$work/signed2" --sign "$work/signer.pfx"
# make's own command, a certificate in a folder with a space, and a TMPDIR
# that cannot be written: the password goes into no file.
mkdir -p "$work/with space" && cp "$work/signer.pfx" "$work/with space/"
# Every program that the run starts is recorded with its arguments (strace
# follows each execve), and the password must be in none of them. It is in
# strace's environment, as a user's would be in make's.
traced=()
command -v strace >/dev/null && traced=(strace -f -qq -e trace=execve -s 65536 -o "$work/exec.log")
with_password() { SIGN_PASS='test pass 1' "$@"; }
check "make packages: a certificate path with a space, the password in no file" \
  with_password "${traced[@]}" env -u MAKEFLAGS -u MAKELEVEL TMPDIR="$work/no such folder" \
  make -s -C "$src" -o build packages SIGN_PFX="$work/with space/signer.pfx" PACKAGES_OUT="$work/via make"
check "make packages: the package verifies" verifies "$work/via make/q5dm-x64.msi"
if [ ${#traced[@]} -gt 0 ]; then
  check "make packages: osslsigncode's runs are among those recorded" grep -q 'execve("[^"]*/osslsigncode", \["osslsigncode", "sign"' "$work/exec.log"
  check "make packages: the password is in no program's arguments" bash -c '! grep -qF "test pass 1" "$0"' "$work/exec.log"
else
  echo "skipped: make packages: the password in no program's arguments (no strace here)"
fi
check "a wrong password fails for the password" \
  fails_saying "Failed to parse PKCS#12" env SIGN_PASS=wrong "$packages" --bin "$bin" --out "$work/wrong" --sign "$work/signer.pfx"
start_stamp_server
check "a named time-stamping server is asked (one that refuses fails the run)" \
  env SIGN_PASS="test pass 1" SIGN_TS_URL="http://127.0.0.1:$stamp_port/" \
  bash -c '! "$0" --bin "$1" --out "$2" --sign "$3"' "$packages" "$bin" "$work/stamped" "$work/signer.pfx"
wait "$stamp_pid" 2>/dev/null
check "the time-stamping server got an RFC 3161 request" grep -q "application/timestamp-query" "$work/stamp.request"

# One byte flipped after signing: in the server's code, in the middle of a package.
flip() {
  cp "$1" "$2"
  python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(int(sys.argv[2])); b = f.read(1); f.seek(-1, 1); f.write(bytes([b[0] ^ 0xFF]))' \
    "$2" "$3"
}
flip "$work/signed/bin/q5dmsrv64.exe" "$work/tampered.exe" 4096
flip "$work/signed/q5dm-x64.msi" "$work/tampered.msi" $(( $(stat -c %s "$work/signed/q5dm-x64.msi") / 2 ))
check "a server with one byte flipped fails" fails_to_verify "$work/tampered.exe"
check "a package with one byte flipped fails" fails_to_verify "$work/tampered.msi"

"$packages" --bin "$bin" --out "$work/unsigned" >"$work/unsigned.out" 2>&1
check "an unsigned build packages and says so" grep -q "NOT signed" "$work/unsigned.out"
check "unsigned: both packages are there" test -s "$work/unsigned/q5dm-x64.msi" -a -s "$work/unsigned/q5dm-x86.msi"
cp "$bin/q5dmsrv64.exe" "$work/unsigned/q5dmsrv64.exe"

# Wine's trust check, with the authority in the prefix's root store.
template=$(dirname "$build")/wine10/template
"$src/tools/wine10/run.sh" "$src/tests/support/wine-template.sh" "$template" >/dev/null || exit 1
"$src/tools/wine10/run.sh" bash "$here/signing-test.sh" --wine-steps "$work" "$template" "$probe"
trust() { tr -d '\r' <"$work/trust.out" | grep -q "^$1 .*$2\$"; }
check "Wine: the signed server is trusted" trust 0x00000000 'signed\\bin\\q5dmsrv64.exe'
check "Wine: the tampered copy has a bad digest (TRUST_E_BAD_DIGEST)" trust 0x80096010 'tampered.exe'
check "Wine: an unsigned server has no signature (TRUST_E_NOSIGNATURE)" trust 0x800B0100 'unsigned\\q5dmsrv64.exe'

echo "signing: $passed passed, $failed failed"
if [ $failed -eq 0 ]; then "$src/tools/wine10/run.sh" rm -rf "$work" </dev/null; else echo "signing: kept $work"; cat "$work/trust.out" 2>/dev/null; fi
[ $failed -eq 0 ]
