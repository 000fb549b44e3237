# SPDX-License-Identifier: MIT
"""Image programming on the virtual board: "-p", "-pbios" and "-pfpga". Sums and device
contents are checked against flash_reference, which computes them with zlib."""

import hashlib
import os
import threading
import time
import unittest

import harness
from flash_reference import (BIOS_REGION, ENOENT_OPEN, FPGA_CRC, bios_device, bios_output,
                             fatal, fpga_crc, fpga_device, program_failed, random_bytes)

BIOS_SIZE = 512 << 10
PLAIN_LIMIT = 16 << 20
FPGA_SIZE = 1 << 20
OPEN_FAILED = fatal(b"Unable to open 'nosuch.bin': nosuch.bin: " + ENOENT_OPEN + b"\n")
STABLE = ("node", "op", "flags", "off", "len", "whence", "code", "result", "errno")


def pieces(*lengths):  # writes of files back to back: <= 16 bytes, none across a file end
    out, at = [], 0
    for length in lengths:
        out += [(at + start, min(16, length - start)) for start in range(0, length, 16)]
        at += length
    return out


class test_programming(harness.board_test_case):
    def check(self, dev, args, stdout, status=0, device=None, writes=None):
        # On dev, erased: status, output, device, writes and ("seek", at)s (None: no request).
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
        self.check("nosuch", ["-p", self.board.put("empty.bin", b"")],  # no node opened
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
            (random_bytes(0x1000, 2), b""),       # random bytes in the CRC's slot too
            (random_bytes(0x42, 4), b""),         # part of the slot
            (b"", b""),
            # A short last word counts as erased flash; the file is written as it is.
            (random_bytes(0x1003, 6), warning % 3),
            (random_bytes(BIOS_REGION - 2, 8), warning % 2),
        ]
        for image, before in rows:
            with self.subTest(size=hex(len(image))):
                self.check("bios0", ["-pbios", self.board.put("bios.bin", image)],
                           before + bios_output(image) + b"writing...\nOK\n",
                           device=bios_device(image, BIOS_SIZE), writes=pieces(len(image)))
        self.check("bios0", ["-pbios", "nosuch.bin"], OPEN_FAILED, status=1)

    def test_fpga_files(self):
        rows = [
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
        self.board.put("a.bin", random_bytes(FPGA_CRC - 10, 1))
        self.board.put("b.bin", random_bytes(11, 2))
        self.check("fpga0", ["-pfpga", "a.bin", "b.bin"],
                   fatal(b"b.bin: FPGA image longer than 0x7fffc bytes"), status=1)
        self.check("fpga0", ["-pfpga", "a.bin", "nosuch.bin"], OPEN_FAILED, status=1)

    @harness.preload_board_only("a host pipe cannot be handed to the guest")
    def test_pipes_and_fifos_program_as_files_do(self):
        # Each image is read once, so a pipe programs exactly as the same bytes in a regular
        # file: same output, requests and device. Sizes at the limits outgrow a pipe's buffer.
        body = random_bytes(FPGA_CRC - 0x1001, 1)
        rows = [
            ("bios0", ["-p", random_bytes(0x12345, 3), "-erase", "-verify", "-progress"],
             b"verify OK\n"),
            ("bios0", ["-p", random_bytes(PLAIN_LIMIT, 4)], b"ENOSPC: file has no room for this data\n"),
            ("bios0", ["-p", random_bytes(PLAIN_LIMIT + 1, 4), "-verify"],
             b"$0: image longer than 0x1000000 bytes\n\n"),
            ("bios0", ["-pbios", random_bytes(BIOS_REGION, 5), "-ifchanged", "-verify"],
             b"verify OK\n"),
            ("fpga0", ["-pfpga", body, fifo(random_bytes(0x1001, 7)), "-erase"],
             b"programming successful\n"),
            ("fpga0", ["-pfpga", body, random_bytes(0x1002, 8)],
             b"$1: FPGA image longer than 0x7fffc bytes\n\n"),
        ]
        for dev, words, last in rows:
            with self.subTest(args=[w if isinstance(w, str) else len(w) for w in words]):
                runs = [self.run_with_images(dev, words, piped) for piped in (False, True)]
                self.assertEqual(runs[0], runs[1])
                self.assertTrue(runs[0][1].endswith(last), runs[0][1][-200:])

    def run_with_images(self, dev, words, piped):
        # romtool on a fresh board with the images of words (bytes) as files, or as pipes
        # (a FIFO for a fifo) fed while it runs: what it left, image names as $<index>.
        board = self.fresh_board()
        args, names, fds, writers = [], [], [], []
        for word in words:
            if isinstance(word, str):
                args.append(word)
                continue
            name = "i%d.bin" % len(names)
            if not piped:
                board.put(name, word)
            elif isinstance(word, fifo):
                os.mkfifo(os.path.join(board.work, name))
                writers.append((os.path.join(board.work, name), word))
            else:
                read_end, write_end = os.pipe()
                fds.append(read_end)
                name = "/dev/fd/%d" % read_end
                writers.append((write_end, word))
            args.append(name)
            names.append(name)
        threads = [threading.Thread(target=feed, args=writer, daemon=True) for writer in writers]
        for thread in threads:
            thread.start()
        try:
            result = harness._run(board.command("-dev", dev, *args), cwd=board.work,
                                  pass_fds=fds)
        finally:
            for fd in fds:
                os.close(fd)
        self.assertEqual(result.stderr == b"", "-progress" not in words)
        stdout = result.stdout
        for i, name in enumerate(names):
            stdout = stdout.replace(name.encode(), b"$%d" % i)
        # Digests: a diff of some 65536 requests would take minutes to show.
        requests = repr(board.requests(*STABLE)).encode()
        return (result.status, stdout, result.stderr, hashlib.sha256(requests).hexdigest(),
                hashlib.sha256(board.image(dev)).hexdigest())


class fifo(bytes):  # an image passed as a FIFO
    pass


def feed(target, data):
    # In two parts with a pause between: romtool meets a short read.
    half = len(data) // 2 | 1
    try:
        with open(target, "wb", buffering=0) as f:
            f.write(data[:half])
            time.sleep(0.05)
            f.write(data[half:])
    except BrokenPipeError:
        pass  # romtool read enough to refuse the image


if __name__ == "__main__":
    unittest.main()
