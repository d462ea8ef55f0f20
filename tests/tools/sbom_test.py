#!/usr/bin/env python3
"""The bill of materials against the link maps: for every shipped image,
the libraries it says the image contains are exactly the system archives
the link took members from and the system objects it loaded; each carries
the version that dpkg gives its package and a licence, and every licence
reference it uses is spelled out.

usage: sbom_test.py SOURCE_DIR OUT_BIN BUILD_DIR...
"""

import json
import os
import re
import subprocess
import sys


def linked(map_path):
    """Read as a reviewer would: the system archives named by the lines of
    members taken, found among the files read, and the system objects read."""
    text = open(map_path, encoding="utf-8", errors="replace").read()
    record = text.split("Files read and archive members taken", 1)[1]
    read = re.findall(r"^Reading (/usr/\S+)$", record, re.M)
    taken = set(re.findall(r"^Loaded ([^(\s]+\.a)\(", record, re.M))
    found = {os.path.normpath(f) for f in read if f.endswith(".o")}
    found |= {os.path.normpath(f) for f in read if os.path.basename(f) in taken}
    return found


def main(argv):
    source, bindir, builds = argv[1], argv[2], argv[3:]
    command = [sys.executable, os.path.join(source, "tools", "packaging", "sbom.py"), "--bin", bindir,
               "--version", "1.2.3.4", "--commit", "0" * 40, "--time", "1700000000"]
    for build in builds:
        command += ["--build", build]
    doc = json.loads(subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout)
    by_id = {p["SPDXID"]: p for p in doc["packages"]}
    failures = []
    expected = {}
    for build in builds:
        folder = os.path.join(build, "maps")
        for name in os.listdir(folder):
            expected[name[:-4]] = linked(os.path.join(folder, name))
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
    for f in failures:
        print("FAIL " + f)
    print("sbom: %d images, %d entries, %d failures" % (len(expected), len(doc["packages"]), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
