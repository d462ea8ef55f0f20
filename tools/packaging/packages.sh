#!/bin/bash
# The two MSI packages, signed when a certificate is given: the seven
# programs are copied to OUT/bin and signed there before they are packed
# (out/bin keeps the build's own bytes), then both packages are signed.
# Authenticode with SHA-256 digests, by Debian's osslsigncode.
#
# usage: packages.sh --bin DIR --out DIR [--sign PFX] [--sdk DIR]
#   --sdk            the client SDK folder (make sdk), packed as OUT/q5dm-sdk.zip
#   SIGN_PASS        the PFX password, or
#   SIGN_PASS_FILE   a file that holds it (neither: a PFX without password)
#   SIGN_TS_URL      an RFC 3161 time-stamping server, when wanted
# The password never goes on a command line, where ps would show it, nor
# into a file: osslsigncode reads SIGN_PASS from a pipe that bash's
# process substitution names (/dev/fd/N), which its -readpass opens as a
# file.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
programs=$(grep -v '^#' "$here/../programs.txt")
bin="" out="" pfx="" sdk=""
while [ $# -gt 0 ]; do
  case "$1" in
    --bin) bin=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --sign) pfx=$2; shift 2 ;;
    --sdk) sdk=$2; shift 2 ;;
    *) echo "usage: $0 --bin DIR --out DIR [--sign PFX] [--sdk DIR]" >&2; exit 2 ;;
  esac
done
[ -n "$bin" ] && [ -n "$out" ] || { echo "usage: $0 --bin DIR --out DIR [--sign PFX]" >&2; exit 2; }
passfile=${SIGN_PASS_FILE:-}
# Kept in the shell only: osslsigncode does not inherit it.
password=${SIGN_PASS:-}
unset SIGN_PASS

# osslsigncode ARGS...: with the password, where there is one.
osslsigncode() {
  if [ -n "$passfile" ]; then
    command osslsigncode "$@" -readpass "$passfile"
  elif [ -n "$password" ]; then
    # printf is bash's own: the password is in no process's arguments.
    command osslsigncode "$@" -readpass <(printf '%s' "$password")
  else
    command osslsigncode "$@"
  fi
}

# sign FILE: signs FILE in place.
sign() {
  local args=(sign -pkcs12 "$pfx" -h sha256 -in "$1" -out "$1.signed")
  [ -n "${SIGN_TS_URL:-}" ] && args+=(-ts "$SIGN_TS_URL")
  osslsigncode "${args[@]}" >"$1.log" 2>&1 || { echo "packages: signing $1 failed:" >&2; cat "$1.log" >&2; rm -f "$1.signed" "$1.log"; return 1; }
  mv "$1.signed" "$1"
  rm -f "$1.log"
}

mkdir -p "$out"
# Signed copies of an earlier run must not lie beside unsigned packages.
rm -rf "$out/bin"
source=$bin
if [ -n "$pfx" ]; then
  [ -r "$pfx" ] || { echo "packages: cannot read $pfx" >&2; exit 1; }
  command -v osslsigncode >/dev/null || { echo "packages: osslsigncode is missing (make deps)" >&2; exit 1; }
  mkdir -p "$out/bin"
  for f in $programs; do
    cp "$bin/$f" "$out/bin/$f"
    sign "$out/bin/$f"
  done
  source=$out/bin
fi
for arch in x64 x86; do
  package=$(python3 "$here/make_msi.py" --arch $arch --bin "$source" --out "$out")
  [ -z "$pfx" ] || sign "$package"
done
if [ -n "$pfx" ]; then
  echo "packages: signed with $pfx: the programs in $out/bin and both packages in $out"
else
  echo "packages: no certificate (SIGN_PFX): the programs and both packages in $out are NOT signed"
fi

# The client SDK beside the packages, as one archive for the application's developers.
if [ -n "$sdk" ]; then
  [ -f "$sdk/include/q5dm_client.h" ] || { echo "packages: $sdk is no SDK folder (make sdk)" >&2; exit 1; }
  zip=$(cd "$out" && pwd)/q5dm-sdk.zip
  rm -f "$zip"
  (cd "$(dirname "$sdk")" && python3 -m zipfile -c "$zip" "$(basename "$sdk")")
  echo "packages: the client SDK in $out/q5dm-sdk.zip"
fi
