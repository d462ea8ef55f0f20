#!/usr/bin/env python3
"""Reads the PE headers of the seven programs and prints what a reviewer
of an elevated component checks: ASLR, high-entropy ASLR, NX, sections
both writable and executable, the stack protector, control-flow guard,
SEH for x86 images,
terminal-server awareness, a load-configuration directory, a signature,
the imported libraries, and whether the image ships stripped with its
PDB in the symbol store (tools/symbol_store.py). Fails when a property the build promises is
missing (see PROMISES); the rest is shown only.

usage: binary-check.py [DIR [SYMBOLS]]   (default: out/bin, and the
                                          symbol store "symbols" beside DIR)
"""

import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from system_python import import_debian_package  # noqa: E402

pefile = import_debian_package("pefile", "binary-check")
import symbol_store  # noqa: E402


def read_programs():
    with open(os.path.join(HERE, "programs.txt"), encoding="utf-8") as f:
        return [line.strip() for line in f if line.strip() and not line.startswith("#")]


PROGRAMS = read_programs()
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "shell32.dll",
               "shlwapi.dll", "setupapi.dll", "msports.dll", "msvcrt.dll", "rpcrt4.dll", "psapi.dll"}

DLL = pefile.DLL_CHARACTERISTICS
DYNAMIC_BASE = DLL["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"]
NX_COMPAT = DLL["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"]
NO_SEH = DLL["IMAGE_DLLCHARACTERISTICS_NO_SEH"]
HIGH_ENTROPY = DLL["IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"]
TS_AWARE = DLL["IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE"]
GUARD_CF = 0x4000
# The load configuration's GuardFlags: calls checked, a table of valid targets.
GUARD_CF_INSTRUMENTED, GUARD_CF_FUNCTION_TABLE_PRESENT = 0x100, 0x400
RELOCS_STRIPPED = pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]
MEM_EXECUTE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
MEM_WRITE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
DIRS = pefile.DIRECTORY_ENTRY
CODEVIEW = pefile.DEBUG_TYPE["IMAGE_DEBUG_TYPE_CODEVIEW"]
# The stack guard's failure routine, and libssp's own caller of it.
GUARD_FAIL, GUARD_FAIL_LOCAL = "__stack_chk_fail", "__stack_chk_fail_local"


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        self.pe = pefile.PE(data=self.data, fast_load=True)
        self.pe.parse_data_directories(directories=[DIRS[d] for d in (
            "IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT", "IMAGE_DIRECTORY_ENTRY_DEBUG",
            "IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG")])
        self.is64 = self.pe.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS
        header = self.pe.FILE_HEADER
        # Names longer than eight characters (.debug_info and the like)
        # are "/offset" into the string table after the symbols.
        self.strings = header.PointerToSymbolTable + 18 * header.NumberOfSymbols if header.PointerToSymbolTable else 0
        self.sections = [(self.section_name(s.Name), s) for s in self.pe.sections]

    def string(self, offset):
        start = self.strings + offset
        return self.data[start:self.data.index(b"\0", start)].decode("ascii", "replace")

    def section_name(self, raw):
        name = raw.rstrip(b"\0").decode("ascii", "replace")
        return self.string(int(name[1:])) if name[1:].isdigit() and self.strings else name

    def dir_size(self, name):
        entries = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY
        index = DIRS[name]
        return entries[index].Size if index < len(entries) else 0

    def imports(self):
        names = [e.dll for e in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", [])]
        names += [e.dll for e in getattr(self.pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
        return [n.decode("ascii", "replace").lower() for n in names]

    def code(self):
        for _, s in self.sections:
            if s.Characteristics & MEM_EXECUTE:
                yield s.VirtualAddress, s.get_data()

    def symbols(self):
        """The COFF symbol table: {name: rva}, section-less symbols left out."""
        header = self.pe.FILE_HEADER
        at, count = header.PointerToSymbolTable, header.NumberOfSymbols
        if not at or not count:
            return {}
        found, i = {}, 0
        while i < count:
            raw, value, section, _, _, aux = struct.unpack_from("<8sIhHBB", self.data, at + 18 * i)
            if raw[:4] == b"\0\0\0\0":
                name = self.string(struct.unpack_from("<I", raw, 4)[0])
            else:
                name = raw.rstrip(b"\0").decode("ascii", "replace")
            if 0 < section <= len(self.sections):
                found.setdefault(name, (section, self.sections[section - 1][1].VirtualAddress + value))
            i += 1 + aux
        return found

    def debug_sections(self):
        return [n for n, _ in self.sections if n.startswith(".debug")]

    def codeview(self):
        """The RSDS record: (PDB name, GUID bytes, age), or None."""
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_DEBUG", []):
            if entry.struct.Type == CODEVIEW and entry.entry is not None and entry.entry.name == "CV_INFO_PDB70":
                # The GUID's 16 bytes as the record holds them, after "RSDS".
                at = entry.struct.PointerToRawData + 4
                e = entry.entry
                return e.PdbFileName.rstrip(b"\0").decode("utf-8", "replace"), self.data[at:at + 16], e.Age
        return None

    def rva_symbols(self, publics):
        """A PDB's public symbols as symbols() gives the image's own."""
        return {name: (section, self.sections[section - 1][1].VirtualAddress + offset)
                for name, (section, offset) in publics.items() if 0 < section <= len(self.sections)}


def guard_calls(image, symbols):
    """Call sites of the guard's failure routine outside libssp itself: a
    function compiled with the guard calls it on its way out. None when no
    symbol table says where the routine is."""
    prefix = "" if image.is64 else "_"
    fail = symbols.get(prefix + GUARD_FAIL)
    if fail is None:
        return None if not symbols else 0
    local = symbols.get(prefix + GUARD_FAIL_LOCAL)
    # libssp's local entry calls the routine too; its span ends at the next
    # symbol of its section.
    skip = (0, 0)
    if local:
        after = [rva for section, rva in symbols.values() if section == local[0] and rva > local[1]]
        skip = (local[1], min(after) if after else local[1] + 16)
    calls = 0
    for base, code in image.code():
        for match in re.finditer(b"\xE8", code):
            at = match.start()
            if at + 5 > len(code):
                break
            site = base + at
            if site + 5 + struct.unpack_from("<i", code, at + 1)[0] == fail[1] and not skip[0] <= site < skip[1]:
                calls += 1
    return calls


def guard_cf_gaps(image):
    """What control-flow guard lacks in the image: the mark in the header,
    and in the load configuration the instrumented flag, a table of valid
    targets, and the check and dispatch pointers, each within the image."""
    gaps = []
    if not image.pe.OPTIONAL_HEADER.DllCharacteristics & GUARD_CF:
        gaps.append("flag")
    config = getattr(image.pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    config = config.struct if config is not None else None
    field = lambda name: getattr(config, name, 0) or 0  # noqa: E731  (older layouts lack the guard fields)
    base, size = image.pe.OPTIONAL_HEADER.ImageBase, image.pe.OPTIONAL_HEADER.SizeOfImage
    inside = lambda va: base <= va < base + size  # noqa: E731
    if not field("GuardFlags") & GUARD_CF_INSTRUMENTED:
        gaps.append("instrumented")
    if not (field("GuardFlags") & GUARD_CF_FUNCTION_TABLE_PRESENT and inside(field("GuardCFFunctionTable"))
            and field("GuardCFFunctionCount") > 0):
        gaps.append("function table")
    for name, pointer in (("check pointer", "GuardCFCheckFunctionPointer"),
                          ("dispatch pointer", "GuardCFDispatchFunctionPointer")):
        if not inside(field(pointer)):
            gaps.append(name)
    return gaps


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


def pdb_name(name):
    return os.path.splitext(name)[0] + ".pdb"


def names_own_pdb(image, name):
    """The CodeView record names NAME.pdb by file name only: a debugger
    looks the name up on its symbol path, and a build folder in the image
    would be a path of the build machine."""
    record = image.codeview()
    return record is not None and record[0] == pdb_name(name)


def store_pdb(image, name, store):
    """The path of the PDB that the store holds for the image's CodeView
    record, or None."""
    record = image.codeview()
    if record is None:
        return None
    path = os.path.join(store, pdb_name(name), symbol_store.pdb_key(record[1], record[2]), pdb_name(name))
    return path if os.path.isfile(path) else None


def symbol_store_state(image, path, store):
    """"matches" when the store holds the image under its time stamp and
    size, and a PDB of the GUID and age of its CodeView record under those;
    else what is wrong."""
    name = os.path.basename(path)
    stored = os.path.join(store, name, symbol_store.image_key(path), name)
    if not os.path.isfile(stored):
        return "no image"
    with open(stored, "rb") as f:
        if f.read() != image.data:
            return "image differs"
    pdb = store_pdb(image, name, store)
    if pdb is None:
        return "no PDB"
    record = image.codeview()
    if symbol_store.Pdb(pdb).identity() != (record[1], record[2]):
        return "PDB id differs"
    return "matches"


def image_symbols(image, name, store):
    """The image's own symbol table, else the public symbols of its PDB in
    the store when that is the image's."""
    own = image.symbols()
    if own:
        return own
    pdb = store_pdb(image, name, store)
    if pdb is None:
        return {}
    pdb = symbol_store.Pdb(pdb)
    record = image.codeview()
    return image.rva_symbols(pdb.publics()) if pdb.identity() == (record[1], record[2]) else {}


def examine(path, symbols_dir):
    image = Image(path)
    name = os.path.basename(path)
    exe = name.endswith(".exe")
    c = image.pe.OPTIONAL_HEADER.DllCharacteristics
    calls = guard_calls(image, image_symbols(image, name, symbols_dir))
    row = {
        "file": name,
        "machine": "x64" if image.is64 else "x86",
        "ASLR": bool(c & DYNAMIC_BASE) and not image.pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED
        and image.dir_size("IMAGE_DIRECTORY_ENTRY_BASERELOC") > 0,
        "HE-ASLR": bool(c & HIGH_ENTROPY) if image.is64 else None,
        "NX": bool(c & NX_COMPAT),
        "W^X": not any(s.Characteristics & MEM_WRITE and s.Characteristics & MEM_EXECUTE for _, s in image.sections),
        "stack guard": None if calls is None else calls > 0,
        "CFG": not guard_cf_gaps(image),
        "tsaware": bool(c & TS_AWARE) if exe else None,
        "load config": image.dir_size("IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG") > 0,
        "signed": image.dir_size("IMAGE_DIRECTORY_ENTRY_SECURITY") > 0,
        "stripped": not image.pe.FILE_HEADER.NumberOfSymbols and not image.debug_sections(),
        "debug id": names_own_pdb(image, name),
        "symbols": symbol_store_state(image, path, symbols_dir),
    }
    if image.is64:
        row["SEH"] = None
    else:
        uses = sum(fs0_uses(code) for _, code in image.code())
        mark = "no-SEH" if c & NO_SEH else ("SafeSEH?" if row["load config"] else "neither")
        row["SEH"] = "%s, fs:[0] x%d" % (mark, uses) if uses else mark
    foreign = [dll for dll in image.imports() if dll not in SYSTEM_DLLS]
    row["imports"] = "system" if not foreign else " ".join(foreign)
    return row


# What the build promises, per file; a missing one fails the check.
def promises(row):
    wanted = {"ASLR": True, "NX": True, "W^X": True, "CFG": True, "imports": "system",
              "stripped": True, "debug id": True, "symbols": "matches"}
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


COLUMNS = ("file", "machine", "ASLR", "HE-ASLR", "NX", "W^X", "stack guard", "CFG", "SEH", "tsaware", "load config",
           "signed", "imports", "stripped", "debug id", "symbols")


def shown(value):
    if value is None or isinstance(value, bool):
        return {True: "yes", False: "no", None: "-"}[value]
    return value


def main(argv):
    folder = argv[1] if len(argv) > 1 else "out/bin"
    symbols_dir = argv[2] if len(argv) > 2 else os.path.join(os.path.dirname(os.path.abspath(folder)), "symbols")
    rows, failures = [], []
    for name in PROGRAMS:
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            failures.append("%s: missing" % path)
            continue
        row = examine(path, symbols_dir)
        rows.append(row)
        for key, value in promises(row).items():
            if row[key] != value:
                failures.append("%s: %s is %s, the build promises %s" % (name, key, shown(row[key]), shown(value)))
        if not row["CFG"]:
            failures.append("%s: control-flow guard lacks %s" % (name, ", ".join(guard_cf_gaps(Image(path)))))
    table = [[shown(row[c]) for c in COLUMNS] for row in rows]
    widths = [max(len(c), *(len(r[i]) for r in table)) if table else len(c) for i, c in enumerate(COLUMNS)]
    for line in [list(COLUMNS)] + table:
        print("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip())
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
