# Shared by the COM client tests under Wine; sourced with the bitness (32 or 64)
# as its argument. Wine's own programs are built in: the loader's width decides
# which one runs.
# shellcheck source=../../scripts/wine-env
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env"
if [ "$1" = 32 ]; then
  loader=$wine32_loader; system='C:\windows\syswow64'; class_root='HKCR\Wow6432Node\CLSID'
else
  loader=$wine64_loader; system='C:\windows\system32'; class_root='HKCR\CLSID'
fi
clsid='{E8DC674D-C8D6-49FF-8BF0-5003B78BA418}'
libid='{9130352E-0E93-49C2-B9C8-9FDD5BF9DA3B}'
iid='{7E46C0B9-F4F1-4DF5-B0BA-D18712DDCB6C}'

run() { "$loader" "$@" 2>/dev/null | tr -d '\r'; }

# Writes DIR/create.vbs, which reports "created" or "CreateObject failed", and sets
# vbs to its Windows path.
write_create_script() {
  cat >"$1/create.vbs" <<'VBS'
On Error Resume Next
Set o = CreateObject("Quillmarws.ws_class")
If Err.Number <> 0 Then
  WScript.Echo "CreateObject failed " & Hex(Err.Number)
Else
  WScript.Echo "created " & TypeName(o)
End If
VBS
  vbs=$(winepath -w "$1/create.vbs" 2>/dev/null)
}
create_object() { run "$system\\cscript.exe" //nologo "$vbs"; }

failures=0
expect() {  # description, command output, pattern
  if grep -q -- "$3" <<<"$2"; then echo "ok: $1"; else echo "FAIL: $1 (got: $2)"; failures=$((failures + 1)); fi
}
absent() { run "$system\\reg.exe" query "$1" >/dev/null || echo absent; }
