# SPDX-License-Identifier: MIT
"""Without its newer options romtool behaves exactly as before they existed: for every
invocation of unchanged_cases, stdout, status, the request sequence, the devices and the
files left behind equal what the older romtool recorded in unchanged.golden.json."""

import json
import os
import unittest

import harness
import unchanged_cases

KERNEL_REFUSES_OPEN = ("info missing", "erase missing")
GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "unchanged.golden.json")


class test_unchanged(harness.board_test_case):
    def test_every_invocation_as_recorded(self):
        with open(GOLDEN) as f:
            golden = json.load(f)
        self.assertEqual(sorted(golden), sorted(unchanged_cases.CASES))
        for name in unchanged_cases.CASES:
            with self.subTest(case=name):
                record, expected = unchanged_cases.record(name), dict(golden[name])
                if harness.KERNEL and name in KERNEL_REFUSES_OPEN:
                    # The kernel refuses to open a node that does not exist before any
                    # driver sees the request: there is nothing to log.
                    expected["requests"] = []
                self.assertEqual(record, expected)


if __name__ == "__main__":
    unittest.main()
