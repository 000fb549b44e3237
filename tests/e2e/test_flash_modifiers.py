# SPDX-License-Identifier: MIT
"""The modifiers of the programming commands (-verify, -erase, -ifchanged, -progress) and
the -crc command, on the virtual board."""

import os
import unittest
import zlib

import harness
from flash_reference import (BIOS_REGION, FPGA_CRC, bios_device, bios_output, fatal, fpga_crc,
                             fpga_device, random_bytes)

BIOS_SIZE = 512 << 10
FPGA_SIZE = 1 << 20
IMAGE = random_bytes(1000, 1)
BIOS = random_bytes(0x1000, 2)
FPGA = [random_bytes(17, 3), random_bytes(3000, 4)]
BIOS_LINES = bios_output(BIOS)
FPGA_LINE = b"crc is 0x%x\n" % fpga_crc(FPGA)
ALREADY = b"device already holds this image\n"
PROGRAMMED = b"programming successful\n"


def reads(length):  # the read-back of length bytes from 0, in pieces of 4 KiB
    return [(at, min(4096, length - at)) for at in range(0, length, 4096)]


class modifier_test_case(harness.board_test_case):
    def setUp(self):
        super().setUp()
        self.board.put("img.bin", IMAGE)
        self.board.put("bios.bin", BIOS)
        self.board.put("f0.bin", FPGA[0])
        self.board.put("f1.bin", FPGA[1])

    def load(self, dev, data):  # the device holds data, then erased flash
        with open(self.board.image_path(dev), "r+b") as f:
            f.write(data + b"\xff" * (os.path.getsize(self.board.image_path(dev)) - len(data)))
        self.board.clear_log()

    def ops(self):  # the requests as (op, details) with the varying parts left out
        out = []
        for r in self.board.requests():
            detail = {"open": r.get("flags"), "ioctl": r.get("code")}.get(r["op"])
            if r["op"] in ("read", "write"):
                detail = (int(r["off"]), int(r["len"]))
            out.append((r["op"], detail))
        return out

    def check(self, args, status, stdout, device=None, dev="bios0"):
        self.assertEqual(self.romtool("-dev", dev, *args)[:2], (status, stdout))
        if device is not None:
            self.assertEqual(self.board.image(dev), device)


class test_verify(modifier_test_case):
    def test_read_back_then_the_same_image_again(self):
        rows = [
            ("bios0", ["-p", "img.bin"], b"program_device:\n", PROGRAMMED,
             IMAGE + b"\xff" * (BIOS_SIZE - len(IMAGE)), len(IMAGE)),
            ("bios0", ["-pbios", "bios.bin"], BIOS_LINES, b"writing...\nOK\n",
             bios_device(BIOS, BIOS_SIZE), BIOS_REGION),
            ("fpga0", ["-pfpga", "f0.bin", "f1.bin"], FPGA_LINE, PROGRAMMED,
             fpga_device(FPGA, FPGA_SIZE), FPGA_CRC + 4),
        ]
        for dev, args, before, after, device, length in rows:
            with self.subTest(args=args):
                self.load(dev, b"")
                self.check(args + ["-verify"], 0, before + after + b"verify OK\n", device, dev)
                # One handle, no erase unasked; the read-back comes after the last write.
                ops = self.ops()
                self.assertEqual([d for op, d in ops if op in ("open", "ioctl")], ["O_RDWR"])
                last = max(i for i, (op, _) in enumerate(ops) if op == "write")
                self.assertEqual([d for op, d in ops[last:] if op == "read"], reads(length))
                self.assertEqual([d for op, d in ops[:last] if op == "read"], [])
                self.board.clear_log()
                self.check(args + ["-ifchanged", "-erase", "-verify"], 0, before + ALREADY,
                           device, dev)
                self.assertEqual({op for op, _ in self.ops()}, {"open", "read", "close"})
                # Another image on the device: programmed as without -ifchanged.
                self.load(dev, b"\x00")
                self.check(args + ["-ifchanged", "-erase"], 0, before + after, device, dev)


class test_erase_and_ifchanged(modifier_test_case):
    def test_erase_only_when_needed_and_nothing_written_after_a_failed_one(self):
        bios_run = BIOS_LINES + b"writing...\nOK\n"
        for held, erased in ((b"", False), (b"\x00" * 100, True), (b"\xff" * 0x3FFFF + b"\x7f", True)):
            with self.subTest(held=held[-1:], erased=erased):
                self.load("bios0", held)
                self.check(["-erase", "-pbios", "bios.bin"], 0, bios_run,
                           bios_device(BIOS, BIOS_SIZE))
                ops = self.ops()
                erase = [i for i, op in enumerate(ops) if op == ("ioctl", "0x2000c001")]
                self.assertEqual(len(erase), int(erased))
                # One read of the range first, then the erase, then the writes.
                first_write = next(i for i, (op, _) in enumerate(ops) if op == "write")
                self.assertEqual([d for op, d in ops[:first_write] if op == "read"],
                                 reads(BIOS_REGION))
                self.assertEqual([i for i in erase if i > first_write], [])
                self.assertEqual([d for op, d in ops if op == "write"][:2], [(0, 16), (16, 16)])
        # An empty image ends at 0: it fits any device, needs no erase, is always held.
        self.board.put("empty.bin", b"")
        self.load("bios0", b"\x00")
        self.check(["-p", "empty.bin", "-erase"], 0, b"program_device:\n" + PROGRAMMED)
        self.check(["-p", "empty.bin", "-ifchanged"], 0, b"program_device:\n" + ALREADY)
        self.assertEqual([o for o in self.ops() if o[0] == "write" or o[1] == "0x2000c001"], [])
        self.board.vboard("fault", "add", "bios0", "ioctl", "code=0x2000c001", "errno=130")
        self.check(["-pbios", "bios.bin", "-erase"], 1, BIOS_LINES +
                   b"erase failed: /dev/zelk/flash_bios0: flash erase timeout\n",
                   b"\x00" + b"\xff" * (BIOS_SIZE - 1))  # a failed erase: not a byte written

    def test_refused_before_any_erase_or_write(self):
        # The range read first shows an image that cannot fit, or, without -erase, a 0 bit
        # the image needs back at 1 (programming only clears bits): nothing is changed. An
        # image too long for its layout is refused before the node is even opened.
        self.board.put("big.bin", random_bytes(BIOS_SIZE + 1, 9))
        self.board.put("long.bin", random_bytes(BIOS_REGION + 1, 7))
        rows = [
            ("bios0", ["-erase", "-verify", "-pbios", "long.bin"], b"\x00",
             fatal(b"long.bin: BIOS image longer than 0x40000 bytes")),
            ("bios0", ["-erase", "-p", "big.bin"], b"\x00", b"program_device:\n" + fatal(
                b"/dev/zelk/flash_bios0: the device ends at 0x80000, before the image's end "
                b"at 0x80001")),
            # Past the image but under the CRC: the range must read as the image describes it.
            ("bios0", ["-ifchanged", "-pbios", "bios.bin", "-verify"], b"\xff" * 0x30000 +
             b"\x00", BIOS_LINES + b"device is not erased at 0x30000; add -erase\n"),
        ]
        for dev, args, held, stdout in rows:
            with self.subTest(args=args):
                self.load(dev, held)
                before = self.board.image(dev)
                self.board.clear_log()
                self.check(args, 1, stdout, before, dev)
                self.assertLessEqual({op for op, _ in self.ops()}, {"open", "read", "close"})
                self.assertEqual(self.ops() == [], "long" in args[-1])


class test_silent_faults(modifier_test_case):
    # A part that reports success and changes nothing (or only a first part): reading
    # back is what tells.
    def test_read_back_catches_what_the_part_did_not_do(self):
        old = bios_device(random_bytes(0x800, 5), BIOS_SIZE)
        # -erase over the older image: the writes land on what the erase left.
        left = bytes(a & b for a, b in zip(old, bios_device(BIOS, BIOS_SIZE)[:len(BIOS)]))
        target = bios_device(BIOS, BIOS_SIZE)
        at = next(i for i in range(BIOS_REGION) if (left + old[len(BIOS):])[i] != target[i])
        failed = lambda at, held, wanted: b"verify failed at 0x%x: device 0x%02x, image 0x%02x\n" % (
            at, held, wanted)
        rows = [  # held, args, fault, stdout after the programming lines
            (b"", ["-p", "img.bin", "-verify"], ("write", "nth=1", "silent"),
             PROGRAMMED + failed(0, 0xFF, IMAGE[0])),
            (b"", ["-p", "img.bin", "-verify"], ("write", "nth=32", "silent"),
             PROGRAMMED + failed(31 * 16, 0xFF, IMAGE[31 * 16])),
            (b"", ["-p", "img.bin", "-verify"], ("write", "nth=63", "silent", "partial=3"),
             PROGRAMMED + failed(62 * 16 + 3, 0xFF, IMAGE[62 * 16 + 3])),
            (b"\x00" * 100, ["-e", "-verify"], ("erase", "silent"),
             b"erase verify failed at 0x0: device 0x00\n"),
            (b"\x00" * 100, ["-e", "-verify"], ("erase", "silent", "partial=50"),
             b"erase verify failed at 0x32: device 0x00\n"),
            (old, ["-erase", "-pbios", "bios.bin", "-verify"], ("erase", "silent"),
             b"writing...\nOK\n" + failed(at, (left + old[len(BIOS):])[at], target[at])),
        ]
        for held, args, fault, stdout in rows:
            with self.subTest(args=args, fault=fault):
                self.load("bios0", held)
                self.board.vboard("fault", "clear")
                self.board.vboard("fault", "add", "bios0", *fault)
                before = b"program_device:\n" if "-p" in args else BIOS_LINES if "-pbios" in args else b""
                self.board.clear_log()
                self.check(args, 1, before + stdout)
                if args[0] == "-e":  # the read-back stops at the first byte not erased
                    self.assertEqual([d for op, d in self.ops() if op == "read"], [(0, 4096)])
        self.board.vboard("fault", "clear")
        self.check(["-e", "-verify"], 0, b"erase verify OK\n", b"\xff" * BIOS_SIZE)
        self.board.clear_log()
        self.check(["-e"], 0, b"", b"\xff" * BIOS_SIZE)  # no read-back unless asked
        self.assertNotIn("read", {op for op, _ in self.ops()})
        # -ifchanged after a silent write: the device differs, so it is programmed again.
        self.board.vboard("fault", "add", "bios0", "write", "nth=5", "silent")
        self.check(["-p", "img.bin"], 0, b"program_device:\n" + PROGRAMMED)
        self.board.vboard("fault", "clear")
        self.check(["-p", "img.bin", "-ifchanged", "-verify"], 0,
                   b"program_device:\n" + PROGRAMMED + b"verify OK\n",
                   IMAGE + b"\xff" * (BIOS_SIZE - len(IMAGE)))


class test_crc(modifier_test_case):
    def test_programmed_erased_and_cut_devices(self):
        self.load("bios0", bios_device(BIOS, BIOS_SIZE))
        self.load("fpga0", fpga_device(FPGA, FPGA_SIZE))
        # A part exactly as long as the layout, with its CRC in the last four bytes.
        self.board.add_flash("fpga512k", fpga_device(FPGA, FPGA_CRC + 4))
        self.board.add_flash("short", fpga_device(FPGA, FPGA_CRC + 4)[:-1])
        crc = BIOS_LINES.split(b"\n")[1] + b"\n"
        erased = b"crc is 0x%x\n" % zlib.crc32(b"\xff" * (BIOS_REGION - 0x44))
        usage = self.romtool("-x")[1]
        rows = [
            ("bios0", ["bios"], 0, crc + b"stored " + crc + b"crc OK\n"),
            ("fpga0", ["fpga"], 0, FPGA_LINE + b"stored " + FPGA_LINE + b"crc OK\n"),
            ("bios1", ["bios"], 1, erased + b"stored crc is 0xffffffff\ncrc mismatch\n"),
            # A device shorter than the layout: said, not taken for a CRC.
            ("env0", ["bios"], 1, fatal(b"/dev/zelk/flash_env0: the device ends at 0x10000")),
            ("fpga512k", ["fpga"], 0, FPGA_LINE + b"stored " + FPGA_LINE + b"crc OK\n"),
            ("short", ["fpga"], 1, fatal(b"/dev/zelk/flash_short: the device ends at 0x7ffff")),
            ("bios0", [], 1, usage), ("bios0", ["BIOS"], 1, usage), ("bios0", ["-verify"], 1, usage),
        ]
        for dev, args, status, stdout in rows:
            with self.subTest(dev=dev, args=args):
                self.board.clear_log()
                self.check(["-crc", *args], status, stdout, dev=dev)
                self.assertEqual([d for op, d in self.ops() if op == "open"],
                                 [] if stdout == usage else ["O_RDONLY"])
        # A copy that a power cut left half programmed is told from a whole one.
        self.load("bios1", bios_device(BIOS, BIOS_SIZE)[:0x800])
        status, stdout = self.romtool("-dev", "bios1", "-crc", "bios")[:2]
        self.assertEqual((status, stdout.split(b"\n")[-2]), (1, b"crc mismatch"))


if __name__ == "__main__":
    unittest.main()
