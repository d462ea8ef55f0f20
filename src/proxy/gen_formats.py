#!/usr/bin/env python3
"""Writes the NDR procedure and type format strings of IQ5DMService.

The method table is read from the interface definition itself, so the
marshalling tables cannot drift from the declarations that the server
implements. Only the two parameter kinds of this interface are accepted:
an [in, string] wide string and an [in] long. Anything else stops the build,
because the interpreter would otherwise receive tables that do not match
the methods.

usage: gen_formats.py --arch x86|x64 --idl q5dm.idl --out formats_gen.c
"""

import argparse
import re
import sys

INTERFACE = "IQ5DMService"
FIRST_SLOT = 3  # after QueryInterface, AddRef, Release

# Interpreter header constants.
HANDLE_AUTO_OBJECT = 0x33
OI_FLAGS = 0x6C          # object proc, has RPC flags, Oi2, new init routines
EXT_FLAGS = 0x01         # new correlation descriptors
OPT_HAS_RETURN_EXT = 0x44  # has return, has extensions
OPT_CLIENT_SIZE = 0x02     # client must size (a string travels)
SERVER_BUFFER = 8

# Parameter descriptors.
ATTR_WSTRING = 0x010B    # must size, must free, in, simple ref
ATTR_LONG = 0x0048       # in, base type
ATTR_RESULT = 0x0070     # out, return, base type
FC_LONG = 0x08
WSTRING_TYPE_OFFSET = 4

TYPE_FORMAT = [0x00, 0x00, 0x11, 0x08, 0x25, 0x5C, 0x00]

LAYOUTS = {
    # stack slot, extension size, floating-point mask present
    "x86": (4, 8, False),
    "x64": (8, 10, True),
}

WSTRING = "wstring"
LONG = "long"


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


def interface_body(text):
    match = re.search(r"\binterface\s+" + INTERFACE + r"\s*:\s*IUnknown\s*\{(.*?)\}\s*;", text, re.S)
    if not match:
        sys.exit("gen_formats: interface %s : IUnknown not found" % INTERFACE)
    return match.group(1)


def parameter_kind(param, method):
    flat = " ".join(param.split())
    if re.fullmatch(r"\[\s*in\s*,\s*string\s*\]\s*const\s+wchar_t\s*\*\s*\w+", flat):
        return WSTRING
    if re.fullmatch(r"\[\s*in\s*\]\s*long\s+\w+", flat):
        return LONG
    sys.exit("gen_formats: %s: parameter '%s' has no marshalling rule" % (method, flat))


def read_methods(path):
    with open(path, encoding="utf-8") as f:
        body = interface_body(strip_comments(f.read()))
    methods = []
    for match in re.finditer(r"HRESULT\s+(\w+)\s*\((.*?)\)\s*;", body, re.S):
        name, params = match.group(1), match.group(2).strip()
        if params in ("", "void"):
            kinds = []
        else:
            kinds = [parameter_kind(p, name) for p in split_parameters(params)]
        methods.append((name, kinds))
    leftover = re.sub(r"HRESULT\s+\w+\s*\(.*?\)\s*;", "", body, flags=re.S).strip()
    if leftover:
        sys.exit("gen_formats: unrecognised text in %s: %s" % (INTERFACE, leftover[:60]))
    return methods


def split_parameters(params):
    # "[in, string]" holds a comma, so parameters are split at commas that
    # are outside brackets.
    parts, depth, current = [], 0, ""
    for ch in params:
        if ch == "[":
            depth += 1
        elif ch == "]":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += ch
    parts.append(current)
    return parts


def u16(value):
    return [value & 0xFF, (value >> 8) & 0xFF]


def u32(value):
    return u16(value & 0xFFFF) + u16(value >> 16)


def header(slot, kinds, layout):
    stack_slot, ext_size, has_fp_mask = LAYOUTS[layout]
    has_string = WSTRING in kinds
    client_buffer = 8 if LONG in kinds else 0
    opt = OPT_HAS_RETURN_EXT | (OPT_CLIENT_SIZE if has_string else 0)
    out = [HANDLE_AUTO_OBJECT, OI_FLAGS] + u32(0) + u16(slot)
    out += u16(stack_slot * (len(kinds) + 2)) + u16(client_buffer) + u16(SERVER_BUFFER)
    out += [opt, len(kinds) + 1, ext_size, EXT_FLAGS] + u16(0) + u16(0) + u16(0)
    if has_fp_mask:
        out += u16(0)
    return out


def parameters(kinds, layout):
    stack_slot = LAYOUTS[layout][0]
    out = []
    offset = stack_slot
    for kind in kinds:
        if kind == WSTRING:
            out += u16(ATTR_WSTRING) + u16(offset) + u16(WSTRING_TYPE_OFFSET)
        else:
            out += u16(ATTR_LONG) + u16(offset) + [FC_LONG, 0]
        offset += stack_slot
    return out + u16(ATTR_RESULT) + u16(offset) + [FC_LONG, 0]


def build(methods, layout):
    proc, offsets, entries = [], [], []
    for index, (name, kinds) in enumerate(methods):
        slot = FIRST_SLOT + index
        entry = header(slot, kinds, layout) + parameters(kinds, layout)
        offsets.append(len(proc))
        entries.append((slot, name, len(proc), entry))
        proc += entry
    return proc + [0], offsets, entries


def c_bytes(values, indent="    "):
    rows = []
    for i in range(0, len(values), 12):
        rows.append(indent + ", ".join("0x%02x" % v for v in values[i:i + 12]) + ",")
    return "\n".join(rows)


def render(methods, layout):
    proc, offsets, entries = build(methods, layout)
    lines = [
        "/* Generated by gen_formats.py from q5dm.idl (%s layout). Do not edit. */" % layout,
        '#include "formats.h"',
        "",
        "const unsigned char g_abTypeFormatString[] = {",
        c_bytes(TYPE_FORMAT),
        "};",
        "",
        "const unsigned char g_abProcFormatString[] = {",
    ]
    for slot, name, offset, entry in entries:
        lines.append("    /* %d: slot %d, %s */" % (offset, slot, name))
        lines.append(c_bytes(entry))
    lines += ["    0x00", "};", "", "const unsigned short g_awFormatStringOffsets[] = {"]
    lines.append("    " + ", ".join(str(o) for o in offsets))
    lines += [
        "};",
        "",
        "_Static_assert(sizeof(g_awFormatStringOffsets) / sizeof(g_awFormatStringOffsets[0]) == Q5_METHOD_COUNT,",
        '               "q5dm.idl and the proxy table disagree on the number of methods");',
        "",
    ]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=sorted(LAYOUTS), required=True)
    parser.add_argument("--idl", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    methods = read_methods(args.idl)
    with open(args.out, "w", encoding="ascii") as f:
        f.write(render(methods, args.arch))


if __name__ == "__main__":
    main()
