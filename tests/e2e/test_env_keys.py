"""-set and -get on the virtual board: exact output, status, store contents and requests."""

import unittest

import harness

SET = "0x812cc002"
GET = "0x412cc003"


def fatal(message):
    return b"\nromtool fatal error : " + message + b"\n\n"


def lifecycle(*ioctls):
    """open, the requests, close; all on the environment flash."""
    return ([("open", "O_RDWR|O_SYNC", "", "", 3)] + list(ioctls) + [("close", None, "", "", 0)])


class test_env_keys(harness.board_test_case):
    def setUp(self):
        super().setUp()
        self.board.vboard("log", "on")

    def requests(self):
        """The requests since the last call; all must be on the environment flash node."""
        log = self.board.requests()
        self.board.vboard("log", "clear")
        self.assertEqual({r["node"] for r in log} - {"flash_env0"}, set())
        return [(r["op"], r.get("flags") or r.get("code"), r.get("key", '""')[1:-1],
                 r.get("value", '""')[1:-1], 3 if r["op"] == "open" and r["result"] >= 0
                 else r["result"]) for r in log]

    def test_set_then_get_whatever_dev_names(self):
        for dev in ([], ["-dev", "bios0"], ["-dev", "nvram0"]):
            with self.subTest(dev=dev):
                result = self.romtool(*dev, "-set", "k", "v1")
                self.assertEqual(result[:2], (0, b""))
                self.assertEqual(self.requests(), lifecycle(("ioctl", SET, "k", "v1", 0)))
                result = self.romtool("-get", "k", *dev)
                self.assertEqual(result[:2], (0, b"k = v1\n"))
                self.assertEqual(self.requests(), lifecycle(("ioctl", GET, "k", "", 1)))
                self.assertEqual(self.board.vboard("env", "get", "k"), b"v1\n")
                self.romtool("-set", "k", "other")  # the next row must see its own value
                self.requests()

    def test_failures_end_with_one_fatal_message(self):
        k150 = "k" * 150
        rows = [
            # arguments, fault, message, requests after the open
            (["-get", "nokey"], None, b"no such key, nokey\n", [("ioctl", GET, "nokey", "", 0)]),
            # Cut to 150 bytes it would write another key: refused, nothing sent (the
            # other fields and forms are env_t's unit tests).
            (["-set", k150 + "x", "v"], None,
             b"env_t::set() -- key of 151 bytes, at most 150 fit", []),
            # The board logs no value for a request its fault refused.
            (["-set", "k", "v"], ["add", "env0", "ioctl", "code=" + SET, "errno=128"],
             b"/dev/zelk/flash_env0: flash device busy", [("ioctl", SET, "k", "", -1)]),
            (["-set", "k", "v"], ["add", "env0", "ioctl", "errno=22"],
             b"/dev/zelk/flash_env0: ioctl -- EINVAL: invalid request or argument",
             [("ioctl", SET, "k", "", -1)]),
        ]
        for args, fault, message, ioctls in rows:
            with self.subTest(args=args[:2], fault=fault):
                self.board.vboard("log", "clear")
                if fault:
                    self.board.vboard("fault", *fault)
                result = self.romtool(*args)
                self.board.vboard("fault", "clear")
                self.assertEqual(result[:2], (1, fatal(message)))
                log = self.requests()
                self.assertEqual([r for r in log if r[0] == "ioctl" and r[1] != "0xc0ccd00a"],
                                 ioctls)
        self.assertEqual(self.board.vboard("env", "get", "k", check=False), b"")

    def test_missing_node(self):
        self.board.vboard("fault", "missing", "env0")
        result = self.romtool("-get", "serverip")
        self.assertEqual(result[:2], (1, fatal(
            b"/dev/zelk/flash_env0: open -- "
            b"ENOENT: file/dir does not exist or is a dangling symbolic link")))


if __name__ == "__main__":
    unittest.main()
