# SPDX-License-Identifier: MIT
"""The environment commands -set, -get, -list and -unset on both stores of the board, and
-list's listing loaded back: exact output, status, store contents and requests."""

import unittest

import harness
from flash_reference import DEFAULT, FLASH, K150, NVRAM, V150, fatal


def listing(entries):  # what -list prints for these stored entries
    store = {}
    for entry in entries:
        key, _, value = entry.lstrip(b" \t\n\v\f\r").partition(b"=")
        store[key] = value
    return b"".join(key + b"=" + store[key] + b"\n" for key in sorted(store))


class test_env_keys(harness.board_test_case):
    def test_set_then_get_on_the_chosen_store_whatever_dev_names(self):
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
        self.assertEqual((self.board.env_entries(FLASH[0])[-1], self.board.env_entries(NVRAM[0])),
                         (b"k=v0  x ", [b"k=v2  x "]))

    def test_list(self):
        rich = [b"b=1", b"Z=x=y", b"b=2", b"sp ace = v ", b"=", K150 + b"=" + V150]
        # Written by something else: their lines would load back as other entries.
        # Of a key stored twice the later entry counts, whatever the earlier holds.
        alien = [b"lead=y", b"a=1", b"k=v\r", b"k\nx=v", b"v=" + V150 + b"v", b" \tlead=x",
                 b"b=1\r", b"b=2"]
        left_out = (b'romtool: key "k" will not load back: a value cannot end in a carriage return\n'
                    b'romtool: key "k\\nx" will not load back: a key cannot hold a newline\n'
                    b'romtool: key " \\tlead" will not load back: a key cannot begin with white space\n'
                    b'romtool: key "v" will not load back: value of 151 bytes, at most 150 fit\n')
        eio = b"read -- EIO: an I/O error occurred."
        rows = (  # store, entries (None: as created), fault, status, stdout, stderr
            (FLASH, None, (), 0, listing(DEFAULT), b""),
            (NVRAM, None, (), 0, b"", b""),
            (FLASH, rich, (), 0, listing(rich), b""),  # a later duplicate wins
            (NVRAM, rich, (), 0, listing(rich), b""),
            (NVRAM, alien, (), 1, b"a=1\nb=2\n", left_out),
            (NVRAM, [b"a=1", b"oops"], (), 1, fatal(b'Parse error in "oops"'), b""),
            (FLASH, None, ("read", "nth=20", "errno=5"), 1,
             fatal(b"/dev/zelk/flash_env0: " + eio), b""))
        for store, entries, fault, status, stdout, stderr in rows:
            with self.subTest(store=store[0], entries=entries, fault=fault):
                if entries is not None:
                    self.board.put_env(store[0], entries)
                self.board.vboard("fault", "clear")
                if fault:
                    self.board.vboard("fault", "add", store[0], *fault)
                self.board.clear_log()
                args = ["-nvram"] if store is NVRAM else ["-dev", "bios0"]
                self.assertEqual(self.board.run("-list", *args), (status, stdout, stderr))
                # One byte per read, from offset 4 to the empty entry.
                reads = [r["len"] for r in self.board.requests() if r["op"] == "read"]
                if not status:
                    image = b"".join(e + b"\0" for e in self.board.env_entries(store[0])) + b"\0"
                    self.assertEqual(reads, ["1"] * len(image))

    def test_unset(self):
        rows = (  # store, args, status, stdout, entries after, requests sent
            (FLASH, ["hostname"], 0, b"", DEFAULT[:3] + [b"hostname="] + DEFAULT[4:], "gs"),
            (FLASH, ["nokey"], 0, b"", DEFAULT, "g"),
            (NVRAM, [K150.decode()], 0, b"", [b"a=1", K150 + b"="], "gs"),
            (NVRAM, ["k" * 151], 1, fatal(b"env_t::get() -- key of 151 bytes, at most 150 fit"),
             [b"a=1", K150 + b"=" + V150], ""),
            (NVRAM, [], 1, self.run_direct().stdout, [b"a=1", K150 + b"=" + V150], ""))
        for store, args, status, stdout, after, sent in rows:
            with self.subTest(store=store[0], args=args):
                self.board.put_env(FLASH[0], DEFAULT)
                self.board.put_env(NVRAM[0], [b"a=1", K150 + b"=" + V150])
                self.board.clear_log()
                nvram = ["-nvram"] if store is NVRAM else []
                self.assertEqual(self.romtool(*nvram, "-unset", *args)[:2], (status, stdout))
                self.assertEqual(self.board.env_entries(store[0]), after)
                codes = {"g": store[2], "s": store[1]}
                self.assertEqual([(n, c) for n, op, c in self.board.requests("node", "op", "code")
                                  if op == "ioctl"], [(store[0], codes[c]) for c in sent])

    def test_listing_loads_back_to_the_same_store(self):
        for store, nvram in ((FLASH, []), (NVRAM, ["-nvram"])):
            with self.subTest(store=store[0]):
                self.board.put_env(store[0], DEFAULT + [b"b=1", K150 + b"=" + V150, b"b=x=y",
                                                        b"=no key", b"sp = v ", b"cr=a\rb"])
                before = self.board.image(store[0])
                saved = self.romtool("-list", *nvram).stdout
                self.board.put("saved.env", saved)
                self.assertEqual(self.romtool("-set", "serverip", "10.0.0.1", *nvram)[0], 0)
                self.assertEqual(self.romtool("-unset", "hostname", *nvram)[0], 0)
                self.assertEqual(self.romtool("-load", "saved.env", *nvram)[:2], (0, b""))
                self.assertEqual(self.board.image(store[0]), before)

    def test_set_refuses_what_would_not_list_back(self):
        # Refused before anything is opened or locked: the store is never touched.
        rows = (  # args, message
            (["-set", "zz", "x\nserverip=6.6.6.6"], b"env_t::set() -- a value cannot hold a newline"),
            (["-set", "a=b", "v"], b'env_t::set() -- a key cannot hold "="'),
            (["-set", "k", "v\r"], b"env_t::set() -- a value cannot end in a carriage return"),
            (["-set", "k" * 151, "v"], b"env_t::set() -- key of 151 bytes, at most 150 fit"),
            (["-get", "k" * 151], b"env_t::get() -- key of 151 bytes, at most 150 fit"),
        )
        for args, message in rows:
            with self.subTest(args=args):
                self.board.clear_log()
                self.assertEqual(self.romtool("-dev", "nosuch", *args)[:2], (1, fatal(message)))
                self.assertEqual(self.board.requests(), [])
        self.assertEqual(self.board.env_entries(FLASH[0]), DEFAULT)


if __name__ == "__main__":
    unittest.main()
