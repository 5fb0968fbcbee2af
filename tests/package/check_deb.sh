#!/usr/bin/env bash
# The Debian package as dpkg and lintian see it: control fields with computed
# dependencies and the library's shlibs, the files where Debian looks for them, the
# SONAME, the licence as the copyright file, and no lintian errors.
# Usage: check_deb.sh DEB VERSION
set -uo pipefail
deb=$1
version=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() {  # description, actual, pattern
  if grep -q -- "$3" <<<"$2"; then echo "ok: $1"; else echo "FAIL: $1 (got: $2)"; failures=$((failures + 1)); fi
}
major=${version%%.*}

expect "package name and version" "$(dpkg-deb -f "$deb" Package Version)" "^Package: quillmar-ws"$'\n'"Version: $version$"
expect "architecture" "$(dpkg-deb -f "$deb" Architecture)" "^$(dpkg --print-architecture)$"
# Versioned library dependencies come only from dpkg-shlibdeps.
expect "computed dependencies" "$(dpkg-deb -f "$deb" Depends)" "libc6 (>= [0-9.]*).*libstdc++6 (>= "
dpkg-deb -e "$deb" "$work/control"
expect "shlibs" "$(cat "$work/control/shlibs")" "^libQuillmar_ws $major quillmar-ws (>= $version)$"
expect "ldconfig trigger" "$(cat "$work/control/triggers" 2>&1)" "^activate-noawait ldconfig$"

contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for path in usr/lib/libQuillmar_ws.so.$version usr/lib/libQuillmar_ws.so.$major usr/lib/libQuillmar_ws.so \
            usr/include/Quillmar_ws.h usr/lib/pkgconfig/Quillmar_ws.pc \
            usr/lib/cmake/Quillmar_ws/Quillmar_wsConfig.cmake usr/lib/cmake/Quillmar_ws/Quillmar_wsConfigVersion.cmake \
            usr/bin/qws usr/lib/python3/dist-packages/quillmar_ws.py \
            usr/share/doc/quillmar-ws/copyright usr/share/doc/quillmar-ws/changelog.gz; do
  expect "contains /$path" "$contents" "^\./$path$"
done

dpkg-deb -x "$deb" "$work/tree"
expect "SONAME" "$(readelf -d "$work/tree/usr/lib/libQuillmar_ws.so.$version")" "(SONAME).*\[libQuillmar_ws\.so\.$major\]"
expect "pkg-config version" "$(grep '^Version:' "$work/tree/usr/lib/pkgconfig/Quillmar_ws.pc")" "^Version: $version$"
# The licence's terms, in the copyright file's indented form.
terms=$(sed -n '/^Permission/,$p' "$root/LICENSE" | sed '/^$/d' | tr -s ' \n' '  ')
shipped=$(sed -n '/^ Permission/,$p' "$work/tree/usr/share/doc/quillmar-ws/copyright" | sed '/^ \.$/d' | tr -s ' \n' '  ')
expect "the licence is the copyright file's" "${shipped# }" "^${terms%% }"

lint=$(lintian --fail-on error "$deb" 2>/dev/null)
status=$?
echo "$lint"
expect "lintian reports no errors" "status $status $(grep -c '^E:' <<<"$lint")" "^status 0 0$"

if [ "$failures" -eq 0 ]; then echo "Debian package: all checks passed"; fi
exit $((failures > 0))
