"""Image programming on the virtual board: "-p", "-pbios" and "-pfpga". Sums and device
contents are checked against flash_reference, which computes them with zlib."""

import os
import unittest

import harness
from flash_reference import (BIOS_REGION, ENOENT_OPEN, FPGA_CRC, bios_device, bios_output,
                             fatal, fpga_crc, fpga_device, program_failed, random_bytes)

BIOS_SIZE = 512 << 10
FPGA_SIZE = 1 << 20


class program_case(harness.board_test_case):
    def setUp(self):
        super().setUp()
        self.board.vboard("log", "on")

    def put(self, name, data):
        with open(os.path.join(self.board.work, name), "wb") as f:
            f.write(data)
        return name

    def fresh_run(self, dev, *args):
        """Erases dev and clears the log, then runs romtool. The board's files are written
        directly, with no front end run to wait for (qemu makes each row count)."""
        path = self.board.image_path(dev)
        with open(path, "r+b") as f:
            f.write(b"\xff" * os.path.getsize(path))
        open(os.path.join(self.board.dir, "requests.log"), "wb").close()
        return self.romtool("-dev", dev, *args)

    def device_writes(self):
        """(offset, length) of every transfer that reached a node, lseeks as ("seek", off)."""
        out = []
        for r in self.board.requests():
            if r["op"] == "write":
                out.append((int(r["off"]), int(r["len"])))
            elif r["op"] == "lseek":
                out.append(("seek", int(r["off"])))
        return out

    def assertNothingSent(self):
        self.assertEqual(self.board.requests(), [])


def pieces(*lengths):
    """The chunks a file of each length gives, back to back from offset 0."""
    out, at = [], 0
    for length in lengths:
        for start in range(0, length, 16):
            out.append((at + start, min(16, length - start)))
        at += length
    return out


class test_program_device(program_case):
    def test_image_written_unchanged_in_chunks(self):
        for size in (1, 15, 16, 17, 1000):
            with self.subTest(size=size):
                image = random_bytes(size, size)
                result = self.fresh_run("bios0", "-p", self.put("img.bin", image))
                self.assertEqual(result.stdout, b"program_device:\nprogramming successful\n")
                self.assertEqual(result.status, 0)
                self.assertEqual(self.board.image("bios0"),
                                 image + b"\xff" * (BIOS_SIZE - size))
                self.assertEqual(self.device_writes(), pieces(size))
                self.assertEqual(self.board.requests()[0]["flags"], "O_RDWR")

    def test_empty_image_never_opens_the_node(self):
        result = self.romtool("-dev", "nosuch", "-p", self.put("empty.bin", b""))
        self.assertEqual(result.stdout, b"program_device:\nprogramming successful\n")
        self.assertEqual(result.status, 0)
        self.assertNothingSent()

    def test_image_that_cannot_be_read(self):
        os.mkdir(os.path.join(self.board.work, "folder"))
        rows = [
            # A missing image is not caught by the command.
            ("nosuch.bin", b"program_device:\n" + fatal(b"error opening file")),
            # A directory opens, then every read fails: a failure, not an empty image.
            ("folder", b"program_device:\n" + program_failed(
                0, b"program_device() -- read of input file failed.")),
        ]
        for name, stdout in rows:
            with self.subTest(image=name):
                result = self.fresh_run("bios0", "-p", name)
                self.assertEqual(result.stdout, stdout)
                self.assertEqual(result.status, 1)
                self.assertNothingSent()


class test_program_bios(program_case):
    def test_crc_in_slot_and_sums_printed(self):
        rows = [
            ("a whole region", random_bytes(BIOS_REGION, 1)),
            # Random bytes in the file's CRC slot too: they must count nowhere.
            ("a short body", random_bytes(0x1000, 2)),
            ("no body", random_bytes(0x44, 3)),
            ("part of the slot", random_bytes(0x42, 4)),
            ("header only", random_bytes(0x20, 5)),
            ("empty", b""),
        ]
        for what, image in rows:
            with self.subTest(image=what):
                result = self.fresh_run("bios0", "-pbios", self.put("bios.bin", image))
                self.assertEqual(result.stdout, bios_output(image) + b"writing...\nOK\n")
                self.assertEqual(result.status, 0)
                self.assertEqual(self.board.image("bios0"), bios_device(image, BIOS_SIZE))
                self.assertEqual(self.device_writes(), pieces(len(image)))

    def test_body_with_a_short_last_word(self):
        # The missing bytes count as erased flash; the file is written as it is.
        for size, got in ((0x1003, 3), (0x1001, 1), (BIOS_REGION - 2, 2)):
            with self.subTest(size=hex(size)):
                image = random_bytes(size, size)
                result = self.fresh_run("bios0", "-pbios", self.put("bios.bin", image))
                self.assertEqual(result.stdout,
                                 b"warning: unexpected count %d read\n" % got
                                 + bios_output(image) + b"writing...\nOK\n")
                self.assertEqual(result.status, 0)
                self.assertEqual(self.board.image("bios0"), bios_device(image, BIOS_SIZE))

    def test_refused_before_anything_is_written(self):
        rows = [
            ("long.bin", BIOS_REGION + 1,
             fatal(b"long.bin: BIOS image longer than 0x40000 bytes")),
            ("long.bin", BIOS_REGION + 4,
             fatal(b"long.bin: BIOS image longer than 0x40000 bytes")),
            ("nosuch.bin", None,
             b"\nromtool fatal error : Unable to open 'nosuch.bin': nosuch.bin: "
             + ENOENT_OPEN + b"\n\n\n"),
        ]
        for name, size, stdout in rows:
            with self.subTest(image=name, size=size):
                if size is not None:
                    self.put(name, random_bytes(size, 7))
                result = self.fresh_run("bios0", "-pbios", name)
                self.assertEqual(result.stdout, stdout)
                self.assertEqual(result.status, 1)
                self.assertNothingSent()


class test_program_fpga(program_case):
    def test_files_back_to_back_and_crc_at_the_end(self):
        rows = [
            ("one file", [random_bytes(1000, 1)]),
            ("pieces stop at file ends", [random_bytes(17, 2), random_bytes(33, 3),
                                          random_bytes(5, 4)]),
            ("an empty file", [b""]),
            ("exactly up to the CRC", [random_bytes(FPGA_CRC - 100, 5), random_bytes(100, 6)]),
        ]
        for what, images in rows:
            with self.subTest(images=what):
                names = [self.put("part%d.bin" % i, image) for i, image in enumerate(images)]
                result = self.fresh_run("fpga0", "-pfpga", *names)
                self.assertEqual(result.stdout, b"crc is 0x%x\nprogramming successful\n"
                                 % fpga_crc(images))
                self.assertEqual(result.status, 0)
                self.assertEqual(self.board.image("fpga0"), fpga_device(images, FPGA_SIZE))
                self.assertEqual(self.device_writes(),
                                 pieces(*map(len, images)) + [("seek", FPGA_CRC), (FPGA_CRC, 4)])

    def test_refused_in_the_crc_pass(self):
        self.put("a.bin", random_bytes(FPGA_CRC - 10, 1))
        self.put("b.bin", random_bytes(11, 2))
        rows = [
            (["a.bin", "b.bin"], fatal(b"b.bin: FPGA image longer than 0x7fffc bytes")),
            (["a.bin", "nosuch.bin"],
             b"\nromtool fatal error : Unable to open 'nosuch.bin': nosuch.bin: "
             + ENOENT_OPEN + b"\n\n\n"),
        ]
        for names, stdout in rows:
            with self.subTest(files=names):
                result = self.fresh_run("fpga0", "-pfpga", *names)
                self.assertEqual(result.stdout, stdout)
                self.assertEqual(result.status, 1)
                self.assertNothingSent()


if __name__ == "__main__":
    unittest.main()
