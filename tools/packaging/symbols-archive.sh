#!/bin/bash
# Packs a symbols folder as the release's archive, whose bytes depend on the
# files' contents and the given time only: sorted names, no owner, every
# file readable and every folder readable and searchable by anyone who
# unpacks it (X: the execute bit on folders only).
#
# usage: symbols-archive.sh PARENT ARCHIVE SECONDS   (packs PARENT/symbols)
set -eu
parent=$1 archive=$2 seconds=$3
tar -C "$parent" --sort=name --mtime="@$seconds" --owner=0 --group=0 --numeric-owner --mode=u=rwX,go=rX \
  -cf - symbols | gzip -n -9 >"$archive"
