#!/bin/bash
# The linker of every image: lld, which also writes below the link map
# (-Map=FILE) the files it read and the archive members it took, and for
# which reference. lld's own map names a member by its bare file name,
# whereas the bill of materials needs the archive each one came from, and
# only lld's verbose log says that. Its warnings and errors still go to
# stderr; the rest of the log is dropped.
set -u
lld=ld.lld-19
map=""
for arg in "$@"; do
  case $arg in -Map=*) map=${arg#-Map=} ;; esac
done
[ -n "$map" ] || exec "$lld" "$@"
log=$(mktemp "${TMPDIR:-/tmp}/q5lld.XXXXXX")
trap 'rm -f "$log"' EXIT
"$lld" "$@" --verbose 2>"$log"
rc=$?
grep -E '(error|warning): |^ *>>> ' "$log" >&2
if [ $rc -eq 0 ]; then
  { echo
    echo "Files read and archive members taken"
    sed -n -E 's/^[^:]+: (Reading |Loaded )/\1/p' "$log"
  } >>"$map"
fi
exit $rc
