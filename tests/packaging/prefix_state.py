#!/usr/bin/env python3
"""Reads what wine-steps.sh saved of a Wine prefix and prints what differs.

  removal BEFORE AFTER CONTROL   registry files and drive tree of AFTER
                                 against BEFORE, less what also changed in
                                 CONTROL (a prefix where a program merely
                                 ran: Wine's own churn)
  classes A B                    Software\\Classes of system.reg in both
                                 registry views, the installer's own
                                 records left out
  exports A B                    the reg export files of two steps
  entries FILE                   "name|version" per uninstall entry of a
                                 reg query listing

Each prints one line per difference and exits 1 when there is any.
"""

import difflib
import os
import re
import sys

REG_FILES = ("system.reg", "user.reg", "userdef.reg")

# Windows Installer's own containers, which Wine's installer makes on first
# use and leaves, empty, as every Windows that ever installed a package
# has them. Anything inside them is a package's record and must go.
INSTALLER_CONTAINERS = (
    r"Software\\Classes\\Installer\\(Features|Products|UpgradeCodes)",
    r"Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes",
    r"Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\(Components|Products)",
)
INSTALLER_FOLDER = "./windows/Installer"


def parse_reg(path):
    """{key: sorted value lines}, without Wine's modification times."""
    keys, current, pending = {}, None, ""
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for raw in f:
            line = pending + raw.rstrip("\n")
            pending = ""
            if current is not None and not line.startswith("[") and line.endswith("\\"):
                pending = line[:-1]  # the value goes on in the next line
                continue
            match = re.match(r"^\[(.*)\](?: \d+)?$", line)
            if match:
                current = match.group(1).replace("\\\\", "\\")
                keys[current] = []
            elif current is not None and line.strip() and not line.startswith("#time="):
                keys[current].append(line.strip())
    return {k: sorted(v) for k, v in keys.items()}


def key_differences(before, after, skip=lambda key: False):
    out = []
    for key in sorted(set(before) | set(after)):
        if skip(key) or before.get(key) == after.get(key):
            continue
        if key not in before:
            out.append("added [%s] %s" % (key, " ".join(after[key])))
        elif key not in after:
            out.append("removed [%s]" % key)
        else:
            old, new = set(before[key]), set(after[key])
            out += ["[%s] lost %s" % (key, v) for v in sorted(old - new)]
            out += ["[%s] gained %s" % (key, v) for v in sorted(new - old)]
    return out


def read_tree(directory):
    with open(os.path.join(directory, "tree"), encoding="utf-8", errors="surrogateescape") as f:
        return set(f.read().splitlines())


def removal(before, after, control):
    out = []
    for name in REG_FILES:
        old, new, ran = (parse_reg(os.path.join(d, name)) for d in (before, after, control))
        churn = {k for k in set(old) | set(ran) if old.get(k) != ran.get(k)}

        def skip(key):
            if key in churn:
                return True
            added_empty = key in new and key not in old and not new[key]
            return added_empty and any(re.fullmatch(p, key) for p in INSTALLER_CONTAINERS)

        out += ["%s: %s" % (name, d) for d in key_differences(old, new, skip)]
    old, new, ran = read_tree(before), read_tree(after), read_tree(control)
    churn = old ^ ran
    changed = (old ^ new) - churn - {INSTALLER_FOLDER}
    out += ["drive_c: %s %s" % ("added" if p in new else "removed", p) for p in sorted(changed)]
    return out


def classes(a, b):
    def registration(directory):
        keys = parse_reg(os.path.join(directory, "system.reg"))
        return {k: v for k, v in keys.items()
                if k.startswith("Software\\Classes\\") and not k.startswith("Software\\Classes\\Installer")}
    return key_differences(registration(a), registration(b))


def read_export(path):
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return f.read().decode("utf-16")


def exports(a, b):
    out = []
    names = sorted(n for n in set(os.listdir(a)) | set(os.listdir(b)) if n.endswith(".reg"))
    for name in names:
        left, right = read_export(os.path.join(a, name)), read_export(os.path.join(b, name))
        if left != right:
            out += difflib.unified_diff((left or "").splitlines(), (right or "").splitlines(),
                                        os.path.join(a, name), os.path.join(b, name), lineterm="")
    if not any(read_export(os.path.join(a, n)) for n in names):
        out.append("no key of the registration was found in %s" % a)
    return out


def entries(path):
    """One "name|version" line per uninstall entry."""
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read().replace("\r", "")
    out = []
    for block in re.split(r"\n(?=HKEY_)", text):
        values = dict(re.findall(r"^\s+(DisplayName|DisplayVersion)\s+REG_SZ\s+(.*)$", block, re.M))
        if "DisplayName" in values:
            out.append("%s|%s" % (values["DisplayName"], values.get("DisplayVersion", "")))
    return out


def main(argv):
    commands = {"removal": (removal, 3), "classes": (classes, 2), "exports": (exports, 2), "entries": (entries, 1)}
    if len(argv) < 2 or argv[1] not in commands or len(argv) != 2 + commands[argv[1]][1]:
        sys.exit(__doc__)
    lines = commands[argv[1]][0](*argv[2:])
    if lines:
        print("\n".join(lines))
    return 0 if argv[1] == "entries" or not lines else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
