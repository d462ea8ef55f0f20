#!/bin/bash
# Prints the release notes of a commit: the commits since the current
# version was set in the server's version resource. Read from the history
# alone, so that every clone gives the same notes: tags differ between
# clones, and so does the length that %h abbreviates a hash to, which grows
# with the objects a clone holds; a hash is cut to 12 digits instead.
#
# usage: release-notes.sh COMMIT VERSION     (run inside the checkout)
set -eu
commit=$1 version=$2
set_at=$(git log -1 --format=%H -G '^[[:space:]]*FILEVERSION' "$commit" -- src/server/server.rc)
echo "Q5 DM server $version"
echo "Commit $commit, $(git show -s --format=%cd --date=format:%Y-%m-%d "$commit")"
echo
echo "Changes since version $version was set:"
# The commit that set it and what followed it: everything reachable from
# the release but not from that commit's parents.
# A history that does not reach the setting commit (a shallow clone) lists
# all it has.
parents=()
[ -z "$set_at" ] || read -r -a parents <<<"$(git rev-parse "$set_at^@" | tr '\n' ' ')"
git log --no-merges --format='%H %s' "$commit" ${parents[@]+--not "${parents[@]}"} |
  sed -E 's/^([0-9a-f]{12})[0-9a-f]* (.*)$/- \2 (\1)/'
