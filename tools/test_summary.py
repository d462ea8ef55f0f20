#!/usr/bin/env python3
"""make test's closing lines: the tests skipped by name, then one line on the
x86 tree's test programs (how many ran, in which mode, how many ctest
skipped and why, and how many single tests were skipped by name).

usage: test_summary.py X86_JUNIT SKIPPED_TXT MODE WHY
  X86_JUNIT    ctest --output-junit of the x86 tree
  SKIPPED_TXT  "program<TAB>test<TAB>reason" lines (wine-run.sh, the packaging test)
"""

import collections
import os
import sys
import xml.etree.ElementTree as ElementTree


def programs(junit):
    """(ran, failed, skipped) counts of the tree's test programs."""
    if not os.path.exists(junit):
        return 0, 0, 0
    ran = failed = skipped = 0
    for case in ElementTree.parse(junit).getroot().iter("testcase"):
        # The finding of the mode and its removal run no 32-bit program.
        if case.get("name", "") in ("x86_mode_find", "x86_mode_forget"):
            continue
        status = case.get("status", "")
        if case.find("skipped") is not None or status in ("notrun", "disabled"):
            skipped += 1
        else:
            ran += 1
            failed += status == "fail" or case.find("failure") is not None
    return ran, failed, skipped


def named_skips(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8", errors="replace") as f:
        return [line.rstrip("\n").split("\t", 2) for line in f if line.count("\t") == 2]


def summary(counts, skips, mode, why):
    ran, failed, skipped = counts
    cannot = "32-bit programs cannot run here: " + why
    if mode == "none":
        line = "32-bit test programs: %d of %d ran, %d skipped because %s" % (ran, ran + skipped, skipped, cannot)
    else:
        line = "32-bit test programs: %d of %d ran %s (%s), %d failed, %d skipped" % (
            ran, ran + skipped, mode, why, failed, skipped)
    reasons = collections.Counter(reason for _, _, reason in skips)
    if reasons:
        line += "; %d tests skipped by name (listed above): %s" % (len(skips), "; ".join(
            "%d %s" % (n, "for the same reason" if r == cannot else "because " + r) for r, n in reasons.most_common()))
    else:
        line += "; no test skipped by name"
    return line


def main(argv):
    if len(argv) != 5:
        sys.exit(__doc__)
    skips = named_skips(argv[2])
    for program, test, reason in skips:
        print("skipped: %s: %s: %s" % (program, test, reason))
    print(summary(programs(argv[1]), skips, argv[3], argv[4]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
