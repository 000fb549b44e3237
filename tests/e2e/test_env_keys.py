# SPDX-License-Identifier: MIT
"""-set and -get on the virtual board: exact output, status, store contents and requests."""

import unittest

import harness
from flash_reference import ENOENT_OPEN, fatal


class test_env_keys(harness.board_test_case):
    def test_set_then_get_whatever_dev_names(self):
        self.board.vboard("log", "on")
        for n, dev in enumerate(([], ["-dev", "bios0"], ["-dev", "nvram0"])):
            with self.subTest(dev=dev):
                self.board.clear_log()
                self.assertEqual(self.romtool(*dev, "-set", "k", "v%d" % n)[:2], (0, b""))
                self.assertEqual(self.romtool("-get", "k", *dev)[:2], (0, b"k = v%d\n" % n))
                self.assertEqual(self.board.vboard("env", "get", "k"), b"v%d\n" % n)
                fields = ("node", "op", "flags", "code", "key", "value", "result")
                self.assertEqual(self.board.requests(*fields), [
                    ("flash_env0", "open", "O_RDWR|O_SYNC", None, None, None, "fd"),
                    ("flash_env0", "ioctl", None, "0x812cc002", '"k"', '"v%d"' % n, 0),
                    ("flash_env0", "close", None, None, None, None, 0),
                    ("flash_env0", "open", "O_RDWR|O_SYNC", None, None, None, "fd"),
                    ("flash_env0", "ioctl", None, "0x412cc003", '"k"', None, 1),
                    ("flash_env0", "close", None, None, None, None, 0)])

    def test_value_with_blanks_is_stored_whole(self):
        value = "console=ttyS0,115200 root=/dev/mtdblock2  rw "
        self.assertEqual(self.romtool("-set", "bootargs", value)[:2], (0, b""))
        self.assertEqual(self.romtool("-get", "bootargs")[:2],
                         (0, b"bootargs = " + value.encode() + b"\n"))
        # The limit of 150 bytes holds for the whole value, blanks included.
        for length, outcome in ((150, (0, b"")),
                                (151, (1, fatal(b"env_t::set() -- value of 151 bytes, "
                                                b"at most 150 fit")))):
            with self.subTest(length=length):
                long_value = ("a " * 75 + "b")[:length]
                self.assertEqual(self.romtool("-set", "long", long_value)[:2], outcome)
        self.assertEqual(self.board.vboard("env", "get", "long"), b"a " * 75 + b"\n")

    def test_failures_end_with_one_fatal_message(self):
        self.assertEqual(self.romtool("-get", "nokey")[:2], (1, fatal(b"no such key, nokey\n")))
        self.board.vboard("fault", "missing", "env0")
        self.assertEqual(self.romtool("-get", "serverip")[:2],
                         (1, fatal(b"/dev/zelk/flash_env0: " + ENOENT_OPEN)))


if __name__ == "__main__":
    unittest.main()
