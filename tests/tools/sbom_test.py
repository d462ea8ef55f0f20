#!/usr/bin/env python3
"""The bill of materials: the link-map reader, the licence expressions and
the package URLs of tools/packaging/sbom.py against fixed inputs with known
answers; then the document made from both build trees: for every shipped
image, the libraries it says the image contains are those its link map
gives; each carries the version that dpkg gives its package and a licence,
every licence reference it uses is spelled out, and osslsigncode is a
build tool of a signed release only.

usage: sbom_test.py SOURCE_DIR OUT_BIN BUILD_DIR...
"""

import json
import os
import re
import subprocess
import sys
import tempfile

GCC = "/usr/lib/gcc/x86_64-w64-mingw32/12-posix"
LIB = GCC + "/../../../../x86_64-w64-mingw32/lib/../lib"
SYSLIB = "/usr/x86_64-w64-mingw32/lib"

# lld's map, and the record of the files the link read and the archive
# members it took that cmake/lld-with-inputs.sh appends below it.
RECORD = """
Files read and archive members taken
"""

# name | map text | the system files the image is made of (None: refused)
MAPS = [
    ("members by archive name, objects, the build's own files", """Address  Size     Align Out     In      Symbol
00001000 000004e0    16         %(LIB)s/crt2.o:(.text)
00002000 00000040    16         libmingwex.a(mingw_vfprintf.o):(.text)
""" + RECORD + """Reading %(LIB)s/crt2.o
Reading %(GCC)s/crtbegin.o
Reading src/server/CMakeFiles/q5dmsrv.dir/main.cpp.obj
Reading libq5guard.a
Reading src/interface/libq5dm_interface.a
Reading %(ROOT)s/build/x64/libown.a
Reading %(LIB)s/libkernel32.a
Reading %(LIB)s/libuser32.a
Reading %(LIB)s/libmingwex.a
Reading %(GCC)s/libgcc.a
Reading %(ROOT)s/build/x64/stub.o
Reading libq5dm_interface.a(q5dm_i.c.obj)
Loaded libq5dm_interface.a(q5dm_i.c.obj) for IID_IQ5DMService
Reading libq5guard.a(guard64.S.obj)
Loaded libq5guard.a(guard64.S.obj) for __guard_check_icall_fptr
Reading libown.a(own.o)
Loaded libown.a(own.o) for own
Reading libkernel32.a(libkernel32s00976.o)
Loaded libkernel32.a(libkernel32s00976.o) for __declspec(dllimport) LoadLibraryW
Reading libmingwex.a(mingw_vfprintf.o)
Loaded libmingwex.a(mingw_vfprintf.o) for __mingw_vfprintf
Reading libgcc.a(_chkstk_ms.o)
Loaded libgcc.a(_chkstk_ms.o) for ___chkstk_ms
""", {LIB + "/libkernel32.a", LIB + "/libmingwex.a", GCC + "/libgcc.a", LIB + "/crt2.o", GCC + "/crtbegin.o"}),
    (".obj objects", RECORD + """Reading %(SYSLIB)s/guard.obj
Reading %(SYSLIB)s/libuuid.a
Reading libuuid.a(uuid.o)
Loaded libuuid.a(uuid.o) for IID_IUnknown
""", {SYSLIB + "/libuuid.a", SYSLIB + "/guard.obj"}),
    ("lld's map without the record", """Address  Size     Align Out     In      Symbol
00001000 000004e0    16         /usr/x86_64-w64-mingw32/lib/crt2.o:(.text)
""", None),
    ("GNU ld's map", """Archive member included to satisfy reference by file (symbol)

%(SYSLIB)s/libuuid.a(uuid.o)
                              x.obj (IID_IUnknown)
Memory Configuration

LOAD %(SYSLIB)s/crt2.o
""", None),
]

# License field(s) of a machine-readable copyright file | expression | names behind LicenseRef-
LICENCES = [
    ("GPL-2+ or LGPL-2.1+", "GPL-2.0-or-later OR LGPL-2.1-or-later", []),
    ("BSD-2-clause and ISC", "BSD-2-Clause AND ISC", []),
    ("GPL-2+ or Artistic, and BSD-3-clause", "(GPL-2.0-or-later OR LicenseRef-Artistic) AND BSD-3-Clause", ["Artistic"]),
    ("expat\nGPL-2+ or LGPL-2.1+\nexpat", "(GPL-2.0-or-later OR LGPL-2.1-or-later) AND MIT", []),
]

# package | version | URL
PURLS = [
    ("libstdc++6", "12.2.0-14+deb12u1", "pkg:deb/debian/libstdc%2B%2B6@12.2.0-14%2Bdeb12u1?arch=amd64"),
    ("gcc-mingw-w64-base", "1:12.2.0-14+25.2", "pkg:deb/debian/gcc-mingw-w64-base@1%3A12.2.0-14%2B25.2?arch=amd64"),
]


def fixed_inputs(sbom, failures):
    with tempfile.TemporaryDirectory() as scratch:
        for name, text, wanted in MAPS:
            path = os.path.join(scratch, "image.map")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text % {"LIB": LIB, "GCC": GCC, "SYSLIB": SYSLIB, "ROOT": sbom.ROOT})
            try:
                got = sbom.map_libraries(path)
            except SystemExit:
                got = None
            wanted = wanted if wanted is None else {os.path.normpath(p) for p in wanted}
            if got != wanted:
                failures.append("link map, %s: read %s, wanted %s" % (name, got, wanted))
    for fields, expression, refs in LICENCES:
        text = "Format: x\n\n" + "".join("Files: *\nLicense: %s\n\n" % f for f in fields.split("\n"))
        got = sbom.licence_of_text(text, "libx.a")
        if got != (expression, refs):
            failures.append("licence of %r: %s, wanted %s" % (fields, got, (expression, refs)))
    for package, version, wanted in PURLS:
        got = sbom.purl(package, {"version": version, "arch": "amd64"})
        if got != wanted:
            failures.append("purl of %s %s: %s, wanted %s" % (package, version, got, wanted))


def contents_check(doc, expected, failures):
    by_id = {p["SPDXID"]: p for p in doc["packages"]}
    for image, libraries in sorted(expected.items()):
        image_id = [i for i, p in by_id.items() if p["name"] == image and i.startswith("SPDXRef-Image")]
        if len(image_id) != 1:
            failures.append("%s: not one image entry" % image)
            continue
        listed = {by_id[r["relatedSpdxElement"]]["comment"].split(" from ", 1)[1].rstrip(".")
                  for r in doc["relationships"]
                  if r["spdxElementId"] == image_id[0] and r["relationshipType"] == "CONTAINS"}
        if listed != libraries:
            failures.append("%s: the SBOM lists %s more, %s fewer than the link map" % (
                image, sorted(listed - libraries), sorted(libraries - listed)))
    for p in doc["packages"]:
        if not p["SPDXID"].startswith(("SPDXRef-Lib", "SPDXRef-Tool")):
            continue
        package = p["sourceInfo"].split()[2]
        version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], stdout=subprocess.PIPE, text=True).stdout
        if p["versionInfo"] != version:
            failures.append("%s: version %s, dpkg says %s" % (p["name"], p["versionInfo"], version))
        if p["SPDXID"].startswith("SPDXRef-Lib") and p["licenseDeclared"] == "NOASSERTION":
            failures.append("%s: no licence" % p["name"])
    spelled = {e["licenseId"] for e in doc.get("hasExtractedLicensingInfos", [])}
    used = set(re.findall(r"LicenseRef-[\w.-]+", json.dumps(doc["packages"])))
    if used != spelled:
        failures.append("licence references used %s, spelled out %s" % (sorted(used), sorted(spelled)))


def tool_names(doc):
    return {p["name"] for p in doc["packages"] if p["SPDXID"].startswith("SPDXRef-Tool")}


def main(argv):
    source, bindir, builds = argv[1], argv[2], argv[3:]
    sys.path.insert(0, os.path.join(source, "tools", "packaging"))
    import sbom
    failures = []
    fixed_inputs(sbom, failures)

    command = [sys.executable, os.path.join(source, "tools", "packaging", "sbom.py"), "--bin", bindir,
               "--version", "1.2.3.4", "--commit", "0" * 40, "--time", "1700000000"]
    for build in builds:
        command += ["--build", build]
    doc = json.loads(subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout)
    expected = {}
    for build in builds:
        folder = os.path.join(build, "maps")
        for name in os.listdir(folder):
            expected[name[:-4]] = sbom.map_libraries(os.path.join(folder, name))
    contents_check(doc, expected, failures)
    if "osslsigncode" in tool_names(doc):
        failures.append("an unsigned release lists osslsigncode as a build tool")
    signed, _, _ = sbom.document(bindir, builds, "1.2.3.4", "0" * 40, 1700000000, signed=True)
    if "osslsigncode" not in tool_names(signed):
        failures.append("a signed release does not list osslsigncode as a build tool")

    for f in failures:
        print("FAIL " + f)
    print("sbom: %d link maps, %d licences, %d package URLs, %d images, %d entries, %d failures" % (
        len(MAPS), len(LICENCES), len(PURLS), len(expected), len(doc["packages"]), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
