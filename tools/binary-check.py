#!/usr/bin/env python3
"""Reads the PE headers of the seven programs and prints what a reviewer
of an elevated component checks: ASLR, high-entropy ASLR, NX, sections
both writable and executable, the stack protector, SEH for x86 images,
terminal-server awareness, a load-configuration directory, a signature
and the imported libraries. Fails when a property the build promises is
missing (see PROMISES); the rest is shown only.

usage: binary-check.py [DIR]     (default: out/bin)
"""

import os
import struct
import sys

PROGRAMS = ("q5dmsrv64.exe", "q5dmsrv32.exe", "dmstub64.dll", "dmstub32.dll", "Chinese.dll",
            "q5dmctl64.exe", "q5dmctl32.exe")
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "shell32.dll",
               "shlwapi.dll", "setupapi.dll", "msports.dll", "msvcrt.dll", "rpcrt4.dll", "psapi.dll"}

DYNAMIC_BASE, NX_COMPAT, NO_SEH, HIGH_ENTROPY, TS_AWARE = 0x40, 0x100, 0x400, 0x20, 0x8000
RELOCS_STRIPPED = 0x0001
MEM_EXECUTE, MEM_WRITE = 0x20000000, 0x80000000
DIR_IMPORT, DIR_SECURITY, DIR_RELOC, DIR_LOAD_CONFIG = 1, 4, 5, 10
# The message of libssp's __stack_chk_fail: in an image exactly when some
# function of it was compiled with a stack guard.
SSP_MARK = b"*** stack smashing detected ***"


class Pe:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[:2] != b"MZ" or d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        self.machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.is64 = struct.unpack_from("<H", d, opt)[0] == 0x20B
        self.dll_characteristics = struct.unpack_from("<H", d, opt + 70)[0]
        count_at = opt + (108 if self.is64 else 92)
        count = struct.unpack_from("<I", d, count_at)[0]
        self.dirs = [struct.unpack_from("<II", d, count_at + 4 + 8 * i) for i in range(count)]
        self.sections = []
        for i in range(sections):
            at = opt + optional_size + 40 * i
            name, vsize, va, rsize, raw = struct.unpack_from("<8sIIII", d, at)
            flags = struct.unpack_from("<I", d, at + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode(), va, max(vsize, rsize), raw, rsize, flags))

    def dir(self, index):
        return self.dirs[index] if index < len(self.dirs) else (0, 0)

    def offset(self, rva):
        for _, va, size, raw, rsize, _ in self.sections:
            if va <= rva < va + size and rva - va < rsize:
                return raw + rva - va
        raise ValueError("rva %#x is in no section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii", "replace")

    def imports(self):
        rva, size = self.dir(DIR_IMPORT)
        names = []
        while size:
            at = self.offset(rva + 20 * len(names))
            entry = struct.unpack_from("<IIIII", self.data, at)
            if not any(entry):
                return names
            names.append(self.cstring(entry[3]).lower())
        return names

    def code(self):
        for _, _, _, raw, rsize, flags in self.sections:
            if flags & MEM_EXECUTE:
                yield self.data[raw:raw + rsize]


def fs0_uses(code):
    """Instructions that read or write fs:[0], the head of the x86 SEH
    chain: push/pop and mov with a 32-bit displacement of 0."""
    found = 0
    at = code.find(b"\x64")
    while at >= 0:
        op, rest = code[at + 1:at + 2], code[at + 2:at + 8]
        if op in (b"\xA1", b"\xA3") and rest[:4] == b"\0\0\0\0":
            found += 1
        elif op in (b"\x89", b"\x8B", b"\xFF", b"\x8F") and rest[:1] and rest[0] & 0xC7 == 0x05 \
                and rest[1:5] == b"\0\0\0\0" and (op != b"\xFF" or rest[0] == 0x35) and (op != b"\x8F" or rest[0] == 0x05):
            found += 1
        at = code.find(b"\x64", at + 1)
    return found


def examine(path):
    pe = Pe(path)
    name = os.path.basename(path)
    exe = name.endswith(".exe")
    c = pe.dll_characteristics
    row = {
        "file": name,
        "machine": "x64" if pe.is64 else "x86",
        "ASLR": bool(c & DYNAMIC_BASE) and not pe.characteristics & RELOCS_STRIPPED and pe.dir(DIR_RELOC)[1] > 0,
        "HE-ASLR": bool(c & HIGH_ENTROPY) if pe.is64 else None,
        "NX": bool(c & NX_COMPAT),
        "W^X": not any(s[5] & MEM_WRITE and s[5] & MEM_EXECUTE for s in pe.sections),
        "stack guard": SSP_MARK in pe.data,
        "tsaware": bool(c & TS_AWARE) if exe else None,
        "load config": pe.dir(DIR_LOAD_CONFIG)[1] > 0,
        "signed": pe.dir(DIR_SECURITY)[1] > 0,
    }
    if pe.is64:
        row["SEH"] = None
    else:
        uses = sum(fs0_uses(code) for code in pe.code())
        mark = "no-SEH" if c & NO_SEH else ("SafeSEH?" if row["load config"] else "neither")
        row["SEH"] = "%s, fs:[0] x%d" % (mark, uses) if uses else mark
    foreign = [dll for dll in pe.imports() if dll not in SYSTEM_DLLS]
    row["imports"] = "system" if not foreign else " ".join(foreign)
    return row


# What the build promises, per file; a missing one fails the check.
def promises(row):
    wanted = {"ASLR": True, "NX": True, "W^X": True, "imports": "system"}
    if row["machine"] == "x64":
        wanted["HE-ASLR"] = True
    else:
        # True only when nothing in the image links a frame into the chain.
        wanted["SEH"] = "no-SEH"
    if row["file"].endswith(".exe"):
        # The DLLs: dmstub is built without the C runtime the guard needs,
        # and Chinese.dll has no function with a local buffer.
        wanted.update({"tsaware": True, "stack guard": True})
    return wanted


COLUMNS = ("file", "machine", "ASLR", "HE-ASLR", "NX", "W^X", "stack guard", "SEH", "tsaware", "load config",
           "signed", "imports")


def shown(value):
    if value is None or isinstance(value, bool):
        return {True: "yes", False: "no", None: "-"}[value]
    return value


def main(argv):
    folder = argv[1] if len(argv) > 1 else "out/bin"
    rows, failures = [], []
    for name in PROGRAMS:
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            failures.append("%s: missing" % path)
            continue
        row = examine(path)
        rows.append(row)
        for key, value in promises(row).items():
            if row[key] != value:
                failures.append("%s: %s is %s, the build promises %s" % (name, key, shown(row[key]), shown(value)))
    table = [[shown(row[c]) for c in COLUMNS] for row in rows]
    widths = [max(len(c), *(len(r[i]) for r in table)) if table else len(c) for i, c in enumerate(COLUMNS)]
    for line in [list(COLUMNS)] + table:
        print("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip())
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
