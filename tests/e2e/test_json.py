# SPDX-License-Identifier: MIT
"""-json and -dryrun: one object per run, valid against doc/romtool.schema.json (the harness
checks every -json run), with each command's facts and each kind of failure; bytes that come
back exactly; and dry runs that change nothing and say what the real run then does."""

import os
import signal
import time
import unittest

import harness
from flash_reference import FPGA_CRC, bios_device, bios_sums, fatal, random_bytes

IMAGE = random_bytes(100, 1)
BIOS = random_bytes(0x1000, 2)
BIOS_SIZE = 512 << 10


class test_json(harness.board_test_case):
    def run_json(self, *args):  # (status, object)
        result = self.romtool(*args, "-json")
        return result.status, harness.json_result(args + ("-json",), result)[0]

    def test_facts_and_failure_kinds(self):
        b = self.board
        b.add_flash("small", bytes(range(0x7E, 0xBE)))
        b.put("img.bin", IMAGE)
        b.put("bios.bin", BIOS)
        b.put("full.bin", bytes(FPGA_CRC))  # up to the CRC: its 4 bytes are not the image's
        b.put("in.env", b"serverip=1.2.3.4\nipaddr=192.168.1.20\nnetmask=255.255.255.0\n"
                        b"hostname=zelk\nbootdelay=3\n")
        b.put("bad.env", b"ok=1\n\xff\x01\"noequals\n")
        checksum, crc = bios_sums(BIOS)
        b.vboard("fault", "add", "bios0", "erase", "errno=130")
        b.vboard("fault", "add", "fpga1", "write", "nth=3", "silent")
        b.vboard("fault", "add", "fpga0", "ioctl", "errno=1")
        b.vboard("fault", "add", "env1", "read", "errno=127")  # the highest system errno
        with open(b.image_path("fpga0"), "r+b") as f:
            f.write(b"\x00")
        rows = [  # args, status, members the object holds (error: the error's members)
            (["-dev", "small", "-i"], 0, {"info": {"manufacturer_id": 1, "device_id": 2,
                                                   "size_kbits": 0, "part_name": "TEST"}}),
            (["-dev", "small", "-r", "4"], 0, {"hex": "7e7f8081"}),
            (["-dev", "small", "-dump", "out.bin", "-progress"], 0, {"target": "out.bin", "bytes": 64}),
            (["-dev", "small", "-dump", "-"], 0, {"target": "-", "bytes": 64}),
            (["-dev", "bios1", "-e", "-verify"], 0,
             {"erased": BIOS_SIZE, "erase_verify": {"ok": True, "offset": None}}),
            (["-dev", "bios1", "-pbios", "bios.bin", "-erase", "-verify", "-progress"], 0,
             {"image": {"bytes": 0x1000, "checksum": checksum, "crc": crc}, "erased": False,
              "skipped": False, "written": 0x1000, "verify": {"ok": True}}),
            (["-dev", "bios1", "-pbios", "bios.bin", "-ifchanged"], 0, {"skipped": True}),
            (["-dev", "fpga0", "-pfpga", "full.bin"], 0, {"written": FPGA_CRC}),
            (["-dev", "bios1", "-crc", "bios"], 0, {"crc": crc, "stored": crc, "match": True}),
            (["-get", "serverip"], 0, {"key": "serverip", "value": "192.168.1.1"}),
            (["-list", "-nvram"], 0, {"entries": []}),
            (["-set", "k", "v", "-nvram"], 0, {"set": ["k"], "clear": False}),
            (["-unset", "nokey"], 0, {"set": [], "clear": False}),
            (["-load", "in.env"], 0, {"set": ["serverip"], "clear": False}),
            (["-version"], 0, {"version": harness.romtool_version()}),
            # One failure of each kind the board can cause.
            ([], 1, {"command": None, "error": {"kind": "usage", "errno": None}}),
            (["-e", "-nvram"], 1, {"error": {"kind": "usage",
                                             "message": "-nvram does not apply to -e"}}),
            (["-p", "nosuch.bin"], 1, {"error": {"kind": "input", "message": "error opening file"}}),
            (["-load", "bad.env"], 1, {"error": {"kind": "input", "errno": None, "message":
                                                 'bad.env: line 2: Parse error in "\\xff\\x01\\"noequals"'}}),
            # Bytes that are no UTF-8 in a message of romtool's own (a cut sequence) become U+FFFD.
            (["-load", b"\xe1\x80.env"], 1, {"error": {"kind": "input", "errno": 2, "message":
                                                       "\ufffd\ufffd.env: open -- ENOENT: file/dir "
                                                       "does not exist or is a dangling symbolic link"}}),
            (["-dev", "nosuch", "-i"], 1, {"device": "/dev/zelk/flash_nosuch", "error": {
                "kind": "device", "errno": 2, "errno_name": "ENOENT"}}),
            (["-dev", "fpga0", "-i"], 1, {"error": {"errno": 1, "errno_name": "EPERM"}}),
            (["-dev", "env1", "-r", "1"], 1, {"error": {"errno": 127, "errno_name": "EKEYEXPIRED"}}),
            (["-dev", "fpga0", "-p", "img.bin", "-ifchanged"], 1, {"error": {
                "kind": "device", "offset": 0,
                "message": "device is not erased at 0x0; add -erase"}}),
            (["-dev", "bios0", "-e"], 1, {"error": {
                "kind": "driver", "driver_code": 130,
                "message": "erase failed: /dev/zelk/flash_bios0: flash erase timeout"}}),
            (["-dev", "fpga1", "-p", "img.bin", "-verify"], 1, {"written": 100, "error": {
                "kind": "verify", "offset": 32}, "verify": {"ok": False, "offset": 32,
                                                           "device": 255, "image": IMAGE[32]}}),
            (["-get", "nokey"], 1, {"error": {"kind": "environment", "errno": None,
                                              "message": "no such key, nokey"}}),
            (["-dev", "small", "-dump", "/dev/full"], 1, {"error": {"kind": "output",
                                                                   "errno_name": "ENOSPC"}}),
        ]
        for args, status, members in rows:
            with self.subTest(args=args):
                got_status, obj = self.run_json(*args)
                self.assertEqual(got_status, status)
                for name, value in members.items():
                    got = obj.get(name)
                    if isinstance(value, dict) and name == "error":
                        got = {k: got.get(k) for k in value}
                    self.assertEqual(got, value, name)
        # Beside the object of a usage error, its usage text on standard error.
        self.assertTrue(self.board.run("-json").stderr.startswith(b"Usage: romtool\n"))

    def test_bytes_come_back_exactly(self):
        # The writer's escaping, read back with Python's json: control characters, quotes,
        # backslashes, UTF-8, and bytes that are no UTF-8 at all.
        values = [b'tab\there "quoted" back\\slash', b"ctrl\x01\x1f\x7f", "é ü 日本".encode(),
                  b"\xff\xfe raw", b"cr\rin the middle", b"\xed\xa0\x80 surrogate", b"\x80",
                  b"\xc0\xaf overlong", b"\xe0\x9f\xbf overlong", b"\xf0\x8f\xbf\xbf overlong",
                  b"\xe9 lone lead", b"\xe0\xa0 cut", b"\xc1\xbf overlong",
                  # the ends of each lead's second byte
                  b"\xc2\x80\xdf\xbf\xe1\x80\x80\xef\xbf\xbf\xed\x9f\xbf", b"\xf4\x8f\xbf\xbf last",
                  b"\xf1\x80\x80\x80\xf3\xbf\xbf\xbf", b"\xf0\x90\x80\x80", b"\xe0\xa0\x80",
                  # one past an end: a second byte's, the leads'
                  b"\xf4\x90\x80\x80 past", b"\xc3\xc0", b"\xe1\xc0\x80", b"\xf1\xc0\x80\x80",
                  b"\xf5\x80\x80\x80", b"\xc3\x7f", b"\xe1\x7f\x80", b"\xf1\x7f\x80\x80"]
        for value in values:
            with self.subTest(value=value):
                self.assertEqual(self.romtool("-set", "k", value)[0], 0)
                got = self.run_json("-get", "k")[1]["value"]
                self.assertEqual(isinstance(got, str), "\ufffd" not in value.decode(errors="replace"))
                self.assertEqual(got.encode() if isinstance(got, str) else bytes.fromhex(got["hex"]),
                                 value)
        self.romtool("-set", "k", b"\x1f ~\x7f")  # escaped as a terminal needs it, no more
        self.assertIn(b'"value":"\\u001f ~\\u007f"', self.romtool("-get", "k", "-json").stdout)

    def test_ctrl_c_ends_the_stress_tests_and_the_loop_with_their_object(self):
        for args, status in ((["-rmt", "2"], 0), (["-wmt", "1"], 0), (["-l"], -signal.SIGINT)):
            with self.subTest(args=args):
                self.board.clear_log()
                process = self.board.start(*args, "-json")
                # The workers' first requests show the signal is waited for; -l shows nothing.
                self.board.wait_for(lambda: args[0] == "-l" or self.board.requests())
                time.sleep(1.5 if args[0] == "-l" else 0.2)
                process.send_signal(signal.SIGINT)
                out, err = process.communicate(timeout=harness.TIMEOUT)
                obj = harness.json_result(args + ["-json"], harness.result_t(0, out, err))[0]
                self.assertEqual((process.returncode, obj["ok"], err), (status, True, b""))
                self.assertEqual(obj["device"], "/dev/zelk/flash_env0")
                if not harness.KERNEL:  # they lock nothing: no lock file is made
                    self.assertFalse(os.path.lexists(self.board.lock_file("env0")))
                if args[0] != "-l":
                    self.assertEqual((obj["threads"], obj["failed_threads"]), (int(args[1]), 0))
                    ioctls = len([r for r in self.board.requests() if r["op"] == "ioctl"])
                    self.assertEqual(obj["passes"], ioctls - int(args[1]))  # each ends in a pause


class test_dry_run(harness.board_test_case):
    def changes(self):  # the requests that change a device or a store
        return [(r["op"], r.get("code")) for r in self.board.requests()
                if r["op"] == "write" or (r["op"] == "ioctl" and r["code"] in (
                    "0x2000c001", "0x812cc002", "0x412cc004"))]

    def test_programming_and_load(self):
        old = bios_device(random_bytes(0x800, 5), BIOS_SIZE)
        self.board.put(self.board.image_path("bios0"), old)
        self.board.put("bios.bin", BIOS)
        self.board.put("in.env", b"serverip=10.0.0.1\nipaddr=192.168.1.20\nnew=1\n")
        lines = b"checksum is 0x%x\ncrc is 0x%x\n" % bios_sums(BIOS)
        target = bios_device(BIOS, BIOS_SIZE)[:0x40000]
        differ = [i for i in range(0x40000) if old[i] != target[i]]
        rows = [  # command, what the dry run says, then the requests of the real run
            (["-dev", "bios0", "-erase", "-pbios", "bios.bin", "-verify"],
             lines + b"dry run: would erase the device\ndry run: would write 4096 bytes\n"
                     b"dry run: the device differs from 0x%x to 0x%x\n" % (differ[0], differ[-1]),
             [("ioctl", "0x2000c001")] + [("write", None)] * 256),
            (["-dev", "bios0", "-e"], b"dry run: would erase 524288 bytes\n"
             b"dry run: bytes not erased from 0x0 to 0x%x\n" % max(
                 i for i in range(len(target)) if target[i] != 0xFF), [("ioctl", "0x2000c001")]),
            (["-dev", "bios1", "-p", "bios.bin"], b"program_device:\ndry run: would write 4096 "
             b"bytes\ndry run: the device differs from 0x0 to 0xfff\n", [("write", None)] * 256),
            (["-dev", "bios1", "-p", "bios.bin"], b"program_device:\ndry run: would write 4096 "
             b"bytes\ndry run: the device already holds this image\n", [("write", None)] * 256),
            (["-load", "in.env"],
             b"dry run: would clear the store\ndry run: would add \"new\"\n"
             b"dry run: would change \"serverip\"\ndry run: would remove \"netmask\"\n"
             b"dry run: would remove \"hostname\"\ndry run: would remove \"bootdelay\"\n",
             [("ioctl", "0x412cc004")] + [("ioctl", "0x812cc002")] * 3),
            (["-set", "k", "v"], b"dry run: would add \"k\"\n", [("ioctl", "0x812cc002")]),
            # Set again to the value it holds: no change, but a request all the same.
            (["-set", "k", "v"], b"dry run: would set again \"k\"\n", [("ioctl", "0x812cc002")]),
            # The layout's range passes the end of env1 (64 KiB): only its bytes are told.
            (["-dev", "env1", "-pbios", "bios.bin"], lines + b"dry run: would write 4096 bytes\n"
             b"dry run: the device differs from 0x0 to 0x%x\n" % max(
                 i for i in range(0x1000) if target[i] != 0xFF), [("write", None)] * 256),
            (["-unset", "ipaddr"], b"dry run: would change \"ipaddr\"\n",
             [("ioctl", "0x812cc002")]),
            (["-unset", "nokey"], b"dry run: nothing would change\n", []),
            (["-unset", "ipaddr"], b"dry run: would set again \"ipaddr\"\n",
             [("ioctl", "0x812cc002")]),
        ]
        for args, said, requests in rows:
            with self.subTest(args=args):
                node = "flash_bios0" if "-dev" in args else "flash_env0"
                before = self.board.image(node)
                self.board.clear_log()
                self.assertEqual(self.romtool(*args, "-dryrun")[:2], (0, said))
                self.assertEqual((self.board.image(node), self.changes()), (before, []))
                self.assertEqual({r["flags"] for r in self.board.requests() if r["op"] == "open"},
                                 {"O_RDONLY"})
                self.assertEqual(self.run_plan(args)["dryrun"], True)
                self.board.clear_log()
                self.assertEqual(self.romtool(*args).status, 0)
                self.assertEqual(self.changes(), requests)
        # bios0 erased by the -e row, bios1 holding the image from 0: the erase's plan.
        held = [i for i in range(0x1000) if BIOS[i] != 0xFF]
        for dev, first, last in (("bios0", None, None), ("bios1", held[0], held[-1])):
            self.assertEqual(self.run_plan(["-dev", dev, "-e"])["plan"], {
                "erase": BIOS_SIZE, "first_not_erased": first, "last_not_erased": last})
        self.board.add_flash("empty", b"")
        self.assertEqual(self.romtool("-dev", "empty", "-e", "-dryrun")[:2], (0, b"dry run: would "
                         b"erase 0 bytes\ndry run: the device reads erased already\n"))
        said = self.romtool("-dev", "bios1", "-p", "in.env", "-dryrun")[1]  # over the image
        self.assertIn(b"not erased at 0x1: the image would not read back\n", said)
        self.assertEqual(self.run_plan(["-dev", "bios1", "-p", "in.env"])["plan"]["not_erased_at"], 1)
        plan = self.run_plan(["-dev", "bios1", "-p", "bios.bin", "-ifchanged"])["plan"]
        self.assertEqual((plan["write"], plan["holds_image"]), (0, True))
        held = self.romtool("-dev", "empty", "-p", "/dev/null", "-ifchanged", "-dryrun")
        self.assertEqual(held[:2], (0, b"program_device:\ndevice already holds this image\n"))
        status, _, stderr = self.board.run("-dev", "bios0", "-e", "-dryrun", "-progress")
        self.assertEqual((status, stderr.split(b"\n")[0], stderr.split(b"\n")[-2]),
                         (0, b"checking 0/524288 bytes (0%)", b"checking 524288/524288 bytes (100%)"))

    def test_a_set_the_store_cannot_hold(self):
        # 4 bytes, "x=" and the value, "k=v", the empty entry: 8192 fill the NVRAM exactly.
        for value, status, stdout in (
                (8180, 0, b'dry run: would add "k"\n'),
                (8181, 1, fatal(b'/dev/zelk/nvram0: "k" does not fit: the store would need 8193 '
                                b'bytes, it holds 8192'))):
            with self.subTest(value=value):
                self.board.put_env("nvram0", [b"x=" + b"v" * value])
                self.assertEqual(self.romtool("-nvram", "-set", "k", "v", "-dryrun")[:2],
                                 (status, stdout))
                self.assertEqual(self.romtool("-nvram", "-set", "k", "v").status, status)

    def run_plan(self, args):
        result = self.romtool(*args, "-dryrun", "-json")
        return harness.json_result(list(args) + ["-dryrun", "-json"], result)[0]


if __name__ == "__main__":
    unittest.main()
