# SPDX-License-Identifier: MIT
"""Power cut just after each request of a load, in turn: afterwards the environment holds
each key old or new (or, where a load must clear, the text's first keys), and the same load
run again completes. (A cut inside one request is the board core's, tested there.)"""

import os
import signal
import unittest

import harness


def cut_points(log):
    """(op, nth) of the requests of a clean run to cut at: all but the reads after the first
    of a run, which change nothing."""
    points, seen = [], {}
    for i, op in enumerate(log):
        seen[op] = seen.get(op, 0) + 1
        if op != "read" or i == 0 or log[i - 1] != "read":
            points.append((op, seen[op]))
    return points


class test_power_cuts(harness.board_test_case):
    def test_load_cut_after_each_request(self):
        # Cut just after each request completes: partial= the whole store. On this driver
        # model a cut inside a set leaves the store erased, which no tool can prevent.
        before = self.board.image("flash_env0")
        stored = [e.split(b"=", 1) for e in self.board.env_entries("flash_env0")]
        default, size = dict(stored), len(before)
        rows = (  # what the text keeps of the store, whether a clear is needed
            ({**default, b"serverip": b"10.0.0.1", b"bootdelay": b"", b"new": b"1"}, False),
            ({**{k: v for k, v in default.items() if k != b"netmask"}, b"ipaddr": b"1.2.3.4"},
             True),
        )
        for text, clears in rows:
            loaded = b"".join(k + b"=" + v + b"\n" for k, v in text.items())
            self.board.put("in.env", loaded)
            self.board.put(self.board.image_path("flash_env0"), before)
            self.board.clear_log()
            self.assertEqual(self.romtool("-load", "in.env")[:2], (0, b""))
            log = [r["op"] for r in self.board.requests() if r["node"] == "flash_env0"]
            self.assertEqual("ioctl" in log and log.count("ioctl") > len(text), clears)
            for point in cut_points(log):
                with self.subTest(clears=clears, cut=point):
                    self.board.put(self.board.image_path("flash_env0"), before)
                    with open(os.path.join(self.board.dir, "faults.txt"), "w") as f:
                        f.write("id=1 node=flash_env0 op=%s nth=%d powercut partial=%d hits=0\n"
                                % (*point, size))
                    self.assertEqual(self.romtool("-load", "in.env").status, -signal.SIGKILL)
                    now = [e.split(b"=", 1) for e in self.board.env_entries("flash_env0")]
                    if clears:  # the driver removes no key: as before, or the text's first keys
                        self.assertIn(now, (stored, [[k, v] for k, v in text.items()][:len(now)]))
                    else:
                        self.assertTrue(all(v in (default.get(k), text[k]) for k, v in now), now)
                        self.assertLessEqual(set(default), {k for k, _ in now})
                    open(os.path.join(self.board.dir, "faults.txt"), "w").close()
                    self.assertEqual(self.romtool("-load", "in.env")[:2], (0, b""))
                    self.assertEqual(dict(e.split(b"=", 1) for e in
                                          self.board.env_entries("flash_env0")), text)


if __name__ == "__main__":
    unittest.main()
