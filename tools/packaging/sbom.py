#!/usr/bin/env python3
"""Writes the software bill of materials of a release, SPDX 2.3 JSON.

Nothing in it is typed in: what each shipped image is made of comes from
its link map (every archive member the linker took, every object file it
loaded from the system), the Debian package, version and licence of each
such library from the package database (dpkg) and the package's copyright
file, and the build tools from the compilers and tools the build trees
were configured with.

usage: sbom.py --bin DIR --build DIR [--build DIR...] --version V
               --commit ID --time SECONDS [--signed] [--list]
  --signed: the release's images are signed (osslsigncode is one of its tools)
  --list: print the components, one "image<TAB>library<TAB>package" a line.
"""

import argparse
import datetime
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
from urllib.parse import quote

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from make_msi import product_identity  # noqa: E402  (the maker, as the version resources name it)

# Debian's short licence names that have an SPDX identifier of their own.
SPDX_NAMES = {"GPL-2+": "GPL-2.0-or-later", "GPL-3+": "GPL-3.0-or-later", "LGPL-2+": "LGPL-2.0-or-later",
              "LGPL-2.1+": "LGPL-2.1-or-later", "expat": "MIT", "BSD-2-clause": "BSD-2-Clause",
              "BSD-3-clause": "BSD-3-Clause", "ISC": "ISC", "ZPL-2.1": "ZPL-2.1", "Apache-2.0": "Apache-2.0"}
# The libraries that GCC's copyright file names under its runtime library
# exception, by the names of the files they are built into.
GCC_RUNTIME_FILES = {"libgcc": ("libgcc", "libgcc_eh", "crtbegin", "crtend", "crtfastmath"),
                     "libssp": ("libssp", "libssp_nonshared"), "libstdc++-v3": ("libstdc++", "libsupc++")}
# The tools of the build: those the CMake cache names, the compilers CMake
# found, and the IDL and resource compilers that the build's rules run.
TOOL_ENTRIES = ("CMAKE_LINKER", "CMAKE_OBJCOPY", "CMAKE_MAKE_PROGRAM", "CMAKE_COMMAND")
PACKAGE_TOOLS = ("wixl", "msibuild")
# Only a signed release is made with it.
SIGNING_TOOL = "osslsigncode"


def fail(message):
    sys.exit("sbom: " + message)


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        fail("%s failed: %s" % (" ".join(command), result.stderr.strip()))
    return result.stdout


# --- link maps ---------------------------------------------------------------

RECORD = "Files read and archive members taken"


def map_libraries(path):
    """The system files that the link put into the image: archives of
    which it took a member, and object files it loaded directly. lld names
    a member's archive by its file name only; the files it read give the
    archive's path."""
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    record = text.partition("\n%s\n" % RECORD)[2]
    if not record:
        fail("%s has no record of the files the link read (cmake/lld-with-inputs.sh)" % path)
    read = re.findall(r"^Reading (/\S+)$", record, re.M)
    archives = {}
    for file in read:
        if file.endswith(".a"):
            archives.setdefault(os.path.basename(file), os.path.normpath(file))
    found = {os.path.normpath(file) for file in read if re.search(r"\.o(?:bj)?$", file)}
    for name in re.findall(r"^Loaded (\S+?\.a)\(", record, re.M):
        if name in archives:
            found.add(archives[name])
    # The build's own objects and libraries are the image itself.
    return {p for p in found if not p.startswith(ROOT + os.sep)}


def images(builds):
    """{image name: set of library paths}, from every build tree's maps."""
    result = {}
    for build in builds:
        folder = os.path.join(build, "maps")
        for name in sorted(os.listdir(folder)):
            if name.endswith(".map"):
                result[name[:-4]] = map_libraries(os.path.join(folder, name))
    return result


# --- the package database ------------------------------------------------------

def owners(paths):
    """{path: Debian package}; a path that no package owns fails."""
    if not paths:
        return {}
    result = subprocess.run(["dpkg", "-S"] + sorted(paths), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    owned = {}
    for line in result.stdout.splitlines():
        package, _, path = line.partition(": ")
        if path in paths:
            owned[path] = package.split(":")[0].split(",")[0].strip()
    missing = sorted(set(paths) - set(owned))
    if missing:
        fail("no package owns %s" % ", ".join(missing))
    return owned


def package_facts(package):
    version, arch, source = run(["dpkg-query", "-W", "-f=${Version}\t${Architecture}\t${source:Package}",
                                 package]).split("\t")
    return {"version": version, "arch": arch, "source": source}


def copyright_text(package):
    path = "/usr/share/doc/%s/copyright" % package
    if not os.path.isfile(path):
        fail("%s has no copyright file" % package)
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def spdx_name(debian):
    if debian in SPDX_NAMES:
        return SPDX_NAMES[debian]
    return "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", debian)


def line_expression(line):
    """One License field as an SPDX expression, and the licence names in it.
    "or" offers a choice (OR), "and" asks for both (AND, which binds the
    tighter in both notations); a comma before either ends a group, which
    then binds as a whole."""
    groups = re.split(r",\s*(and|or)\s+", line.strip())
    names, parts = [], []
    for i, group in enumerate(groups):
        if i % 2:
            parts.append(group.upper())
            continue
        words = re.split(r"\s+(and|or)\s+", group.strip())
        names.extend(words[0::2])
        text = " ".join(w.upper() if j % 2 else spdx_name(w) for j, w in enumerate(words))
        parts.append("(%s)" % text if len(words) > 1 and len(groups) > 1 else text)
    return " ".join(parts), names


def machine_readable_licence(text):
    """(SPDX expression, licence names) of a machine-readable copyright
    file: every License field's expression must hold, so they are joined
    with AND."""
    expressions, names = set(), set()
    for line in re.findall(r"^License:[ \t]*(.+)$", text, re.M):
        expression, found = line_expression(line)
        expressions.add(expression)
        names.update(found)
    joined = [("(%s)" % e if " OR " in e and len(expressions) > 1 else e) for e in sorted(expressions)]
    return " AND ".join(joined), sorted(names)


def gcc_runtime_licence(text, library):
    """GCC's copyright file (not machine-readable) lists the runtime
    libraries under GPL 3 or later with the runtime library exception."""
    block = re.search(r"following runtime libraries are licensed under the terms of the\s+GNU General Public "
                      r"License \(v3 or later\) with version 3\.1 of the GCC\s+Runtime Library Exception.*?:\n(.*?)\n\n",
                      text, re.S)
    if block:
        listed = re.findall(r"^ - (\S+)", block.group(1), re.M)
        stem = re.sub(r"\.(a|o)$", "", os.path.basename(library))
        for name in listed:
            if stem in GCC_RUNTIME_FILES.get(name, ()):
                return "GPL-3.0-or-later WITH GCC-exception-3.1", []
    return "NOASSERTION", []


def licence(package, library):
    """(SPDX expression, Debian names behind LicenseRef- parts)."""
    text = copyright_text(package)
    return licence_of_text(text, library)


def licence_of_text(text, library):
    if text.startswith("Format:"):
        expression, names = machine_readable_licence(text)
        if not names:
            return "NOASSERTION", []
        return expression, [n for n in names if n not in SPDX_NAMES]
    return gcc_runtime_licence(text, library)


def licence_paragraph(package, name):
    """The stand-alone licence paragraph of a machine-readable copyright file."""
    text = copyright_text(package)
    match = re.search(r"^License:[ \t]*%s[ \t]*\n((?:[ \t].*\n?)+)" % re.escape(name), text, re.M)
    if match:
        return "\n".join(line.strip() if line.strip() != "." else "" for line in match.group(1).splitlines())
    return "See /usr/share/doc/%s/copyright, licence %s." % (package, name)


# --- the build tools -----------------------------------------------------------

def cache_entries(build):
    entries = {}
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            match = re.match(r"^(\w+):\w+=(.*)$", line.strip())
            if match:
                entries[match.group(1)] = match.group(2)
    return entries


def rule_tools(build):
    """The compilers of the build tree, as CMake found them, and the IDL and
    resource compilers in its rules."""
    names = set()
    for root, _, files in os.walk(os.path.join(build, "CMakeFiles")):
        for f in files:
            if re.fullmatch(r"CMake\w+Compiler\.cmake", f):
                with open(os.path.join(root, f), encoding="utf-8") as text:
                    names.update(re.findall(r'^set\(CMAKE_\w+_COMPILER "([^"]+)"\)', text.read(), re.M))
    with open(os.path.join(build, "build.ninja"), encoding="utf-8", errors="replace") as f:
        names.update(re.findall(r"(?:^|\s)(\S*-w64-mingw32-(?:widl|windres))\s", f.read()))
    return names


def tool_paths(builds, signed):
    names = set(PACKAGE_TOOLS)
    if signed:
        names.add(SIGNING_TOOL)
    for build in builds:
        entries = cache_entries(build)
        names.update(entries[key] for key in TOOL_ENTRIES if entries.get(key))
        names.update(rule_tools(build))
    paths = set()
    for name in names:
        found = shutil.which(name)
        if found:
            paths.add(os.path.realpath(found))
        elif name not in PACKAGE_TOOLS:
            fail("cannot find the build tool %s" % name)
    return paths


# --- the document ----------------------------------------------------------------

def spdx_id(kind, name):
    return "SPDXRef-%s-%s" % (kind, re.sub(r"[^A-Za-z0-9.-]", "-", name))


def purl(package, facts):
    """A Debian package's URL: name and version percent-encoded, so that
    a version's epoch (1:2.3) and a + read as themselves."""
    return "pkg:deb/debian/%s@%s?arch=%s" % (quote(package, safe=""), quote(facts["version"], safe=""), facts["arch"])


def debian_package(kind, name, package, facts, declared, comment):
    return {
        "SPDXID": spdx_id(kind, name),
        "name": name,
        "versionInfo": facts["version"],
        "supplier": "Organization: Debian",
        "downloadLocation": "NOASSERTION",
        "filesAnalyzed": False,
        "licenseConcluded": "NOASSERTION",
        "licenseDeclared": declared,
        "copyrightText": "NOASSERTION",
        "sourceInfo": "Debian package %s %s (source package %s)" % (package, facts["version"], facts["source"]),
        "comment": comment,
        "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                          "referenceLocator": purl(package, facts)}],
    }


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def document(bindir, builds, version, commit, seconds, signed=False):
    made_of = images(builds)
    libraries = sorted(set().union(*made_of.values())) if made_of else []
    owned = owners(set(libraries))
    tools = sorted(tool_paths(builds, signed))
    tool_owners = owners(set(tools))
    facts = {p: package_facts(p) for p in sorted(set(owned.values()) | set(tool_owners.values()))}
    maker = product_identity()["maker"]
    packages, relationships, refs = [], [], {}
    for name in sorted(made_of):
        path = os.path.join(bindir, name)
        if not os.path.isfile(path):
            fail("missing %s" % path)
        packages.append({
            "SPDXID": spdx_id("Image", name), "name": name, "versionInfo": version,
            "supplier": "Organization: " + maker, "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
            "checksums": [{"algorithm": "SHA256", "checksumValue": sha256(path)}],
            "licenseConcluded": "NOASSERTION", "licenseDeclared": "NOASSERTION", "copyrightText": "NOASSERTION",
            "primaryPackagePurpose": "APPLICATION" if name.endswith(".exe") else "LIBRARY",
            "comment": "As built, before signing; commit %s." % commit,
        })
        relationships.append({"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                              "relatedSpdxElement": spdx_id("Image", name)})
    for library in libraries:
        package = owned[library]
        declared, extracted = licence(package, library)
        for name in extracted:
            refs.setdefault(spdx_name(name), (package, name))
        entry = debian_package("Lib", library, package, facts[package], declared,
                               "Linked statically from %s." % library)
        entry["name"] = os.path.basename(library)
        entry["primaryPackagePurpose"] = "LIBRARY"
        packages.append(entry)
        for image in sorted(made_of):
            if library in made_of[image]:
                relationships.append({"spdxElementId": spdx_id("Image", image), "relationshipType": "CONTAINS",
                                      "relatedSpdxElement": spdx_id("Lib", library)})
    for tool in tools:
        package = tool_owners[tool]
        entry = debian_package("Tool", tool, package, facts[package], "NOASSERTION", "Build tool %s." % tool)
        entry["name"] = os.path.basename(tool)
        entry["primaryPackagePurpose"] = "APPLICATION"
        packages.append(entry)
        for image in sorted(made_of):
            relationships.append({"spdxElementId": spdx_id("Tool", tool), "relationshipType": "BUILD_TOOL_OF",
                                  "relatedSpdxElement": spdx_id("Image", image)})
    created = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    doc = {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": "q5dm-%s" % version,
        "documentNamespace": "https://spdx.brisvale.invalid/q5dm/%s/%s" % (version, commit),
        "creationInfo": {"created": created, "creators": ["Organization: " + maker, "Tool: q5dm-sbom"]},
        "packages": packages,
        "relationships": relationships,
    }
    if refs:
        doc["hasExtractedLicensingInfos"] = [
            {"licenseId": ref, "name": name, "extractedText": licence_paragraph(package, name)}
            for ref, (package, name) in sorted(refs.items())]
    return doc, made_of, owned


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--build", action="append", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--commit", required=True)
    parser.add_argument("--time", type=int, required=True)
    parser.add_argument("--signed", action="store_true")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    doc, made_of, owned = document(args.bin, args.build, args.version, args.commit, args.time, args.signed)
    if args.list:
        for image in sorted(made_of):
            for library in sorted(made_of[image]):
                print("%s\t%s\t%s" % (image, library, owned[library]))
        return
    json.dump(doc, sys.stdout, indent=1, sort_keys=True, ensure_ascii=False)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
