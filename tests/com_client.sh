#!/usr/bin/env bash
# A real COM client under Wine: regsvr32 registers the DLL, Wine's own cscript
# creates the class from VBScript, regsvr32 /u unregisters, and then creation fails.
# Usage: com_client.sh 32|64 DLL
set -uo pipefail
bits=$1
dll=$2
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
export WINEDEBUG=-all

# Wine's own programs are built in: the loader's width decides which one runs.
if [ "$bits" = 32 ]; then
  loader=/usr/lib/wine/wine; system='C:\windows\syswow64'; class_root='HKCR\Wow6432Node\CLSID'
else
  loader=/usr/lib/wine/wine64; system='C:\windows\system32'; class_root='HKCR\CLSID'
fi
run() { WINELOADER=$loader "$loader" "$@" 2>/dev/null | tr -d '\r'; }
# Starts Wine's background processes with no output of ours to hold open.
"$root/scripts/wine-run" cmd /c exit >/dev/null 2>&1
clsid='{E8DC674D-C8D6-49FF-8BF0-5003B78BA418}'
libid='{9130352E-0E93-49C2-B9C8-9FDD5BF9DA3B}'
windows_dll=$(winepath -w "$dll" 2>/dev/null)
script=$(mktemp --suffix=.vbs)
trap 'rm -f "$script"' EXIT
cat >"$script" <<'VBS'
On Error Resume Next
Set o = CreateObject("Quillmarws.ws_class")
If Err.Number <> 0 Then
  WScript.Echo "CreateObject failed " & Hex(Err.Number)
Else
  WScript.Echo "created " & TypeName(o)
End If
VBS
vbs=$(winepath -w "$script" 2>/dev/null)

failures=0
expect() {  # description, command output, pattern
  if grep -q -- "$3" <<<"$2"; then echo "ok: $1"; else echo "FAIL: $1 (got: $2)"; failures=$((failures + 1)); fi
}

# The ProgID key is shared by both registry views: one target at a time.
exec 8>"$WINEPREFIX/.com-registration.lock"
flock 8

run "$system\\regsvr32.exe" /s "$windows_dll"
expect "regsvr32 registers" "$(run "$system\\reg.exe" query "HKCR\\Quillmarws.ws_class\\CLSID")" "$clsid"
server=$(run "$system\\reg.exe" query "$class_root\\$clsid\\InprocServer32")
expect "InprocServer32 is the DLL itself" "$server" "$(basename "$dll")"
expect "apartment threading" "$server" "Apartment"
expect "type library registered" "$(run "$system\\reg.exe" query "HKCR\\TypeLib\\$libid\\1.0")" "1.0"
expect "CreateObject from VBScript" "$(run "$system\\cscript.exe" //nologo "$vbs")" "created _*ws_class"

run "$system\\regsvr32.exe" /u /s "$windows_dll"
expect "CreateObject fails once unregistered" "$(run "$system\\cscript.exe" //nologo "$vbs")" "CreateObject failed"
expect "ProgID removed" "$(run "$system\\reg.exe" query "HKCR\\Quillmarws.ws_class" || echo absent)" "absent"
expect "class removed" "$(run "$system\\reg.exe" query "$class_root\\$clsid" || echo absent)" "absent"

if [ "$failures" -eq 0 ]; then echo "COM client: all checks passed"; fi
exit $((failures > 0))
