#!/usr/bin/env python3
"""Compares the registry files of Wine prefixes (system.reg, user.reg,
userdef.reg) key by key, without the modification times that Wine writes
beside every key.

usage: regfile.py diff BEFORE_DIR AFTER_DIR [--ignore FILE]
       regfile.py classes A_DIR B_DIR      (Software\\Classes of system.reg,
                                            the installer's records left out)
       regfile.py count DIR KEY_PREFIX VALUE_LINE
"""

import re
import sys

FILES = ("system.reg", "user.reg", "userdef.reg")


def parse(path):
    """{key: [value lines]}; a value continued over several lines is one."""
    keys, current, pending = {}, None, ""
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for raw in f:
            line = pending + raw.rstrip("\n")
            if line.endswith("\\") and current is not None and not line.startswith("["):
                pending = line[:-1].rstrip() if False else line[:-1]
                continue
            pending = ""
            match = re.match(r"^\[(.*)\](?: \d+)?$", line)
            if match:
                current = match.group(1)
                keys[current] = []
            elif current is None or line.startswith("#time=") or not line.strip():
                continue
            else:
                keys[current].append(line.strip())
    return keys


def differences(before, after, ignored=()):
    out = []
    for key in sorted(set(before) | set(after)):
        if any(re.search(p, key) for p in ignored):
            continue
        if key not in before:
            out.append("+ [%s] %s" % (key, " ".join(after[key])))
        elif key not in after:
            out.append("- [%s]" % key)
        elif sorted(before[key]) != sorted(after[key]):
            old, new = set(before[key]), set(after[key])
            out += ["~ [%s] -%s" % (key, v) for v in sorted(old - new)]
            out += ["~ [%s] +%s" % (key, v) for v in sorted(new - old)]
    return out


def main(argv):
    command = argv[1]
    if command == "diff":
        ignored = []
        if len(argv) > 5 and argv[4] == "--ignore":
            with open(argv[5]) as f:
                ignored = [l.rstrip("\n") for l in f if l.strip() and not l.startswith("#")]
        lines = []
        for name in FILES:
            lines += ["%s: %s" % (name, d) for d in
                      differences(parse("%s/%s" % (argv[2], name)), parse("%s/%s" % (argv[3], name)), ignored)]
        print("\n".join(lines))
        return 1 if lines else 0
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
