#!/usr/bin/env bash
# The Windows ZIP holds exactly what Windows users are promised, under one top folder:
# the DLL without its debug information and, beside it, the file that has it (the
# DLL's debug link names it), both import libraries, the header, the .def, qws.exe,
# the Visual Basic module once the tree has it, the README and the licence.
# Usage: check_zip.sh ZIP OBJDUMP
set -uo pipefail
zip=$1
objdump=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() {  # description, actual, expected
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAIL: $1 (got: $2; expected: $3)"; failures=$((failures + 1)); fi
}

top=$(basename "$zip" .zip)
expected="bin/Quillmar_ws.dll bin/Quillmar_ws.dll.debug bin/qws.exe include/Quillmar_ws.h
          lib/Quillmar_ws.def lib/Quillmar_ws.lib lib/libQuillmar_ws.dll.a README.txt LICENSE.txt"
for module in "$root"/hosts/vb/*.bas "$root"/hosts/vb/*.frm; do
  [ -e "$module" ] && expected+=" vb/$(basename "$module")"
done
listed=$(python3 -m zipfile -l "$zip" | awk 'NR > 1 && $1 !~ /\/$/ { print $1 }' | sort)
expect "the files, under $top/" "$(echo "$listed" | tr '\n' ' ')" \
  "$(for f in $expected; do echo "$top/$f"; done | sort | tr '\n' ' ')"

python3 -m zipfile -e "$zip" "$work"
bin="$work/$top/bin"
sections() { "$objdump" -h "$1" | awk '{ print $2 }'; }
expect "the DLL carries no debug information" "$(sections "$bin/Quillmar_ws.dll" | grep -c '^\.debug_')" 0
expect "the debug file carries it" "$(sections "$bin/Quillmar_ws.dll.debug" | grep -q '^\.debug_info' && echo yes)" yes
# The section's dump, its text column joined: the name, then padding and a checksum.
link=$("$objdump" -s -j .gnu_debuglink "$bin/Quillmar_ws.dll" | awk '/^ [0-9a-f]+ / { printf "%s", $NF }' |
       grep -o '^Quillmar_ws\.dll\.debug')
expect "the DLL's debug link names the file beside it" "$link" "Quillmar_ws.dll.debug"
expect "qws.exe carries no debug information" "$(sections "$bin/qws.exe" | grep -c '^\.debug_')" 0
expect "the licence is the project's, with Windows line ends" \
  "$(tr -d '\r' <"$work/$top/LICENSE.txt" | cmp -s - "$root/LICENSE" && grep -c $'\r$' <"$work/$top/LICENSE.txt")" \
  "$(wc -l <"$root/LICENSE")"
expect "the two import libraries hold the same imports" \
  "$(cmp -s "$work/$top/lib/Quillmar_ws.lib" "$work/$top/lib/libQuillmar_ws.dll.a" && echo same)" same

if [ "$failures" -eq 0 ]; then echo "ZIP: all checks passed"; fi
exit $((failures > 0))
