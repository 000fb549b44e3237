# SPDX-License-Identifier: MIT
"""The modifiers of the programming commands (-verify, -erase, -ifchanged, -progress), the
-crc command, -version and -h, and the per-device lock, on the virtual board."""

import fcntl
import os
import re
import signal
import time
import unittest

import harness
from flash_reference import (BIOS_REGION, FPGA_CRC, bios_device, bios_output, fatal, fpga_crc,
                             fpga_device, random_bytes)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
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
        self.board.vboard("log", "on")
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

    def writes(self):
        return [detail for op, detail in self.ops() if op == "write"]

    def check(self, args, status, stdout, device=None, dev="bios0"):
        self.assertEqual(self.romtool("-dev", dev, *args)[:2], (status, stdout))
        if device is not None:
            self.assertEqual(self.board.image(dev), device)


class test_verify(modifier_test_case):
    def test_programming_then_reading_back(self):
        rows = [
            ("bios0", ["-p", "img.bin"], b"program_device:\n" + PROGRAMMED,
             IMAGE + b"\xff" * (BIOS_SIZE - len(IMAGE)), len(IMAGE)),
            ("bios0", ["-pbios", "bios.bin"], BIOS_LINES + b"writing...\nOK\n",
             bios_device(BIOS, BIOS_SIZE), BIOS_REGION),
            ("fpga0", ["-pfpga", "f0.bin", "f1.bin"], FPGA_LINE + PROGRAMMED,
             fpga_device(FPGA, FPGA_SIZE), FPGA_CRC + 4),
        ]
        for dev, args, before, device, length in rows:
            with self.subTest(args=args):
                self.load(dev, b"")
                self.check(args + ["-verify"], 0, before + b"verify OK\n", device, dev)
                ops = self.ops()
                # The read-back comes after the programming's close, on its own handle.
                last_close = max(i for i, (op, _) in enumerate(ops) if op == "write")
                self.assertEqual([d for op, d in ops[last_close:] if op == "read"],
                                 reads(length))
                self.assertEqual([d for op, d in ops[:last_close] if op == "read"], [])

    def test_programming_over_data_is_caught(self):
        # Programming only clears bits: over a pattern the device holds image AND pattern.
        pattern = bytes([0xF0, 0xFF, 0x7F, 0xFF] * 16)
        anded = bytes(a & b for a, b in zip(IMAGE, pattern)) + IMAGE[len(pattern):]
        first = next(i for i in range(len(IMAGE)) if anded[i] != IMAGE[i])
        self.load("bios0", pattern)
        self.check(["-p", "img.bin", "-verify"], 1, b"program_device:\n" + PROGRAMMED +
                   b"verify failed at 0x%x: device 0x%02x, image 0x%02x\n" %
                   (first, anded[first], IMAGE[first]),
                   anded + b"\xff" * (BIOS_SIZE - len(IMAGE)))
        # Past the image but under the CRC: that range must read erased as well.
        stale = b"\xff" * 0x30000 + b"\x00"
        self.load("bios0", stale)
        self.check(["-pbios", "bios.bin", "-verify"], 1, BIOS_LINES + b"writing...\nOK\n" +
                   b"verify failed at 0x30000: device 0x00, image 0xff\n")

    def test_a_failed_write_is_reported_before_any_verify(self):
        self.board.vboard("fault", "add", "bios0", "write", "nth=3", "errno=129")
        self.load("bios0", b"")
        status, stdout = self.romtool("-dev", "bios0", "-p", "img.bin", "-verify")[:2]
        self.assertEqual((status, stdout), (1, b"program_device:\nprogram failed after 32 bytes "
                                               b"were written: /dev/zelk/flash_bios0: flash "
                                               b"program verify failed\n"))
        self.assertNotIn("read", [op for op, _ in self.ops()])


class test_erase_and_ifchanged(modifier_test_case):
    def test_erase_only_when_needed(self):
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
                self.assertEqual(self.writes()[:2], [(0, 16), (16, 16)])

    def test_failed_erase_writes_nothing(self):
        self.board.vboard("fault", "add", "bios0", "ioctl", "code=0x2000c001", "errno=130")
        held = b"\x00" * 100
        self.load("bios0", held)
        self.check(["-pbios", "bios.bin", "-erase"], 1, BIOS_LINES +
                   b"erase failed: /dev/zelk/flash_bios0: flash erase timeout\n",
                   held + b"\xff" * (BIOS_SIZE - len(held)))
        self.assertEqual(self.writes(), [])

    def test_refused_image_touches_no_device(self):
        # Refused before the modifiers' read or erase, not only before the writes.
        held = b"\x00" * 100
        self.board.put("long.bin", random_bytes(BIOS_REGION + 1, 7))
        self.load("bios0", held)
        self.check(["-erase", "-verify", "-pbios", "long.bin"], 1,
                   fatal(b"long.bin: BIOS image longer than 0x40000 bytes"))
        self.assertEqual(self.ops(), [])

    def test_refused_before_any_erase_or_write(self):
        # The range read first shows an image that cannot fit, or, without -erase, a 0 bit
        # the image needs back at 1 (programming only clears bits): nothing is changed.
        self.board.put("big.bin", random_bytes(BIOS_SIZE + 1, 9))
        rows = [
            ("bios0", ["-erase", "-p", "big.bin"], b"\x00", b"program_device:\n" + fatal(
                b"/dev/zelk/flash_bios0: the device ends at 0x80000, before the image's end "
                b"at 0x80001")),
            ("env0", ["-pfpga", "f0.bin", "f1.bin", "-ifchanged", "-erase"], None, FPGA_LINE + fatal(
                b"/dev/zelk/flash_env0: the device ends at 0x10000, before the image's end "
                b"at 0x80000")),
            ("bios0", ["-ifchanged", "-pbios", "bios.bin"], b"\xff" * 0x100 + b"\x7f",
             BIOS_LINES + b"device is not erased at 0x100; add -erase\n"),
            # Under the CRC too: the range must read as the image describes it.
            ("bios0", ["-ifchanged", "-pbios", "bios.bin", "-verify"], b"\xff" * 0x30000 +
             b"\x00", BIOS_LINES + b"device is not erased at 0x30000; add -erase\n"),
        ]
        for dev, args, held, stdout in rows:
            with self.subTest(args=args):
                if held is not None:
                    self.load(dev, held)
                before = self.board.image(dev)
                self.board.clear_log()
                self.check(args, 1, stdout, before, dev)
                self.assertEqual({op for op, _ in self.ops()}, {"open", "read", "close"})

    def test_same_image_is_not_written_again(self):
        rows = [
            ("bios0", ["-p", "img.bin"], b"program_device:\n", PROGRAMMED),
            ("bios0", ["-pbios", "bios.bin"], BIOS_LINES, b"writing...\nOK\n"),
            ("fpga0", ["-pfpga", "f0.bin", "f1.bin"], FPGA_LINE, PROGRAMMED),
        ]
        for dev, args, before, after in rows:
            with self.subTest(args=args):
                self.load(dev, b"")
                self.check(args, 0, before + after, dev=dev)
                device = self.board.image(dev)
                self.board.clear_log()
                self.check(args + ["-ifchanged", "-erase", "-verify"], 0, before + ALREADY,
                           device, dev)
                self.assertEqual({op for op, _ in self.ops()}, {"open", "read", "close"})
                # Another image on the device: programmed as without -ifchanged.
                self.load(dev, b"\x00")
                self.check(args + ["-ifchanged", "-erase"], 0, before + after, device, dev)


class test_crc(modifier_test_case):
    def test_programmed_erased_and_cut_devices(self):
        self.load("bios0", b"")
        self.check(["-pbios", "bios.bin"], 0, BIOS_LINES + b"writing...\nOK\n")
        crc = BIOS_LINES.split(b"\n")[1] + b"\n"
        self.check(["-crc", "bios"], 0, crc + b"stored " + crc + b"crc OK\n")
        self.load("fpga0", b"")
        self.check(["-pfpga", "f0.bin", "f1.bin"], 0, FPGA_LINE + PROGRAMMED, dev="fpga0")
        self.board.clear_log()
        self.check(["-crc", "fpga"], 0, FPGA_LINE + b"stored " + FPGA_LINE + b"crc OK\n",
                   dev="fpga0")
        self.assertEqual({op for op, _ in self.ops()}, {"open", "read", "close"})
        # The BIOS layout read from an FPGA: the stored word is no CRC of it.
        status, stdout = self.romtool("-dev", "fpga0", "-crc", "bios")[:2]
        self.assertEqual((status, stdout[-13:]), (1, b"crc mismatch\n"))
        # Erased flash holds no CRC either.
        self.load("bios1", b"")
        self.check(["-crc", "bios"], 1, b"crc is 0x%x\nstored crc is 0xffffffff\ncrc mismatch\n"
                   % __import__("zlib").crc32(b"\xff" * (BIOS_REGION - 0x44)), dev="bios1")

    def test_power_cut_while_programming_shows(self):
        self.load("bios0", b"")
        self.board.vboard("fault", "add", "bios0", "write", "nth=20", "powercut", "partial=4")
        self.assertEqual(self.romtool("-dev", "bios0", "-pbios", "bios.bin").status,
                         -signal.SIGKILL)
        self.assertEqual(self.board.image("bios0")[:19 * 16 + 4],
                         bios_device(BIOS, BIOS_SIZE)[:19 * 16 + 4])
        status, stdout = self.romtool("-dev", "bios0", "-crc", "bios")[:2]
        stored = BIOS_LINES.split(b"\n")[1][len(b"crc is "):]
        self.assertEqual(status, 1)
        self.assertRegex(stdout, rb"\Acrc is 0x[0-9a-f]+\nstored crc is " + stored +
                         rb"\ncrc mismatch\n\Z")

    def test_bad_use(self):
        usage = self.romtool("-x")[1]
        for args in (["-crc"], ["-crc", "bois"], ["-crc", "BIOS"], ["-crc", "-verify"]):
            with self.subTest(args=args):
                self.board.clear_log()
                self.check(args, 1, usage)
                self.assertEqual(self.ops(), [])
        self.check(["-crc", "bios"], 1, fatal(b"/dev/zelk/flash_nosuch: open -- ENOENT: file/dir "
                                              b"does not exist or is a dangling symbolic link"),
                   dev="nosuch")
        # A device shorter than the layout: said, not taken for a CRC.
        self.check(["-crc", "bios"], 1, fatal(b"/dev/zelk/flash_env0: the device ends at "
                                              b"0x10000"), dev="env0")


class test_progress(modifier_test_case):
    def test_progress_leaves_stdout_as_without(self):
        self.board.put("small.bin", IMAGE[:32])
        self.load("bios0", b"")
        # Not on a terminal: whole lines on stderr (on one: test_output.py).
        self.assertEqual(self.board.run("-dev", "bios0", "-progress", "-p", "small.bin"),
                         (0, b"program_device:\n" + PROGRAMMED,
                          b"writing 0/32 bytes (0%)\nwriting 16/32 bytes (50%)\n"
                          b"writing 32/32 bytes (100%)\n"))
        # Every pass, every command: stdout is the one of a plain run.
        rows = [
            ("bios0", ["-erase", "-verify", "-pbios", "bios.bin"], b"\x00",
             BIOS_LINES + b"writing...\nOK\nverify OK\n"),
            ("fpga0", ["-pfpga", "f0.bin", "f1.bin", "-verify"], b"", FPGA_LINE + PROGRAMMED +
             b"verify OK\n"),
            ("env0", ["-dump", "out.bin"], None, b"65536 bytes written\n"),
        ]
        for dev, args, held, plain in rows:
            with self.subTest(args=args):
                if held is not None:
                    self.load(dev, held)
                status, stdout, stderr = self.board.run("-dev", dev, *args, "-progress")
                self.assertEqual((status, stdout), (0, plain))
                self.assertIn(b"(100%)\n", stderr)


class test_version_and_help(harness.romtool_test_case):
    def test_both_end_zero(self):
        with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
            version = re.search(r"project\(romtool VERSION (\S+)", f.read()).group(1)
        for args, stdout in ((["-version"], b"romtool %s\n" % version.encode()),
                             (["--version"], b"romtool %s\n" % version.encode()),
                             # A command comes first, wherever it stands.
                             (["-version", "-i", "-dev", "nosuch"], None)):
            with self.subTest(args=args):
                result = self.run_direct(*args)
                if stdout is None:
                    self.assertEqual(result.status, 1)
                    self.assertRegex(result.stdout, harness.FATAL)
                else:
                    self.assertEqual(result[:2], (0, stdout))


class test_device_lock(modifier_test_case):
    def hold(self, device, mode):
        fd = os.open(self.board.lock_file(device), os.O_RDONLY | os.O_CREAT, 0o644)
        self.addCleanup(os.close, fd)
        fcntl.flock(fd, mode)
        return fd

    @harness.preload_board_only("the holder's lock is taken on the host, whose /run/lock the guest does not share")
    def test_nowait_writer_meets_a_holder(self):
        fd = self.hold("bios0", fcntl.LOCK_SH)
        for args in (["-e"], ["-pbios", "bios.bin"], ["-p", "img.bin", "-verify"]):
            with self.subTest(args=args):
                self.check(["-nowait", *args], 1, b"device busy: /dev/zelk/flash_bios0\n")
                self.assertEqual(self.ops(), [])
        self.hold("env0", fcntl.LOCK_SH)
        self.check(["-set", "k", "v", "-nowait"], 1, b"device busy: /dev/zelk/flash_env0\n")
        # Readers share; another device's lock is another file.
        self.assertEqual(self.romtool("-dev", "bios0", "-nowait", "-r", "4")[0], 0)
        self.check(["-nowait", "-e"], 0, b"", dev="bios1")
        fcntl.flock(fd, fcntl.LOCK_UN)
        self.check(["-nowait", "-e"], 0, b"")

    @harness.preload_board_only("the holder's lock is taken on the host, whose /run/lock the guest does not share")
    def test_waiting_runs_go_on_when_the_holder_lets_go(self):
        fd = self.hold("bios0", fcntl.LOCK_EX)
        # Readers and writers wait by default; with -nowait a reader is busy too.
        self.check(["-nowait", "-i"], 1, b"device busy: /dev/zelk/flash_bios0\n")
        runs = [self.board.start("-dev", "bios0", *args)
                for args in (["-i"], ["-crc", "bios"], ["-e"])]
        time.sleep(1.5)
        self.assertEqual([run.poll() for run in runs], [None] * 3)
        self.assertEqual(self.ops(), [])
        fcntl.flock(fd, fcntl.LOCK_UN)
        for run in runs:
            run.communicate(timeout=harness.TIMEOUT)
        self.assertEqual([run.returncode for run in runs], [0, 1, 0])

    @harness.preload_board_only("one program at a time runs in the guest")
    def test_concurrent_writers_take_turns(self):
        self.board.vboard("timing", "--program-ns-per-byte", "200000")  # 0.8 s a run
        self.board.put("a.bin", random_bytes(4096, 8))
        self.board.put("b.bin", random_bytes(4096, 9))
        self.load("bios0", b"")
        runs = [self.board.start("-dev", "bios0", "-pbios", "a.bin")]
        # The second starts while the first is writing.
        deadline = time.monotonic() + harness.TIMEOUT
        while not any(r["op"] == "write" for r in self.board.requests()):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        runs.append(self.board.start("-dev", "bios0", "-pbios", "b.bin"))
        for run in runs:
            run.communicate(timeout=harness.TIMEOUT)
        self.assertEqual([run.returncode for run in runs], [0, 0])
        pids = [r["pid"] for r in self.board.requests() if r["node"] == "flash_bios0"]
        # Each run's requests in one block: open, 256 writes, close.
        blocks = [pid for i, pid in enumerate(pids) if i == 0 or pids[i - 1] != pid]
        self.assertEqual(len(pids), 2 * 258)
        self.assertEqual(len(blocks), 2)
        self.assertEqual(len(set(blocks)), 2)

    def test_no_lock_folder_no_lock(self):
        if os.geteuid() != 0 or os.system("unshare -m true 2>/dev/null") != 0:
            self.skipTest("needs a private mount namespace")
        self.hold("bios0", fcntl.LOCK_EX)
        command = ["unshare", "-m", "sh", "-c", 'mount -t tmpfs none /run && exec "$@"', "sh",
                   *self.board._command(["-dev", "bios0", "-nowait", "-e"])]
        self.assertEqual(harness._run(command, cwd=self.board.work)[:3], (0, b"", b""))


if __name__ == "__main__":
    unittest.main()
