#!/usr/bin/env python3
"""Pictures of a Wine prefix (its registry files and its drive tree) and the
comparison that tells what a robustness run changed outside its own places.

  sidefx.py snapshot PREFIX OUT.json
  sidefx.py compare BEFORE.json MID.json AFTER.json [--com-ports]

BEFORE -> MID is a run of harmless calls: whatever changed there is Wine's
own churn (activation, services, temporary files) and is not held against
the server. MID -> AFTER is the robustness run. A change there that is
neither churn nor below one of the run's own places is a side effect.
The registry files are read after `wineserver -w`, which writes them.
"""
import json
import os
import re
import sys

HIVES = ("system.reg", "user.reg", "userdef.reg")

# The run's own places (tools/fuzz/calls.cpp says why each is safe to change).
OWN_KEYS = {
    "user.reg": [r"software\q5fuzzscratch"],
    "system.reg": [
        r"software\q5fuzzscratch",
        r"software\classes\q5fuzzscratch",
        # The same keys as a 32-bit server sees them.
        r"software\wow6432node\q5fuzzscratch",
        r"software\classes\wow6432node\q5fuzzscratch",
        r"software\wow6432node\classes\q5fuzzscratch",
        r"system\currentcontrolset\control\class\{51f2a7c3-0b6e-4c11-9a0f-5f757a7a0001}",
        r"system\currentcontrolset\enum\root\q5fuzz",
    ],
}
COM_PORT_KEY = r"system\currentcontrolset\control\com name arbiter"
OWN_FOLDERS = ["q5fuzz/scratch/"]


def normal_key(name):
    name = name.replace("\\\\", "\\").lower()
    return re.sub(r"^system\\controlset\d{3}", r"system\\currentcontrolset", name)


def read_hive(path):
    keys = {}
    if not os.path.exists(path):
        return keys
    current = None
    pending = None
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if pending is not None:
                pending[1] += line.strip()
                if not line.endswith("\\"):
                    current[pending[0]] = pending[1]
                    pending = None
                continue
            if line.startswith("["):
                end = line.rfind("]")
                current = keys.setdefault(normal_key(line[1:end]), {})
                continue
            if current is None or not line or line.startswith("#") or line.startswith(";"):
                continue
            if line.startswith("@="):
                name, data = "@", line[2:]
            else:
                m = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
                if not m:
                    continue
                name, data = m.group(1).lower(), m.group(2)
            if data.endswith("\\"):
                pending = [name, data]
            else:
                current[name] = data
    return keys


def read_tree(drive):
    files = {}
    for folder, dirs, names in os.walk(drive, followlinks=False):
        rel = os.path.relpath(folder, drive)
        rel = "" if rel == "." else rel + "/"
        for d in dirs:
            files[(rel + d + "/").lower()] = "dir"
        for n in names:
            p = os.path.join(folder, n)
            try:
                st = os.lstat(p)
            except OSError:
                continue
            files[(rel + n).lower()] = "%d %d" % (st.st_size, st.st_mtime_ns)
    return files


def snapshot(prefix, out):
    picture = {"reg": {h: read_hive(os.path.join(prefix, h)) for h in HIVES},
               "files": read_tree(os.path.join(prefix, "drive_c"))}
    with open(out, "w") as f:
        json.dump(picture, f)


def changes(a, b):
    """(place, what) pairs: registry keys and values, files."""
    found = []
    for hive in HIVES:
        ka, kb = a["reg"].get(hive, {}), b["reg"].get(hive, {})
        for key in kb.keys() - ka.keys():
            found.append(((hive, key, None), "key added"))
            for name in kb[key]:
                found.append(((hive, key, name), "value added"))
        for key in ka.keys() - kb.keys():
            found.append(((hive, key, None), "key removed"))
        for key in ka.keys() & kb.keys():
            va, vb = ka[key], kb[key]
            for name in va.keys() | vb.keys():
                if va.get(name) != vb.get(name):
                    what = "value added" if name not in va else "value removed" if name not in vb else "value changed"
                    found.append(((hive, key, name), what))
    fa, fb = a["files"], b["files"]
    for path in fb.keys() - fa.keys():
        found.append((("drive_c", path, None), "added"))
    for path in fa.keys() - fb.keys():
        found.append((("drive_c", path, None), "removed"))
    for path in fa.keys() & fb.keys():
        if fa[path] != fb[path]:
            found.append((("drive_c", path, None), "changed"))
    return found


def own(place, com_ports):
    hive, path, _ = place
    if hive == "drive_c":
        return any(path.startswith(f) for f in OWN_FOLDERS)
    prefixes = list(OWN_KEYS.get(hive, []))
    if com_ports and hive == "system.reg":
        prefixes.append(COM_PORT_KEY)
    return any(path == p or path.startswith(p + "\\") for p in prefixes)


def shown(place, what, value_name=True):
    hive, path, name = place
    if hive == "drive_c":
        return "C:/%s %s" % (path, what)
    root = {"system.reg": "HKLM", "user.reg": "HKCU", "userdef.reg": "HKU\\.Default"}[hive]
    text = "%s\\%s" % (root, path) if path else root + " (the root itself)"
    if name is not None:
        text += " value %s" % ("(default)" if name == "@" else '"%s"' % name)
    return "%s %s" % (text, what)


def compare(before, mid, after, com_ports):
    load = lambda p: json.load(open(p))
    b, m, a = load(before), load(mid), load(after)
    churn = {place for place, _ in changes(b, m)}
    found = [(p, w) for p, w in changes(m, a) if p not in churn and not own(p, com_ports)]
    found.sort(key=lambda x: (x[0][0], x[0][1], x[0][2] or ""))
    print("side effects outside the run's own places: %d (Wine's own churn learned from harmless calls: %d places)"
          % (len(found), len(churn)))
    for place, what in found[:40]:
        print("  " + shown(place, what))
    if len(found) > 40:
        print("  ... %d more" % (len(found) - 40))
    return 1 if found else 0


def main(argv):
    if len(argv) == 4 and argv[1] == "snapshot":
        snapshot(argv[2], argv[3])
        return 0
    if len(argv) >= 5 and argv[1] == "compare":
        return compare(argv[2], argv[3], argv[4], "--com-ports" in argv[5:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
