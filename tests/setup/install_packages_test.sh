#!/usr/bin/env bash
# The package step against a stand-in apt-get that fails as a mirror caught
# mid-sync does: the update exits 100 having fetched the other lists, and the install
# cannot be resolved unless the release's own suite is the target.
set -uo pipefail

install_packages="$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-packages"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
release=$(. /etc/os-release && echo "$VERSION_CODENAME")

# FAKE_UPDATE_FAILS: how many updates fail before one succeeds; FAKE_INSTALL: "needs-t"
# (succeeds only with a target release) or "never".
cat >"$work/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE_CALLS"
case $1 in
  update)
    count=$(grep -c '^apt-get update' "$FAKE_CALLS")
    if [ "$count" -le "$FAKE_UPDATE_FAILS" ]; then
      echo "Err:6 http://mirror.test/debian-security bookworm-security/main i386 Packages"
      echo "E: Failed to fetch http://mirror.test/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  install)
    if [ "$FAKE_INSTALL" = never ] || [[ " $* " != *" -t "* ]]; then
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi ;;
esac
FAKE
# As another user than root the step calls sudo, whose own search path would skip
# the stand-in.
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin/apt-get" "$work/bin/sudo"
export PATH="$work/bin:$PATH" FAKE_CALLS="$work/calls" QWS_APT_UPDATE_PAUSE=0
checks=0
failures=0
check() {  # what, condition...
  local what=$1
  shift
  checks=$((checks + 1))
  if ! "$@"; then
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}

# A mirror that stays broken: every update fails, the install succeeds from the release.
: >"$FAKE_CALLS"
out=$(FAKE_UPDATE_FAILS=99 FAKE_INSTALL=needs-t "$install_packages" "$work/log" pkg-a pkg-b:i386 2>&1)
check "ends 0 past a failed index" test $? -eq 0
check "tries the update a bounded few times" test "$(grep -c '^apt-get update' "$FAKE_CALLS")" -eq 4
check "names the index that failed" grep -q 'binary-i386/Packages.xz' <<<"$out"
check "tries the release's own suite" grep -qx "apt-get install -y --no-install-recommends -t $release pkg-a pkg-b:i386" "$FAKE_CALLS"
check "the tool's output goes to the log" grep -q 'held broken packages' "$work/log"

# A mirror that recovers on the second try: no word of a failed index.
: >"$FAKE_CALLS"
out=$(FAKE_UPDATE_FAILS=1 FAKE_INSTALL=needs-t "$install_packages" "$work/log" pkg-a 2>&1)
check "ends 0 once the update recovers" test $? -eq 0
check "stops trying once the update succeeds" test "$(grep -c '^apt-get update' "$FAKE_CALLS")" -eq 2
check "says nothing of an index that came" test "$(grep -c 'failed to download' <<<"$out")" -eq 0

# A source that never gives the packages: a failure that says what and where.
: >"$FAKE_CALLS"
out=$(FAKE_UPDATE_FAILS=99 FAKE_INSTALL=never "$install_packages" "$work/log" pkg-a 2>&1)
check "fails when no install succeeds" test $? -ne 0
check "says what failed and what to do" grep -q "could not install pkg-a.*scripts/bootstrap again" <<<"$out"
check "shows the log's last lines" grep -q "held broken packages" <<<"$out"
check "names the log" grep -q "$work/log" <<<"$out"
check "tries twice in all" test "$(grep -c '^apt-get install' "$FAKE_CALLS")" -eq 2

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
