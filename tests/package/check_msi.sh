#!/usr/bin/env bash
# The MSI's whole cycle under Wine, in a throwaway prefix of its own (installing
# touches the machine-wide registry and Program Files): msiexec /i puts every file
# of the ZIP into Program Files and registers the class and type library, so that
# the matching cscript's CreateObject works; msiexec /x takes all of it away again.
# Usage: check_msi.sh 32|64 MSI ZIP
set -uo pipefail
bits=$1
msi=$2
zip=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
# shellcheck source=../support/wine_com.sh
source "$root/tests/support/wine_com.sh" "$bits"

# Without Mono and Gecko, which no check needs, the prefix is made in seconds.
WINEDLLOVERRIDES="mscoree=;mshtml=" wineboot -i >/dev/null 2>&1
if [ "$bits" = 32 ]; then program_files="Program Files (x86)"; else program_files="Program Files"; fi
installed="$WINEPREFIX/drive_c/$program_files/Quillmar_ws"
write_create_script "$work"
windows_msi=$(winepath -w "$msi" 2>/dev/null)
# The ZIP's files, without its top folder: what the MSI installs too.
files=$(python3 -m zipfile -l "$zip" | awk 'NR > 1 && $1 !~ /\/$/ { print $1 }' | cut -d/ -f2-)
[ -n "$files" ] || { echo "FAIL: no files listed in $zip"; exit 1; }

run msiexec /i "$windows_msi" /qn
missing=""
for file in $files; do [ -f "$installed/$file" ] || missing+=" $file"; done
expect "every file of the ZIP installed" "${missing:-none missing}" "none missing"
expect "class registered by ProgID" "$(run "$system\\reg.exe" query "HKCR\\Quillmarws.ws_class\\CLSID")" "$clsid"
expect "InprocServer32 is the installed DLL" \
  "$(run "$system\\reg.exe" query "$class_root\\$clsid\\InprocServer32")" \
  "$program_files\\\\Quillmar_ws\\\\bin\\\\Quillmar_ws.dll"
expect "type library registered" "$(run "$system\\reg.exe" query "HKCR\\TypeLib\\$libid\\1.0\\0\\win$bits")" \
  "Quillmar_ws.dll"
expect "CreateObject from the $bits-bit cscript" "$(create_object)" "created _*ws_class"

run msiexec /x "$windows_msi" /qn
expect "installed folder removed" "$([ -e "$installed" ] || echo absent)" "absent"
expect "ProgID removed" "$(absent "HKCR\\Quillmarws.ws_class")" "absent"
expect "class removed" "$(absent "$class_root\\$clsid")" "absent"
expect "type library removed" "$(absent "HKCR\\TypeLib\\$libid")" "absent"
expect "interface removed" "$(absent "HKCR\\Interface\\$iid")" "absent"
expect "CreateObject fails once uninstalled" "$(create_object)" "CreateObject failed"

if [ "$failures" -eq 0 ]; then echo "MSI cycle: all checks passed"; fi
exit $((failures > 0))
