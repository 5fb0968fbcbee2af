#!/usr/bin/env bash
# The Debian packages as dpkg and lintian see them: the runtime package named after
# the SONAME with its shlibs and the ldconfig trigger but no maintainer scripts, the
# development package, qws with its manual page, the Python module; each package's
# exact files, computed dependencies, the SONAME, the licence as every copyright
# file, and lintian without errors or unexplained warnings.
# Usage: check_deb.sh VERSION DEB...
set -uo pipefail
version=$1
shift
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() {  # description, actual, pattern
  if grep -q -- "$3" <<<"$2"; then echo "ok: $1"; else echo "FAIL: $1 (got: $2)"; failures=$((failures + 1)); fi
}
major=${version%%.*}
arch=$(dpkg --print-architecture)
runtime=libquillmar-ws$major
lib=usr/lib/libQuillmar_ws.so
cmake_dir=usr/lib/cmake/Quillmar_ws
declare -A files=(
  [$runtime]="$lib.$major $lib.$version"
  [libquillmar-ws-dev]="$lib usr/include/Quillmar_ws.h usr/lib/pkgconfig/Quillmar_ws.pc
    $cmake_dir/Quillmar_wsConfig.cmake $cmake_dir/Quillmar_wsConfigVersion.cmake
    $cmake_dir/Quillmar_wsTargets.cmake $cmake_dir/Quillmar_wsTargets-relwithdebinfo.cmake"
  [quillmar-ws-tools]="usr/bin/qws usr/share/man/man1/qws.1.gz"
  [python3-quillmar-ws]="usr/lib/python3/dist-packages/quillmar_ws.py")
declare -A depends=(
  [$runtime]="libc6 (>= [0-9.]*).*libssl3 (>= [0-9.]*).*libstdc++6 (>= "
  [libquillmar-ws-dev]="^$runtime (= $version)$"
  [quillmar-ws-tools]="^$runtime (>= $version), libc6 (>= "
  [python3-quillmar-ws]="^python3:any, $runtime (>= $version)$")
terms=$(sed -n '/^Permission/,$p' "$root/LICENSE" | sed '/^$/d' | tr -s ' \n' '  ')

mkdir "$work/control"
declare -A deb_of=()
for deb in "$@"; do deb_of[$(dpkg-deb -f "$deb" Package)]=$deb; done
expect "the packages" "$(printf '%s\n' "${!deb_of[@]}" | sort | tr '\n' ' ')" \
  "^$(printf '%s\n' "${!files[@]}" | sort | tr '\n' ' ')$"

for package in "${!files[@]}"; do
  deb=${deb_of[$package]:-}
  [ -n "$deb" ] || continue
  package_arch=$arch
  [ "$package" = python3-quillmar-ws ] && package_arch=all
  expect "$package: version, architecture and source" \
    "$(dpkg-deb -f "$deb" Version Architecture Source | tr '\n' ' ')" \
    "^Version: $version Architecture: $package_arch Source: quillmar-ws $"
  expect "$package: dependencies" "$(dpkg-deb -f "$deb" Depends)" "${depends[$package]}"
  # Its own files, nothing of another package's (dpkg refuses two owners of a file).
  expected=$(for f in ${files[$package]} usr/share/doc/$package/copyright usr/share/doc/$package/changelog.gz; do
               echo "$f"; done | sort | tr '\n' ' ')
  expect "$package: exactly its files" \
    "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort | tr '\n' ' ')" \
    "^$expected$"
  dpkg-deb -e "$deb" "$work/control/$package"
  dpkg-deb -x "$deb" "$work/tree"
  shipped=$(sed -n '/^ Permission/,$p' "$work/tree/usr/share/doc/$package/copyright" | sed '/^ \.$/d' | tr -s ' \n' '  ')
  expect "$package: the licence is the copyright file's" "${shipped# }" "^${terms%% }"
done

control=$work/control/$runtime
expect "shlibs" "$(cat "$control/shlibs" 2>&1)" "^libQuillmar_ws $major $runtime (>= $version)$"
expect "ldconfig trigger" "$(cat "$control/triggers" 2>&1)" "^activate-noawait ldconfig$"
expect "no maintainer scripts beside the trigger" "$(cd "$control" && echo *)" "^control md5sums shlibs triggers$"
expect "SONAME" "$(readelf -d "$work/tree/$lib.$version")" "(SONAME).*\[libQuillmar_ws\.so\.$major\]"
expect "pkg-config version" "$(grep '^Version:' "$work/tree/usr/lib/pkgconfig/Quillmar_ws.pc")" "^Version: $version$"
# The manual page has an entry (a .TP tag) for every option that qws --help lists.
help=$(LD_LIBRARY_PATH="$work/tree/usr/lib" "$work/tree/usr/bin/qws" --help)
tags=$(zcat "$work/tree/usr/share/man/man1/qws.1.gz" | sed 's/\\-/-/g' | awk 'previous == ".TP" { print } { previous = $0 }')
mapfile -t options < <(grep -o -- '--[a-z-]*' <<<"$help" | sort -u)
for option in "${options[@]}"; do
  expect "the manual page explains $option" "$tags" "^\.[BIR]* $option\b"
done

lint=$(lintian --fail-on error "$@" 2>/dev/null)
status=$?
echo "$lint"
expect "lintian reports no errors" "status $status $(grep -c '^E:' <<<"$lint")" "^status 0 0$"
# The .pc file stays in /usr/lib, not in the multiarch folder that cross builds search.
expect "lintian warns of nothing else" \
  "$(grep '^W:' <<<"$lint" | grep -v ': pkg-config-unavailable-for-cross-compilation ' | tr '\n' ' ')" "^$"

if [ "$failures" -eq 0 ]; then echo "Debian packages: all checks passed"; fi
exit $((failures > 0))
