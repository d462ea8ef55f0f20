#!/usr/bin/env python3
"""The side-effect check of the robustness run on made-up prefixes: what it
reports, what it counts as Wine's churn and what as the run's own places."""
import io
import os
import sys
import tempfile
import unittest
from contextlib import redirect_stdout

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "fuzz"))
import sidefx  # noqa: E402

SYSTEM = """WINE REGISTRY Version 2
;; All keys relative to \\\\Machine

[Software\\\\Wine] 1700000000
#time=1d9
"Counter"="%(counter)s"

[System\\\\ControlSet001\\\\Control\\\\Class\\\\{51f2a7c3-0b6e-4c11-9a0f-5f757a7a0001}\\\\0000] 1700000000
"DriverDesc"="Brisvale RK72 fuzz"
%(extra)s
"""


class SideEffects(unittest.TestCase):
    def picture(self, folder, counter="1", extra="", files=()):
        prefix = os.path.join(folder, "pfx")
        os.makedirs(os.path.join(prefix, "drive_c", "q5fuzz", "scratch"), exist_ok=True)
        with open(os.path.join(prefix, "system.reg"), "w") as f:
            f.write(SYSTEM % {"counter": counter, "extra": extra})
        for name, data in files:
            path = os.path.join(prefix, "drive_c", name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(data)
        out = os.path.join(folder, "%d.json" % len(os.listdir(folder)))
        sidefx.snapshot(prefix, out)
        return out

    def compare(self, folder, after_extra="", after_files=()):
        before = self.picture(folder, counter="1")
        mid = self.picture(folder, counter="2")  # Wine's churn: Counter changes
        after = self.picture(folder, counter="3", extra=after_extra, files=after_files)
        text = io.StringIO()
        with redirect_stdout(text):
            rc = sidefx.compare(before, mid, after, com_ports=False)
        return rc, text.getvalue()

    def test_churn_and_own_places_are_not_side_effects(self):
        with tempfile.TemporaryDirectory() as folder:
            rc, text = self.compare(folder, after_extra='"InfPath"="gone.inf"',
                                    after_files=[("q5fuzz/scratch/b/copy.inf", "x")])
            self.assertEqual(rc, 0, text)

    def test_a_value_in_the_root_of_hklm_is_reported(self):
        with tempfile.TemporaryDirectory() as folder:
            rc, text = self.compare(folder, after_extra='\n[] 1700000001\n"UninstallString"="x"\n')
            self.assertEqual(rc, 1)
            self.assertIn('HKLM (the root itself) value "uninstallstring" value added', text)

    def test_a_file_beside_the_scratch_folder_is_reported(self):
        with tempfile.TemporaryDirectory() as folder:
            rc, text = self.compare(folder, after_files=[("q5fuzz/escape.sys", "x"), ("windows/system32/a.sys", "x")])
            self.assertEqual(rc, 1)
            self.assertIn("C:/q5fuzz/escape.sys added", text)
            self.assertIn("C:/windows/system32/a.sys added", text)


if __name__ == "__main__":
    unittest.main()
