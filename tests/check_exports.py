#!/usr/bin/env python3
"""Checks the built library's export table against the .def file.

Windows DLL: every name at its ordinal, ShutdownTCP and CloseTCP one function,
DllMain exported from a function that is neither the loader's entry point nor the
DllMain that the runtime's start-up calls, only system DLLs imported, and the
version resource. Linux: exactly the .def's names plus the Linux additions.
"""
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "oleaut32.dll", "ole32.dll", "user32.dll",
               "wsock32.dll", "ws2_32.dll", "advapi32.dll", "crypt32.dll"}
LINUX_ADDITIONS = {"HostStringAlloc", "HostStringAllocBytes", "HostStringByteLen",
                   "HostStringFree", "SetMessagePump"}
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def read_def(path):
    exports = {}
    aliases = {}
    for line in open(path):
        m = re.match(r"\s+(\w+)(?:@\d+)?(?:\s*=\s*(\w+)(?:@\d+)?)?\s+@(\d+)", line)
        if m:
            exports[m.group(1)] = int(m.group(3))
            if m.group(2):
                aliases[m.group(1)] = m.group(2)
    return exports, aliases


def check_windows(dll, exports, aliases, nm):
    dump = subprocess.run(["objdump", "-p", dll], capture_output=True, text=True, check=True).stdout
    base = int(re.search(r"Ordinal Base\s+(\d+)", dump).group(1))
    entry = int(re.search(r"AddressOfEntryPoint\s+([0-9a-fA-F]+)", dump).group(1), 16)
    image_base = int(re.search(r"ImageBase\s+([0-9a-fA-F]+)", dump).group(1), 16)
    rva = {int(o) + base: int(a, 16)
           for o, a in re.findall(r"\[\s*(\d+)\] \+base\[\s*\d+\]\s+([0-9a-f]+) Export RVA", dump)}
    names = dict((n, int(o) + base)
                 for o, n in re.findall(r"^\s+\[\s*(\d+)\] (\w+)$", dump.split("[Ordinal/Name Pointer] Table")[1], re.M))
    check(names == exports, f"exported names and ordinals {sorted(names.items())} differ from the .def")
    check(rva.get(exports["ShutdownTCP"]) == rva.get(exports["CloseTCP"]),
          "ShutdownTCP and CloseTCP are not one function")

    symbols = {}
    for line in subprocess.run([nm, dll], capture_output=True, text=True, check=True).stdout.splitlines():
        parts = line.split()
        if len(parts) == 3:
            symbols[parts[2].lstrip("_").split("@")[0]] = int(parts[0], 16) - image_base
    exported_main = rva.get(exports["DllMain"])
    check(exported_main == symbols.get(aliases["DllMain"]), "ordinal 1 is not the library's DllMain")
    check(exported_main != entry, "the exported DllMain is the loader's entry point")
    check(exported_main != symbols.get("DllMain"), "the runtime's start-up would call the exported DllMain")

    imports = {n.lower() for n in re.findall(r"DLL Name: (\S+)", dump)}
    check(imports <= SYSTEM_DLLS, f"imports beyond system DLLs: {sorted(imports - SYSTEM_DLLS)}")

    data = open(dll, "rb").read()
    for text in ("040904B0", "OLESelfRegister", "FileVersion", "1.00"):
        check(text.encode("utf-16-le") in data, f"version resource lacks {text!r}")


def check_linux(library, exports, aliases):
    out = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True, text=True,
                         check=True).stdout
    address = {p[2]: p[0] for p in (l.split() for l in out.splitlines()) if len(p) == 3}
    expected = set(exports) | LINUX_ADDITIONS
    check(set(address) == expected,
          f"exported {sorted(set(address) ^ expected)} differ from the .def and the Linux additions")
    check(address.get("ShutdownTCP") == address.get("CloseTCP"), "ShutdownTCP and CloseTCP differ")


def main():
    kind, library, def_file = sys.argv[1:4]
    exports, aliases = read_def(def_file)
    check(sorted(exports.values()) == list(range(1, len(exports) + 1)), "ordinals are not 1..N")
    if kind == "windows":
        check_windows(library, exports, aliases, sys.argv[4])
    else:
        check_linux(library, exports, aliases)
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print("export table as the .def gives it")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
