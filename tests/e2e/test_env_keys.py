# SPDX-License-Identifier: MIT
"""The environment commands (-set, -get, -list, -unset, -load) on both stores of the board:
exact output, status, store contents and requests."""

import fcntl
import os
import struct
import unittest
import zlib

import harness
from flash_reference import ENOENT_OPEN, fatal

K150, V150 = b"k" * 150, b"v" * 150
DEFAULT = [b"serverip=192.168.1.1", b"ipaddr=192.168.1.20", b"netmask=255.255.255.0",
           b"hostname=zelk", b"bootdelay=3"]
# Store: its node and the codes of set, get and clear.
FLASH = ("flash_env0", "0x812cc002", "0x412cc003", "0x412cc004")
NVRAM = ("nvram0", "0x812cd104", "0xc12cd105", "0x2000d103")
CORRUPT = b"environment store corrupt"  # driver code 132


def listing(entries):  # what -list prints for these stored entries
    store = {}
    for entry in entries:
        key, _, value = entry.lstrip(b" \t\n\v\f\r").partition(b"=")
        store[key] = value
    return b"".join(key + b"=" + store[key] + b"\n" for key in sorted(store))


class test_env_keys(harness.board_test_case):
    def entries(self, store):  # the store's entries as its image holds them
        out = []
        for entry in self.board.image(store[0])[4:].split(b"\0"):
            if not entry:
                return out
            out.append(entry)
        return out

    def put_entries(self, store, entries):
        size = len(self.board.image(store[0]))
        body = b"".join(entry + b"\0" for entry in entries) + b"\0"
        body += b"\xff" * (size - 4 - len(body))
        with open(self.board.image_path(store[0]), "wb") as f:
            f.write(struct.pack(">I", zlib.crc32(body)) + body)

    def fault(self, store, op, *rule):
        self.board.vboard("fault", "clear")
        if op:
            self.board.vboard("fault", "add", store[0], op, *rule)

    def ioctls(self):  # (node, code) of each environment request since the last clear_log
        return [(r["node"], r["code"]) for r in self.board.requests() if r["op"] == "ioctl"]

    def test_set_then_get_on_the_chosen_store_whatever_dev_names(self):
        self.board.vboard("log", "on")
        for n, (args, store) in enumerate(((["-dev", "nvram0"], FLASH),
                                           (["-nvram"], NVRAM), (["-dev", "env0", "-nvram"], NVRAM))):
            with self.subTest(args=args):
                self.board.clear_log()
                self.assertEqual(self.romtool(*args, "-set", "k", "v%d  x " % n)[:2], (0, b""))
                self.assertEqual(self.romtool("-get", "k", *args)[:2], (0, b"k = v%d  x \n" % n))
                fields = ("node", "op", "flags", "code", "key", "value", "result")
                self.assertEqual(self.board.requests(*fields), [
                    (store[0], "open", "O_RDWR|O_SYNC", None, None, None, "fd"),
                    (store[0], "ioctl", None, store[1], '"k"', '"v%d  x "' % n, 0),
                    (store[0], "close", None, None, None, None, 0),
                    (store[0], "open", "O_RDWR|O_SYNC", None, None, None, "fd"),
                    (store[0], "ioctl", None, store[2], '"k"', None, 1),
                    (store[0], "close", None, None, None, None, 0)])
        self.assertEqual((self.entries(FLASH)[-1], self.entries(NVRAM)),
                         (b"k=v0  x ", [b"k=v2  x "]))

    def test_list(self):
        self.board.vboard("log", "on")
        rich = [b"b=1", b" \tlead=x", b"Z=x=y", b"b=2", b"sp ace = v ", K150 + b"=" + V150]
        eio = b"read -- EIO: an I/O error occurred."
        rows = (  # store, entries (None: as created), fault, status, stdout
            (FLASH, None, (), 0, listing(DEFAULT)),
            (NVRAM, None, (), 0, b""),
            (FLASH, rich, (), 0, listing(rich)),  # later duplicate wins, leading blanks go
            (NVRAM, rich, (), 0, listing(rich)),
            (NVRAM, [b"a=1", b"oops"], (), 1, fatal(b"Parse error in oops")),
            (FLASH, None, ("read", "nth=20", "errno=5"), 1,
             fatal(b"/dev/zelk/flash_env0: " + eio)))
        for store, entries, fault, status, stdout in rows:
            with self.subTest(store=store[0], entries=entries, fault=fault):
                if entries is not None:
                    self.put_entries(store, entries)
                self.fault(store, *fault or (None,))
                self.board.clear_log()
                args = ["-nvram"] if store is NVRAM else ["-dev", "bios0"]
                self.assertEqual(self.romtool("-list", *args)[:2], (status, stdout))
                # One byte per read, from offset 4 to the empty entry.
                reads = [r["len"] for r in self.board.requests() if r["op"] == "read"]
                if not status:
                    image = b"".join(e + b"\0" for e in self.entries(store)) + b"\0"
                    self.assertEqual(reads, ["1"] * len(image))

    def test_unset(self):
        self.board.vboard("log", "on")
        rows = (  # store, args, status, stdout, entries after, requests sent
            (FLASH, ["hostname"], 0, b"", DEFAULT[:3] + [b"hostname="] + DEFAULT[4:], "gs"),
            (FLASH, ["nokey"], 0, b"", DEFAULT, "g"),
            (NVRAM, [K150.decode()], 0, b"", [b"a=1", K150 + b"="], "gs"),
            (NVRAM, ["k" * 151], 1, fatal(b"env_t::get() -- key of 151 bytes, at most 150 fit"),
             [b"a=1", K150 + b"=" + V150], ""),
            (NVRAM, [], 1, self.run_direct().stdout, [b"a=1", K150 + b"=" + V150], ""))
        for store, args, status, stdout, after, sent in rows:
            with self.subTest(store=store[0], args=args):
                self.put_entries(FLASH, DEFAULT)
                self.put_entries(NVRAM, [b"a=1", K150 + b"=" + V150])
                self.board.clear_log()
                nvram = ["-nvram"] if store is NVRAM else []
                self.assertEqual(self.romtool(*nvram, "-unset", *args)[:2], (status, stdout))
                self.assertEqual(self.entries(store), after)
                codes = {"g": store[2], "s": store[1]}
                self.assertEqual(self.ioctls(), [(store[0], codes[c]) for c in sent])

    def test_load(self):
        start = [b"keep=1"]
        bad = fatal(b"env_t::set() -- value of 151 bytes, at most 150 fit")
        rows = (  # store, text (None: no file; bytes: in.env; str: on stdin), fault, status,
            #         stdout, entries after (None: as at the start)
            (FLASH, b"b=2\na=1\nb=3\n", (), 0, b"", [b"b=3", b"a=1"]),
            (NVRAM, b"  lead=x\nsp ace = v=w \n=no key\n", (), 0, b"",
             [b"  lead=x", b"sp ace = v=w ", b"=no key"]),
            (NVRAM, K150 + b"=" + V150, (), 0, b"", [K150 + b"=" + V150]),
            (FLASH, b"", (), 0, b"", []),
            (FLASH, b"a=1\nk=" + V150 + b"v\n", (), 1, bad, None),
            (NVRAM, b"a=1\nnoequals\nb=2\n", (), 1, fatal(b"Parse error in noequals"), None),
            (FLASH, None, (), 1, fatal(b"none.env: " + ENOENT_OPEN), None),
            (FLASH, b"a=1\n", ("code=" + FLASH[3], "errno=132"), 1,
             b"load failed when clearing the store: /dev/zelk/flash_env0: " + CORRUPT + b"\n",
             None),
            (NVRAM, b"a=1\nb=2\nc=3\n", ("code=" + NVRAM[1], "nth=2", "errno=22"), 1,
             b"load failed after 1 line was stored: /dev/zelk/nvram0: "
             b"ioctl -- EINVAL: invalid request or argument\n", [b"a=1"]),
            (NVRAM, "x=1\ny = 2\n", (), 0, b"", [b"x=1", b"y = 2"]))
        self.assertEqual(self.romtool("-get", "nokey")[:2], (1, fatal(b"no such key, nokey\n")))
        for store, text, fault, status, stdout, after in rows:
            with self.subTest(store=store[0], text=text, fault=fault):
                self.put_entries(store, start)
                self.fault(store, "ioctl" if fault else None, *fault)
                args = ["-load", "-" if isinstance(text, str) else
                        "in.env" if text is not None else "none.env"]
                args += ["-nvram"] if store is NVRAM else []
                if isinstance(text, str):
                    if harness.KERNEL:
                        self.skipTest("the guest's programs get no standard input")
                    result = self.check_stderr(harness._run(
                        self.board._command(args), cwd=self.board.work, stdin=text.encode()))
                else:
                    if text is not None:
                        self.board.put("in.env", text)
                    result = self.romtool(*args)
                self.assertEqual(result[:2], (status, stdout))
                self.assertEqual(self.entries(store), start if after is None else after)
        self.assertEqual(self.romtool("-load")[:2], (1, self.run_direct().stdout))

    def test_listing_loads_back_byte_for_byte(self):
        for store, nvram in ((FLASH, []), (NVRAM, ["-nvram"])):
            with self.subTest(store=store[0]):
                self.put_entries(store, DEFAULT + [b"  lead=x", b"b=1", K150 + b"=" + V150,
                                                   b"b=x=y", b"=no key", b"sp = v "])
                saved = self.romtool("-list", *nvram).stdout
                self.board.put("saved.env", saved)
                self.assertEqual(self.romtool("-set", "serverip", "10.0.0.1", *nvram)[0], 0)
                self.assertEqual(self.romtool("-unset", "hostname", *nvram)[0], 0)
                self.assertEqual(self.romtool("-load", "saved.env", *nvram)[:2], (0, b""))
                self.assertEqual(self.romtool("-list", *nvram)[:2], (0, saved))

    @harness.preload_board_only("the holder's lock is taken on the host, whose /run/lock the guest does not share")
    def test_locks_on_the_node_used(self):
        self.board.put("in.env", b"a=1\n")
        fd = os.open(self.board.lock_file("nvram0"), os.O_RDONLY | os.O_CREAT, 0o644)
        self.addCleanup(os.close, fd)
        fcntl.flock(fd, fcntl.LOCK_SH)
        busy = (1, b"device busy: /dev/zelk/nvram0\n")
        for args, outcome in ((["-unset", "a", "-nvram"], busy), (["-load", "in.env", "-nvram"], busy),
                              (["-list", "-nvram"], (0, b"")), (["-unset", "a"], (0, b""))):
            with self.subTest(args=args):
                self.assertEqual(self.romtool("-nowait", *args)[:2], outcome)


if __name__ == "__main__":
    unittest.main()
