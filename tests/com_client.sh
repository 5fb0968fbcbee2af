#!/usr/bin/env bash
# A real COM client under Wine: regsvr32 registers the DLL, Wine's own cscript
# creates the class from VBScript, regsvr32 /u unregisters, and then creation fails.
# Usage: com_client.sh 32|64 DLL
set -uo pipefail
bits=$1
dll=$2
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=support/wine_com.sh
source "$root/tests/support/wine_com.sh" "$bits"
# The ProgID key is shared by both registry views: one target at a time. flock holds
# the lock itself (-o): a Wine process started meanwhile, such as the desktop that
# regsvr32 brings up, would inherit the descriptor and hold the lock for as long as
# it lives, which beside a running suite is as long as any other Wine program runs.
if [ -z "${QWS_COM_LOCK_HELD:-}" ]; then
  QWS_COM_LOCK_HELD=1 exec flock -o "$WINEPREFIX/.com-registration.lock" bash "$0" "$@"
fi

# Starts Wine's background processes with no output of ours to hold open.
"$root/scripts/wine-run" cmd /c exit >/dev/null 2>&1
windows_dll=$(winepath -w "$dll" 2>/dev/null)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
write_create_script "$scratch"

run "$system\\regsvr32.exe" /s "$windows_dll"
expect "regsvr32 registers" "$(run "$system\\reg.exe" query "HKCR\\Quillmarws.ws_class\\CLSID")" "$clsid"
server=$(run "$system\\reg.exe" query "$class_root\\$clsid\\InprocServer32")
expect "InprocServer32 is the DLL itself" "$server" "$(basename "$dll")"
expect "apartment threading" "$server" "Apartment"
expect "type library registered" "$(run "$system\\reg.exe" query "HKCR\\TypeLib\\$libid\\1.0")" "1.0"
expect "CreateObject from VBScript" "$(create_object)" "created _*ws_class"

run "$system\\regsvr32.exe" /u /s "$windows_dll"
expect "CreateObject fails once unregistered" "$(create_object)" "CreateObject failed"
expect "ProgID removed" "$(absent "HKCR\\Quillmarws.ws_class")" "absent"
expect "class removed" "$(absent "$class_root\\$clsid")" "absent"

if [ "$failures" -eq 0 ]; then echo "COM client: all checks passed"; fi
exit $((failures > 0))
