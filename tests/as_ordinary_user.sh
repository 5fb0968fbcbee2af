#!/usr/bin/env bash
# Runs a test program as the unprivileged user "nobody"; exit 77 (skipped) where
# that user cannot reach the build tree.
as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if ! "${as_nobody[@]}" test -x "$1"; then
  echo "skipped: the build tree is closed to an ordinary user"
  exit 77
fi
exec "${as_nobody[@]}" "$@"
