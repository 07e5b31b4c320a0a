#!/usr/bin/env python3
"""What a Windows server needs of the DLL's file, for either bitness: it
exports exactly the four functions of an in-process COM server and imports
only DLLs every Windows has (the C++ and thread runtimes are linked in, so a
bare server loads it). Helper programs shipped beside it (kvdn-xls-reader.exe)
must import only system DLLs too.

  binary_check.py FILE...   (exit status 0 when every check holds)
"""
import re
import struct
import subprocess
import sys

SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll", "odbc32.dll",
               "user32.dll"}
COM_EXPORTS = ["DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"]
MACHINES = {0x8664: "x86_64", 0x14C: "i686"}


def machine(path):
    """The target of a PE file from its header: "x86_64" or "i686"."""
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ":
        raise ValueError(path + " is not a Windows executable")
    offset = struct.unpack_from("<I", head, 0x3C)[0]
    if head[offset:offset + 4] != b"PE\0\0":
        raise ValueError(path + " has no PE header")
    code = struct.unpack_from("<H", head, offset + 4)[0]
    if code not in MACHINES:
        raise ValueError("%s: unexpected machine 0x%x" % (path, code))
    return MACHINES[code]


def checks(path):
    """(name, expected, actual) for the file at `path`."""
    target = machine(path)
    dump = subprocess.run(["%s-w64-mingw32-objdump" % target, "-p", path], capture_output=True, timeout=60,
                          check=True).stdout.decode("utf-8", "replace")
    imports = sorted({m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)})
    name = path.rsplit("/", 1)[-1]
    result = [("%s (%s) imports only system DLLs" % (name, target), [], [i for i in imports if i not in SYSTEM_DLLS])]
    if name.lower().endswith(".dll"):
        table = dump.split("[Ordinal/Name Pointer] Table")
        exports = sorted(re.findall(r"^\s*\[\s*\d+\]\s+(\w+)\s*$", table[-1], re.M)) if len(table) > 1 else []
        result.insert(0, ("%s (%s) exports" % (name, target), COM_EXPORTS, exports))
    return result


def main(paths):
    failed = 0
    for path in paths:
        for name, want, got in checks(path):
            if want == got:
                print("equal   " + name)
            else:
                failed += 1
                print("DIFFERS %s:\nexpected %r\n     got %r" % (name, want, got))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
