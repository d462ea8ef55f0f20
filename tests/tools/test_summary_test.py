#!/usr/bin/env python3
"""make test's closing line from made-up ctest results: which programs count
as run, failed or skipped, and how the tests skipped by name are told."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import test_summary  # noqa: E402

JUNIT = """<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="x86" tests="4">
%s
</testsuite>
"""
CASES = {
    "passed": '<testcase name="a" status="run"/>',
    "failed": '<testcase name="b" status="fail"><failure message="Failed"/></testcase>',
    "skipped": '<testcase name="c" status="notrun"><skipped message="Skipped"/></testcase>',
    "finding": '<testcase name="x86_mode_find" status="run"/>',
}
WHY = "forced by Q5_X86_MODE=none"


class Summary(unittest.TestCase):
    def junit(self, *kinds):
        path = os.path.join(self.enterContext(tempfile.TemporaryDirectory()), "junit.xml")
        with open(path, "w") as f:
            f.write(JUNIT % "\n".join(CASES[k] for k in kinds))
        return path

    def test_programs_are_counted_as_ran_failed_or_skipped(self):
        for kinds, wanted in [
            (("passed", "passed"), (2, 0, 0)),
            (("passed", "failed", "skipped"), (2, 1, 1)),
            (("skipped", "skipped"), (0, 0, 2)),
            (("passed", "finding"), (1, 0, 0)),
        ]:
            with self.subTest(kinds=kinds):
                self.assertEqual(test_summary.programs(self.junit(*kinds)), wanted)
        self.assertEqual(test_summary.programs("/no/such/junit.xml"), (0, 0, 0))

    def test_line_names_mode_counts_and_reasons(self):
        cannot = "32-bit programs cannot run here: " + WHY
        for counts, skips, mode, why, wanted in [
            ((31, 0, 0), [], "native", "WoW64", "31 of 31 ran native (WoW64), 0 failed, 0 skipped; no test skipped by name"),
            ((30, 1, 0), [["e2e_test", "S.T", "emulated: guard pages"]], "emulated", "qemu", "30 of 30 ran emulated (qemu), "
             "1 failed, 0 skipped; 1 tests skipped by name (listed above): 1 because emulated: guard pages"),
            ((0, 0, 31), [["e2e_test", "S.T", cannot], ["packaging_test", "major upgrade: 32-bit client", cannot]], "none", WHY,
             "0 of 31 ran, 31 skipped because " + cannot + "; 2 tests skipped by name (listed above): 2 for the same reason"),
        ]:
            with self.subTest(mode=mode):
                self.assertEqual(test_summary.summary(counts, skips, mode, why), "32-bit test programs: " + wanted)


if __name__ == "__main__":
    unittest.main()
