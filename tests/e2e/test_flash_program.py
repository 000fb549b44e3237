# SPDX-License-Identifier: MIT
"""Image programming on the virtual board: "-p", "-pbios" and "-pfpga". Sums and device
contents are checked against flash_reference, which computes them with zlib."""

import os
import re
import time
import unittest

import harness
from flash_reference import (BIOS_REGION, ENOENT_OPEN, FPGA_CRC, bios_device, bios_output,
                             fatal, fpga_crc, fpga_device, program_failed, random_bytes)

BIOS_SIZE = 512 << 10
FPGA_SIZE = 1 << 20
OPEN_FAILED = b"\nromtool fatal error : Unable to open 'nosuch.bin': nosuch.bin: %s\n\n\n" \
    % ENOENT_OPEN


def pieces(*lengths):
    """The transfers of files of these lengths, back to back from offset 0: at most 16
    bytes each, none across the end of a file."""
    out, at = [], 0
    for length in lengths:
        out += [(at + start, min(16, length - start)) for start in range(0, length, 16)]
        at += length
    return out


class test_programming(harness.board_test_case):
    def setUp(self):
        super().setUp()
        self.board.vboard("log", "on")

    def check(self, dev, args, stdout, status=0, device=None, writes=None):
        # Runs romtool on dev, erased, with the log cleared (through the board's files: qemu
        # makes each front end run count); checks status and output, then the device's bytes
        # and its (offset, length) writes and ("seek", offset)s, or, when writes is None,
        # that nothing at all reached a node.
        path = self.board.image_path(dev)
        if os.path.exists(path):
            with open(path, "r+b") as f:
                f.write(b"\xff" * os.path.getsize(path))
        self.board.clear_log()
        self.assertEqual(self.romtool("-dev", dev, *args)[:2], (status, stdout))
        requests = self.board.requests()
        if writes is None:
            self.assertEqual(requests, [])
            return
        self.assertEqual({r["flags"] for r in requests if r["op"] == "open"},
                         {"O_RDWR"} if writes else set())
        self.assertEqual([(int(r["off"]), int(r["len"])) if r["op"] == "write" else
                          ("seek", int(r["off"])) for r in requests
                          if r["op"] in ("write", "lseek")], writes)
        self.assertEqual(self.board.image(dev), device)

    def test_plain_image(self):
        for size in (1, 15, 16, 17, 1000):
            with self.subTest(size=size):
                image = random_bytes(size, size)
                self.check("bios0", ["-p", self.board.put("img.bin", image)],
                           b"program_device:\nprogramming successful\n",
                           device=image + b"\xff" * (BIOS_SIZE - size), writes=pieces(size))
        # An empty image never opens the node.
        self.check("nosuch", ["-p", self.board.put("empty.bin", b"")],
                   b"program_device:\nprogramming successful\n")
        # A directory opens, then every read fails: a failure, not an empty image.
        os.mkdir(os.path.join(self.board.work, "folder"))
        self.check("bios0", ["-p", "folder"], b"program_device:\n" + program_failed(
            0, b"program_device() -- read of input file failed."), status=1)
        self.check("bios0", ["-p", "nosuch.bin"],
                   b"program_device:\n" + fatal(b"error opening file"), status=1)

    def test_bios_image(self):
        warning = b"warning: unexpected count %d read\n"
        rows = [
            (random_bytes(BIOS_REGION, 1), b""),  # a whole region
            (random_bytes(0x1000, 2), b""),       # a short body; random bytes in the slot too
            (random_bytes(0x44, 3), b""),         # no body
            (random_bytes(0x42, 4), b""),         # part of the slot
            (random_bytes(0x20, 5), b""),         # header only
            (b"", b""),
            # A short last word counts as erased flash; the file is written as it is.
            (random_bytes(0x1003, 6), warning % 3),
            (random_bytes(0x1001, 7), warning % 1),
            (random_bytes(BIOS_REGION - 2, 8), warning % 2),
        ]
        for image, before in rows:
            with self.subTest(size=hex(len(image))):
                self.check("bios0", ["-pbios", self.board.put("bios.bin", image)],
                           before + bios_output(image) + b"writing...\nOK\n",
                           device=bios_device(image, BIOS_SIZE), writes=pieces(len(image)))
        # Refused before anything is written.
        self.board.put("long.bin", random_bytes(BIOS_REGION + 1, 7))
        self.check("bios0", ["-pbios", "long.bin"],
                   fatal(b"long.bin: BIOS image longer than 0x40000 bytes"), status=1)
        self.check("bios0", ["-pbios", "nosuch.bin"], OPEN_FAILED, status=1)

    def test_fpga_files(self):
        rows = [
            [random_bytes(1000, 1)],
            [random_bytes(17, 2), random_bytes(33, 3), random_bytes(5, 4)],
            [b""],
            [random_bytes(FPGA_CRC - 100, 5), random_bytes(100, 6)],  # exactly up to the CRC
        ]
        for images in rows:
            with self.subTest(sizes=[len(image) for image in images]):
                names = [self.board.put("f%d.bin" % i, image) for i, image in enumerate(images)]
                self.check("fpga0", ["-pfpga", *names],
                           b"crc is 0x%x\nprogramming successful\n" % fpga_crc(images),
                           device=fpga_device(images, FPGA_SIZE),
                           writes=pieces(*map(len, images)) + [("seek", FPGA_CRC), (FPGA_CRC, 4)])
        # Refused in the CRC pass, before anything is written.
        self.board.put("a.bin", random_bytes(FPGA_CRC - 10, 1))
        self.board.put("b.bin", random_bytes(11, 2))
        self.check("fpga0", ["-pfpga", "a.bin", "b.bin"],
                   fatal(b"b.bin: FPGA image longer than 0x7fffc bytes"), status=1)
        self.check("fpga0", ["-pfpga", "a.bin", "nosuch.bin"], OPEN_FAILED, status=1)

    @harness.preload_board_only("a host pipe cannot be handed to the guest")
    def test_images_that_cannot_be_read_twice_are_refused(self):
        # A pipe, a FIFO (with no writer: the open must not wait for one) and a device give
        # other bytes, or none, the second time: refused before anything is written.
        fifo = os.path.join(self.board.work, "fifo")
        os.mkfifo(fifo)
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        os.write(write_end, random_bytes(100, 1))
        os.close(write_end)
        pipe = "/dev/fd/%d" % read_end
        for option in ("-pbios", "-pfpga"):
            for name in (pipe, "fifo", "/dev/zero"):
                with self.subTest(option=option, name=name):
                    self.board.clear_log()
                    args = ["-dev", "fpga0", option, name]
                    result = harness._run(self.board._command(args), cwd=self.board.work,
                                          pass_fds=(read_end,))
                    self.assertEqual(result, (1, fatal(
                        name.encode() + b": not a regular file; an image is read twice and "
                        b"must be one"), b""))
                    self.assertEqual(self.board.requests(), [])

    def test_fpga_image_that_changes_is_not_given_its_crc(self):
        # Every open of this file reads another random UUID of the same length.
        uuid = "/proc/sys/kernel/random/uuid"
        self.board.clear_log()
        status, stdout = self.romtool("-dev", "fpga0", "-pfpga", uuid)[:2]
        self.assertEqual((status, re.sub(rb"^crc is 0x[0-9a-f]+\n", b"", stdout)), (1, program_failed(
            37, b"image changed while it was being programmed; its CRC is not written")))
        self.assertEqual([(r["off"], r["len"]) for r in self.board.requests()
                          if r["op"] in ("write", "lseek")],
                         [("0", "16"), ("16", "16"), ("32", "5")])

    def slow_run(self, args, path, change):
        # Runs romtool at 50 us a programmed byte, and calls change(path) once the board
        # has seen the first write: (status, stdout, requests).
        self.board.vboard("timing", "--program-ns-per-byte", "50000")
        self.board.clear_log()
        process = self.board.start(*args)
        deadline = time.monotonic() + harness.TIMEOUT
        while not any(r["op"] == "write" for r in self.board.requests()):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.01)
        change(path)
        stdout, stderr = process.communicate(timeout=harness.TIMEOUT)
        self.assertEqual(stderr, b"")
        return process.returncode, stdout, self.board.requests()

    @harness.preload_board_only("a host process changes the image; the guest programs its own copy")
    def test_image_that_changes_while_written_fails(self):
        size = 0x10000  # some seconds of writing at the board's pace set below
        bios = random_bytes(size, 1)
        fpga = random_bytes(size, 2)

        def cut(path):
            os.truncate(path, 0x100)

        def grow(path):
            with open(path, "ab") as f:
                f.write(b"\0" * FPGA_CRC)

        rows = [
            # A BIOS image cut short: its CRC went out early, so the run fails.
            ("bios0", ["-pbios", self.board.put("bios.bin", bios)], cut,
             bios_output(bios) + b"writing...\n", lambda count: fatal(
                 b"bios.bin: changed while it was being programmed (%d bytes written)" % count)),
            # An FPGA file that grows is written up to its old length, and no CRC follows.
            ("fpga0", ["-pfpga", self.board.put("fpga.bin", fpga)], grow, b"",
             lambda count: program_failed(count, b"fpga.bin: changed while it was being "
                                          b"programmed")),
        ]
        for dev, args, change, before, report in rows:
            with self.subTest(dev=dev):
                status, stdout, requests = self.slow_run(
                    ["-dev", dev, *args], os.path.join(self.board.work, args[1]), change)
                stdout = re.sub(rb"^crc is 0x[0-9a-f]+\n", b"", stdout)
                writes = [(int(r["off"]), int(r["len"])) for r in requests if r["op"] == "write"]
                count = sum(length for _, length in writes)
                self.assertEqual((status, stdout), (1, before + report(count)))
                # Written in order, never past what was summed, and no CRC after it.
                self.assertEqual(writes, pieces(count))
                self.assertLessEqual(count, size)


if __name__ == "__main__":
    unittest.main()
