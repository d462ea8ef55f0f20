#!/usr/bin/env python3
"""Builds the installer packages q5dm-x64.msi and q5dm-x86.msi with wixl.

Nothing that a package registers is typed in here. The class registration
comes from src/server/classreg.h, the rows that the server's /RegServer
writes; the proxy/stub registration from the interface definition that the
proxy/stub tables are generated from, laid out as the marshalling engine's
proxy registration lays it out; product name, maker and version from the
version resources of the programs. The upgrade code is derived from those
names, so it stays the same from one version to the next.

Two builds of one commit and version give the same bytes: the product code
and the package code are derived from the version, the commit and a digest
of what the package is made of (the bytes of every file it packs and the
inputs of its tables), and every date in the package (its summary's
creation and save times, the files' dates in the cabinet) is the commit's
time. A package of changed files therefore never carries the code of one
already installed, which Windows Installer would take for the same package
and lay down no new files.

usage: make_msi.py --arch x64|x86 --bin DIR --out DIR [--version A.B.C.D]
                   [--commit ID --time SECONDS] [--wxs-only]
       make_msi.py --print-version
"""

import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid
from xml.sax.saxutils import quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SERVER_RC = os.path.join(ROOT, "src", "server", "server.rc")
STUB_RC = os.path.join(ROOT, "src", "proxy", "dmstub.rc")
CLASSREG_H = os.path.join(ROOT, "src", "server", "classreg.h")
IDL = os.path.join(ROOT, "src", "interface", "q5dm.idl")

sys.path.insert(0, os.path.join(ROOT, "src", "proxy"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import gen_formats  # noqa: E402  (the interface reader of the proxy/stub tables)
from system_python import import_debian_package  # noqa: E402

olefile = import_debian_package("olefile", "make_msi")

MODULE = object()  # row data: the program's own path

# What each package holds, per folder: (directory property, program files
# folder, 64-bit registry view?, files). The x64 package carries
# dmstub32.dll as well: a 32-bit client of the 64-bit server marshals
# through it in its own process.
LAYOUT = {
    "x64": {"server": "q5dmsrv64.exe",
            "dirs": [("INSTALLDIR", "ProgramFiles64Folder", True, ["q5dmsrv64.exe", "dmstub64.dll"]),
                     ("INSTALLDIR32", "ProgramFilesFolder", False, ["dmstub32.dll"])]},
    "x86": {"server": "q5dmsrv32.exe",
            "dirs": [("INSTALLDIR", "ProgramFilesFolder", False, ["q5dmsrv32.exe", "dmstub32.dll"])]},
}

# Property that holds the LocalServer32 command, quoted or not.
SERVER_COMMAND = "Q5DMSRV_COMMAND"
OLDER_FOUND = "Q5DM_OLDER_FOUND"
NEWER_FOUND = "Q5DM_NEWER_FOUND"
# Upgrade row attributes: migrate features, minimum and maximum inclusive.
OLDER_ATTRIBUTES = 0x001 | 0x100 | 0x200


def fail(message):
    sys.exit("make_msi: " + message)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


# --- version resources -----------------------------------------------------

def version_resource(path):
    text = read(path)
    match = re.search(r"^\s*FILEVERSION\s+(\d+)\s*,\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+)", text, re.M)
    if not match:
        fail("no FILEVERSION in %s" % path)
    values = dict(re.findall(r'^\s*VALUE\s+"(\w+)"\s*,\s*"([^"]*)"', text, re.M))
    values["version"] = ".".join(match.groups())
    block = re.search(r'BLOCK\s+"([0-9a-fA-F]{4})[0-9a-fA-F]{4}"', text)
    if not block:
        fail("no string block in %s" % path)
    values["language"] = str(int(block.group(1), 16))
    return values


def product_identity():
    """Name, maker and version, which the server's and the proxy/stub's
    version resources must agree on."""
    server, stub = version_resource(SERVER_RC), version_resource(STUB_RC)
    for key in ("ProductName", "CompanyName", "version", "language"):
        if key not in server or server.get(key) != stub.get(key):
            fail("%s differs between %s and %s" % (key, SERVER_RC, STUB_RC))
    return {"product": server["ProductName"], "maker": server["CompanyName"],
            "description": server["FileDescription"], "version": server["version"],
            "language": server["language"]}


# --- the class registration of the server ----------------------------------

def c_string(literal):
    return re.sub(r"\\(.)", r"\1", literal)


def evaluate(expression, defines, names=None):
    """A string or number made of literals and defines, as the C
    preprocessor and compiler would join them."""
    names = names or {}
    parts = []
    for literal, name, other in re.findall(r'"((?:[^"\\]|\\.)*)"|(\w+)|(\S)', expression):
        if other:
            fail("cannot read %r in %s" % (expression, CLASSREG_H))
        elif name in names:
            parts.append(names[name])
        elif name:
            if name.isdigit():
                parts.append(int(name))
                continue
            if name not in defines:
                fail("%s is not defined in %s" % (name, CLASSREG_H))
            parts.append(evaluate(defines[name], defines, names))
        else:
            parts.append(c_string(literal))
    if len(parts) == 1:
        return parts[0]
    if not all(isinstance(p, str) for p in parts):
        fail("cannot join %r in %s" % (expression, CLASSREG_H))
    return "".join(parts)


def class_registration():
    text = re.sub(r"\\\n", " ", read(CLASSREG_H))
    text = re.sub(r"//[^\n]*", "", text)
    defines = dict(re.findall(r"^\s*#define\s+(\w+)\s+(.+?)\s*$", text, re.M))
    match = re.search(r"^\s*#define\s+Q5_REGISTRATION_ROWS\((\w+),\s*(\w+)\)(.*)$", text, re.M)
    if not match:
        fail("no Q5_REGISTRATION_ROWS in %s" % CLASSREG_H)
    row, module, body = match.groups()
    rows = []
    for key, data in re.findall(r"\b%s\(([^,()]+),([^,()]+)\)" % row, body):
        rows.append((evaluate(key, defines), evaluate(data, defines, {module: MODULE})))
    if not rows:
        fail("Q5_REGISTRATION_ROWS lists no row")
    value = {name: evaluate(defines[name], defines) for name in
             ("Q5_ELEVATION_KEY", "Q5_ELEVATION_ENABLED_VALUE", "Q5_LOCALIZED_STRING_VALUE", "Q5_ELEVATION_NAME_ID")}
    return rows, value


# --- the proxy/stub registration --------------------------------------------

def interface_registration():
    """What the marshalling engine's proxy registration writes for a library
    with this one interface, whose proxy/stub class shares its identifier."""
    text = gen_formats.strip_comments(read(IDL))
    match = re.search(r"uuid\(([0-9a-fA-F-]{36})\)[^\]]*\]\s*interface\s+" + gen_formats.INTERFACE + r"\b", text)
    if not match:
        fail("no uuid for %s in %s" % (gen_formats.INTERFACE, IDL))
    iid = "{%s}" % match.group(1).upper()
    slots = gen_formats.FIRST_SLOT + len(gen_formats.read_methods(IDL))
    return [
        ("Interface\\" + iid, None, "string", gen_formats.INTERFACE),
        ("Interface\\" + iid + "\\NumMethods", None, "string", str(slots)),
        ("Interface\\" + iid + "\\ProxyStubClsid32", None, "string", iid),
        ("CLSID\\" + iid, None, "string", "PSFactoryBuffer"),
        ("CLSID\\" + iid + "\\InProcServer32", None, "string", MODULE),
        ("CLSID\\" + iid + "\\InProcServer32", "ThreadingModel", "string", "Both"),
    ]


# --- the WiX source ----------------------------------------------------------

def file_id(name):
    return "F_" + re.sub(r"\W", "_", name)


def server_values(file_key):
    rows, names = class_registration()
    elevation, enabled = names["Q5_ELEVATION_KEY"], names["Q5_ELEVATION_ENABLED_VALUE"]
    localized = "#%%@[#%s],-%d" % (file_key, names["Q5_ELEVATION_NAME_ID"])
    values = []
    for key, data in rows:
        values.append((key, None, "string", "[%s]" % SERVER_COMMAND if data is MODULE else data))
        values.append((key, names["Q5_LOCALIZED_STRING_VALUE"], "expandable", localized))
        values.append((key + "\\" + elevation, enabled, "integer", "1"))
    return values


def registry_xml(values, file_key, indent):
    lines = []
    for key, name, kind, data in values:
        if data is MODULE:
            data = "[#%s]" % file_key
        # wixl writes an "expandable" value as it stands, so it carries the
        # Registry table's own "#%" mark; "string" values must not start with #.
        if kind == "string" and data.startswith("#"):
            fail("a string value starting with # would be read as typed data: %r" % data)
        attributes = 'Root="HKCR" Key=%s' % quoteattr(key)
        if name is not None:
            attributes += " Name=%s" % quoteattr(name)
        lines.append('%s<RegistryValue %s Type="%s" Value=%s/>' % (indent, attributes, kind, quoteattr(data)))
    return lines


def component_guid(identity, name):
    # One identifier per file for every version and both packages: the
    # x64 and the x86 package share dmstub32.dll and its registration.
    return str(uuid.uuid5(uuid.NAMESPACE_X500, "CN=%s,OU=%s,O=%s" % (name, identity["product"], identity["maker"]))).upper()


def upgrade_code(identity, arch):
    return str(uuid.uuid5(uuid.NAMESPACE_X500, "CN=%s %s (%s),O=%s" % (
        identity["product"], identity["description"], arch, identity["maker"]))).upper()


def build_code(upgrade, kind, version, commit, digest):
    """The product or package code of one version built from one commit
    with the contents whose digest is given: the same for every build of
    them, another for any other version, commit, contents or package."""
    return "{%s}" % str(uuid.uuid5(uuid.UUID(upgrade), "%s %s %s %s" % (kind, version, commit, digest))).upper()


# Stands for the product code in the source whose digest makes that code.
PRODUCT_CODE_PLACEHOLDER = "{00000000-0000-0000-0000-000000000000}"


def contents_digest(arch, bindir, identity, version, commit):
    """SHA-256 of the package's inputs: the WiX source (every table row
    that wixl makes; the files named as they lie in bindir, so that the
    folder's own path does not count), what the later steps write into the
    tables, and the name, size and bytes of each file packed."""
    digest = hashlib.sha256()
    source = wxs(arch, bindir, bindir, identity, version, commit, PRODUCT_CODE_PLACEHOLDER)
    steps = "File.Version=%s File.Language=%s Upgrade.Attributes=%d" % (
        identity["version"], identity["language"], OLDER_ATTRIBUTES)
    for text in (source, steps):
        data = text.encode("utf-8")
        digest.update(b"%d\0" % len(data) + data)
    for _, _, _, files in LAYOUT[arch]["dirs"]:
        for f in files:
            with open(os.path.join(bindir, f), "rb") as content:
                data = content.read()
            digest.update(b"%s\0%d\0" % (f.encode("ascii"), len(data)) + data)
    return digest.hexdigest()


def package_codes(arch, bindir, identity, version, commit):
    """(product code, package code)."""
    digest = contents_digest(arch, bindir, identity, version, commit)
    upgrade = upgrade_code(identity, arch)
    return tuple(build_code(upgrade, kind, version, commit, digest) for kind in ("product", "package"))


def wxs(arch, bindir, outdir, identity, version, commit, product_code):
    layout = LAYOUT[arch]
    proxy = interface_registration()
    name = "%s %s (%s)" % (identity["product"], identity["description"], arch)
    code = upgrade_code(identity, arch)
    out = []
    w = out.append
    w('<?xml version="1.0" encoding="utf-8"?>')
    w("<!-- Generated by tools/packaging/make_msi.py; do not edit. -->")
    w('<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">')
    w('  <Product Id="%s" Name=%s Manufacturer=%s Version="%s" UpgradeCode="%s" Language="1033" Codepage="1252">'
      % (product_code, quoteattr(name), quoteattr(identity["maker"]), version, code))
    w('    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine" Description=%s Manufacturer=%s/>'
      % (quoteattr(name), quoteattr(identity["maker"])))
    w('    <Media Id="1" Cabinet="q5dm.cab" EmbedCab="yes"/>')
    # The same version is replaced as well as an older one, so a rebuild
    # installed over its twin leaves one copy.
    w('    <Upgrade Id="%s">' % code)
    w('      <UpgradeVersion Minimum="%s" IncludeMinimum="no" OnlyDetect="yes" Property="%s"/>' % (version, NEWER_FOUND))
    w('      <UpgradeVersion Minimum="0.0.0.0" Maximum="%s" IncludeMaximum="yes" Property="%s"/>' % (version, OLDER_FOUND))
    w("    </Upgrade>")
    w('    <Condition Message="A newer version of [ProductName] is already installed.">NOT %s</Condition>' % NEWER_FOUND)
    # The folders chosen at installation are kept beside the server and
    # taken up again by a later removal, repair or upgrade that names none:
    # without them Wine's installer looks for the files in the default
    # folders, and an upgrade would move the files there.
    server_win64 = [d[2] for d in layout["dirs"] if layout["server"] in d[3]][0]
    remember_key = "Software\\%s\\%s %s" % (identity["maker"], identity["product"], identity["description"])
    remembered = {d[0]: "InstallDir" + d[0][len("INSTALLDIR"):] for d in layout["dirs"]}
    for dir_id, value in remembered.items():
        w('    <Property Id="Q5DM_SAVED_%s">' % dir_id)
        w('      <RegistrySearch Id="Q5DMSaved%s" Root="HKLM" Key=%s Name="%s" Type="raw" Win64="%s"/>'
          % (dir_id, quoteattr(remember_key), value, "yes" if server_win64 else "no"))
        w("    </Property>")
        w('    <CustomAction Id="Q5Restore%s" Property="%s" Value="[Q5DM_SAVED_%s]" Impersonate="yes"/>'
          % (dir_id, dir_id, dir_id))
    w('    <Directory Id="TARGETDIR" Name="SourceDir">')
    for dir_id, parent, win64, files in layout["dirs"]:
        w('      <Directory Id="%s">' % parent)
        w('        <Directory Id="%s" Name=%s>' % (dir_id, quoteattr(identity["product"])))
        for f in files:
            key = file_id(f)
            source = os.path.join(bindir, f)
            if not os.path.isfile(source):
                fail("missing %s" % source)
            w('          <Component Id="C_%s" Guid="%s" Win64="%s">' % (key[2:], component_guid(identity, f), "yes" if win64 else "no"))
            # wixl looks for sources beside the WiX file only.
            relative = os.path.relpath(source, outdir)
            w('            <File Id="%s" Name="%s" Source=%s KeyPath="yes"/>' % (key, f, quoteattr(relative)))
            values = server_values(key) if f == layout["server"] else proxy
            out.extend(registry_xml(values, key, "            "))
            if f == layout["server"]:
                for dir_id in remembered:
                    w('            <RegistryValue Root="HKLM" Key=%s Name="%s" Type="string" Value="[%s]"/>'
                      % (quoteattr(remember_key), remembered[dir_id], dir_id))
            w("          </Component>")
        w("        </Directory>")
        w("      </Directory>")
    w("    </Directory>")
    w('    <Feature Id="DMServer" Title=%s Level="1">' % quoteattr(identity["description"]))
    for _, _, _, files in layout["dirs"]:
        for f in files:
            w('      <ComponentRef Id="C_%s"/>' % file_id(f)[2:])
    w("    </Feature>")
    # The server quotes its LocalServer32 path only when it holds a space
    # (COM would split it there); the package writes what the server would
    # write for the folder that this installation chose.
    server_key = file_id(layout["server"])
    w('    <CustomAction Id="Q5ServerCommand" Property="%s" Value="[#%s]" Impersonate="yes"/>' % (SERVER_COMMAND, server_key))
    w('    <CustomAction Id="Q5ServerCommandQuoted" Property="%s" Value="&quot;[#%s]&quot;" Impersonate="yes"/>'
      % (SERVER_COMMAND, server_key))
    # Sequence numbers, not After: wixl sorts After into places of its own.
    # AppSearch is 50, CostFinalize 1000, InstallValidate 1400.
    restore = ['      <Custom Action="Q5Restore%s" Sequence="%d">Q5DM_SAVED_%s AND NOT %s</Custom>'
               % (d, 51 + i, d, d) for i, d in enumerate(remembered)]
    w("    <InstallUISequence>")
    out.extend(restore)
    w("    </InstallUISequence>")
    w("    <InstallExecuteSequence>")
    out.extend(restore)
    w('      <Custom Action="Q5ServerCommand" Sequence="1001"/>')
    w('      <Custom Action="Q5ServerCommandQuoted" Sequence="1002">%s &gt;&lt; " "</Custom>' % SERVER_COMMAND)
    w('      <RemoveExistingProducts Sequence="1401"/>')
    w("    </InstallExecuteSequence>")
    w("  </Product>")
    w("</Wix>")
    return "\n".join(out) + "\n"


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        fail("%s failed:\n%s%s" % (command[0], result.stdout, result.stderr))
    return result.stdout


def write_wxs(path, arch, bindir, identity, version, commit, product_code):
    with open(path, "w", encoding="utf-8") as f:
        f.write(wxs(arch, os.path.abspath(bindir), os.path.dirname(os.path.abspath(path)), identity, version, commit,
                    product_code))


def source_commit():
    """This checkout's commit and its time (seconds since 1970)."""
    commit = run(["git", "-C", ROOT, "rev-parse", "HEAD"]).strip()
    return commit, int(run(["git", "-C", ROOT, "show", "-s", "--format=%ct", commit]).strip())


def dated_copies(arch, bindir, folder, seconds):
    """The package's files copied into folder, dated seconds: the cabinet
    records each file's modification time."""
    os.makedirs(folder)
    for _, _, _, files in LAYOUT[arch]["dirs"]:
        for f in files:
            source = os.path.join(bindir, f)
            if not os.path.isfile(source):
                fail("missing %s" % source)
            shutil.copyfile(source, os.path.join(folder, f))
            os.utime(os.path.join(folder, f), (seconds, seconds))
    return folder


# Summary information properties: the package code (revision number) and
# the creation and last-save times.
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 0x1E, 0x40
SUMMARY = "\x05SummaryInformation"


def summary_properties(stream):
    """{property id: (offset of its value, type)} of the stream's one
    property set."""
    section = struct.unpack_from("<I", stream, 44)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    found = {}
    for i in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        found[pid] = (section + offset + 4, struct.unpack_from("<I", stream, section + offset)[0])
    return found


def fix_summary(package, package_code, seconds):
    """wixl writes a new package code and the time of the build into the
    summary; both are set to what this commit and version give. The stream
    keeps its size (a code is as long as any other), so it is rewritten in
    place."""
    ole = olefile.OleFileIO(package, write_mode=True)
    try:
        stream = bytearray(ole.openstream(SUMMARY).read())
        props = summary_properties(stream)
        at, kind = props.get(PID_REVNUMBER, (0, 0))
        code = package_code.encode("ascii") + b"\0"
        if kind != VT_LPSTR or struct.unpack_from("<I", stream, at)[0] != len(code):
            fail("the summary of %s has no package code of the usual form" % package)
        stream[at + 4:at + 4 + len(code)] = code
        filetime = (seconds + 11644473600) * 10000000
        for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
            at, kind = props.get(pid, (0, 0))
            if kind != VT_FILETIME:
                fail("the summary of %s has no time %d" % (package, pid))
            struct.pack_into("<Q", stream, at, filetime)
        ole.write_stream(SUMMARY, bytes(stream))
    finally:
        ole.close()


def build(arch, bindir, outdir, version, commit, seconds, wxs_only):
    identity = product_identity()
    version = version or identity["version"]
    if not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", version):
        fail("version %r is not A.B.C.D" % version)
    if commit is None:
        commit, seconds = source_commit()
    os.makedirs(outdir, exist_ok=True)
    product_code, package_code = package_codes(arch, os.path.abspath(bindir), identity, version, commit)
    if wxs_only:
        source = os.path.join(outdir, "q5dm-%s.wxs" % arch)
        write_wxs(source, arch, bindir, identity, version, commit, product_code)
        return source
    target = os.path.join(outdir, "q5dm-%s.msi" % arch)
    with tempfile.TemporaryDirectory() as scratch:
        source = os.path.join(scratch, "q5dm-%s.wxs" % arch)
        built = os.path.join(scratch, os.path.basename(target))
        files = dated_copies(arch, bindir, os.path.join(scratch, "files"), seconds)
        write_wxs(source, arch, files, identity, version, commit, product_code)
        run(["wixl", "-a", arch, "-o", built, source])
        include_maximum(built)
        # wixl leaves the files' version and language out; without them the
        # installer would take the programs for unversioned files.
        run(["msibuild", built, "-q", "UPDATE `File` SET `Version` = '%s', `Language` = '%s'"
             % (identity["version"], identity["language"])])
        fix_summary(built, package_code, seconds)
        os.replace(built, target)
    return target


def upgrade_rows(package):
    return [line.split("\t") for line in run(["msiinfo", "export", package, "Upgrade"]).splitlines()[3:]]


def include_maximum(package):
    """wixl reads IncludeMaximum but never sets its bit, and the bit belongs
    to the row's key, which an UPDATE may not change: the row is replaced."""
    older = [r for r in upgrade_rows(package) if r[-1] == OLDER_FOUND]
    if len(older) != 1:
        fail("no single %s row in the Upgrade table" % OLDER_FOUND)
    code, low, high = older[0][:3]
    run(["msibuild", package,
         "-q", "DELETE FROM `Upgrade` WHERE `ActionProperty` = '%s'" % OLDER_FOUND,
         "-q", "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, `ActionProperty`) "
               "VALUES ('%s', '%s', '%s', %d, '%s')" % (code, low, high, OLDER_ATTRIBUTES, OLDER_FOUND)])
    older = [r for r in upgrade_rows(package) if r[-1] == OLDER_FOUND]
    if len(older) != 1 or int(older[0][4]) != OLDER_ATTRIBUTES:
        fail("the Upgrade table of %s did not take the inclusive maximum" % package)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--print-version", action="store_true", help="print the programs' version only")
    parser.add_argument("--arch", choices=sorted(LAYOUT))
    parser.add_argument("--bin", help="folder with the deliverables")
    parser.add_argument("--out")
    parser.add_argument("--version", help="another version than the resources' (tests of upgrades)")
    parser.add_argument("--commit", help="the commit the programs are built from (default: this checkout's)")
    parser.add_argument("--time", type=int, help="with --commit: its time, in seconds since 1970")
    parser.add_argument("--wxs-only", action="store_true")
    args = parser.parse_args()
    if args.print_version:
        print(product_identity()["version"])
        return
    if not (args.arch and args.bin and args.out):
        parser.error("--arch, --bin and --out are needed")
    if (args.commit is None) != (args.time is None):
        parser.error("--commit and --time go together")
    print(build(args.arch, args.bin, args.out, args.version, args.commit, args.time, args.wxs_only))


if __name__ == "__main__":
    main()
