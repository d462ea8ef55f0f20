#!/usr/bin/env python3
"""Puts a shipped image and its PDB into a symbol store laid out as a
Windows debugger reads it through a symbol path `srv*STORE`:

    STORE/NAME.pdb/<GUID><age>/NAME.pdb   GUID as 32 upper-case hex digits,
                                          its fields in display order; age
                                          in hex without leading zeros
    STORE/NAME.exe/<stamp><size>/NAME.exe TimeDateStamp as 8 upper-case hex
                                          digits, SizeOfImage in hex without
                                          leading zeros (.dll alike)

A crash dump records, per module, the image's TimeDateStamp and SizeOfImage
and the CodeView record (PDB name, GUID, age); the debugger builds these
folder names from them. Also read by tools/binary-check.py: the PDB's
identity and its public symbols, from the PDB's own streams (MSF 7.0).

usage: symbol_store.py STORE IMAGE PDB
  The folders of the image's and the PDB's names are emptied first, so the
  store holds one build of each program (a rebuild brings a new GUID).
"""

import os
import shutil
import struct
import sys

MSF_MAGIC = b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"
PDB_INFO_STREAM, DBI_STREAM = 1, 3
S_PUB32 = 0x110E
NIL_STREAM = 0xFFFFFFFF


class Pdb:
    """The streams of a PDB (an MSF 7.0 file)."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:len(MSF_MAGIC)] != MSF_MAGIC:
            raise ValueError("%s: not a PDB (MSF 7.0)" % path)
        self.block, _, blocks, dir_bytes, _, map_at = struct.unpack_from("<6I", self.data, len(MSF_MAGIC))
        if self.block not in (512, 1024, 2048, 4096) or blocks * self.block > len(self.data):
            raise ValueError("%s: damaged MSF superblock" % path)
        dir_blocks = struct.unpack_from("<%dI" % self.blocks_for(dir_bytes), self.data, map_at * self.block)
        directory = self.join(dir_blocks, dir_bytes)
        count = struct.unpack_from("<I", directory)[0]
        sizes = struct.unpack_from("<%dI" % count, directory, 4)
        at = 4 + 4 * count
        self.streams = []
        for size in sizes:
            size = 0 if size == NIL_STREAM else size
            n = self.blocks_for(size)
            self.streams.append((struct.unpack_from("<%dI" % n, directory, at), size))
            at += 4 * n

    def blocks_for(self, size):
        return (size + self.block - 1) // self.block

    def join(self, blocks, size):
        return b"".join(self.data[b * self.block:(b + 1) * self.block] for b in blocks)[:size]

    def stream(self, index):
        if index >= len(self.streams):
            raise ValueError("PDB has no stream %d" % index)
        return self.join(*self.streams[index])

    def identity(self):
        """(GUID as its 16 bytes in file order, age) from the PDB info stream."""
        info = self.stream(PDB_INFO_STREAM)
        _, _, age = struct.unpack_from("<3I", info)
        return info[12:28], age

    def publics(self):
        """{name: (section number, offset)} of the public symbols."""
        dbi = self.stream(DBI_STREAM)
        records = self.stream(struct.unpack_from("<H", dbi, 20)[0])
        found, at = {}, 0
        while at + 4 <= len(records):
            length, kind = struct.unpack_from("<HH", records, at)
            if kind == S_PUB32:
                _, offset, section = struct.unpack_from("<IIH", records, at + 4)
                end = records.index(b"\0", at + 14)
                found.setdefault(records[at + 14:end].decode("utf-8", "replace"), (section, offset))
            at += 2 + length
        return found


def guid_text(guid):
    """The GUID's fields in display order, upper-case, no dashes."""
    d1, d2, d3 = struct.unpack_from("<IHH", guid)
    return "%08X%04X%04X%s" % (d1, d2, d3, guid[8:].hex().upper())


def pdb_key(guid, age):
    return "%s%x" % (guid_text(guid), age)


def image_key(path):
    """TimeDateStamp and SizeOfImage of a PE image as the store's folder name."""
    with open(path, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if head[pe:pe + 4] != b"PE\0\0":
        raise ValueError("%s: not a PE image" % path)
    stamp = struct.unpack_from("<I", head, pe + 8)[0]
    size = struct.unpack_from("<I", head, pe + 24 + 56)[0]
    return "%08X%x" % (stamp, size)


def put(store, image, pdb):
    image_name, pdb_name = os.path.basename(image), os.path.basename(pdb)
    for name in (image_name, pdb_name):
        shutil.rmtree(os.path.join(store, name), ignore_errors=True)
    # The DWARF symbol file of the builds before the PDBs.
    stale = os.path.join(store, image_name + ".debug")
    if os.path.isfile(stale):
        os.remove(stale)
    for name, source, key in ((image_name, image, image_key(image)), (pdb_name, pdb, pdb_key(*Pdb(pdb).identity()))):
        folder = os.path.join(store, name, key)
        os.makedirs(folder)
        shutil.copyfile(source, os.path.join(folder, name))


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__.split("\n\n")[-1])
    put(*sys.argv[1:])
