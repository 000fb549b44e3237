"""The device commands on the virtual board: "-i", "-r", "-dump", "-e" and "-l"."""

import os
import resource
import signal
import stat
import time
import unittest

import harness
from flash_reference import fatal

# Bytes that cover every kind of entry of the screen dump.
DUMP_DATA = (b"ABCDEFGH" + bytes(range(8))          # letters, control bytes
             + b" \x7f\x80\xff" + b"0aZz"           # blank, DEL, high bytes; digit, letters
             + b"!~9q" * 2)

LINE_ABCD = b"41[A] 42[B] 43[C] 44[D]  :  45[E] 46[F] 47[G] 48[H] \n"
LINE_0_7 = b"00[.] 01[.] 02[.] 03[.]  :  04[.] 05[.] 06[.] 07[.] \n"


def ops(requests):
    return [r["op"] for r in requests]


class test_device_info(harness.board_test_case):
    def test_record_fields_read_in_native_order_and_signed(self):
        # Wide values tell a swapped or misplaced field from the right one.
        name = "P" * 51  # the longest name the driver returns
        self.board.add_flash("odd", b"\xff" * 64, manufacturer_id=-2, device_id=0x12345678,
                             size_kbits=0x01020304, part_name=name)
        self.board.vboard("log", "on")
        result = self.romtool("-dev", "odd", "-i")
        self.assertEqual(result.stdout,
                         b"Device information:\n   manf. id: -2\n    dev. id: 305419896\n"
                         b"       size: 16909060 kbits \n  part name: " + name.encode() + b"\n")
        self.assertEqual(result.status, 0)
        requests = self.board.requests()
        self.assertEqual(ops(requests), ["open", "ioctl", "close"])
        self.assertEqual(requests[0]["flags"], "O_RDONLY")
        self.assertEqual(requests[1]["code"], "0x4040c000")


class test_dump_device(harness.board_test_case):
    def test_screen_dump(self):
        rows = [
            # data, count, stdout, lengths returned by the reads
            (DUMP_DATA, "5", b"41[A] 42[B] 43[C] 44[D]  :  45[E] \n", [16]),
            (DUMP_DATA, "16", LINE_ABCD + LINE_0_7, [16]),
            (DUMP_DATA, "20", LINE_ABCD + LINE_0_7 + b"20[.] 7f[.] 80[.] ff[.] \n", [16, 16]),
            (DUMP_DATA, "24", LINE_ABCD + LINE_0_7
             + b"20[.] 7f[.] 80[.] ff[.]  :  30[0] 61[a] 5a[Z] 7a[z] \n", [16, 16]),
            # The device ends first: its last short read gives a short line, then nothing.
            (b"ABC", "64", b"41[A] 42[B] 43[C] \n", [3, 0]),
            (b"", "16", b"", [0]),
            (DUMP_DATA, "0", b"", None),  # the node is never opened
        ]
        self.board.vboard("log", "on")
        for data, count, stdout, reads in rows:
            with self.subTest(data=data[:4], count=count):
                self.board.add_flash("dump", data)
                self.board.vboard("log", "clear")
                result = self.romtool("-dev", "dump", "-r", count)
                self.assertEqual(result.stdout, stdout)
                self.assertEqual(result.status, 0)
                requests = self.board.requests()
                if reads is None:
                    self.assertEqual(requests, [])
                    continue
                self.assertEqual(ops(requests), ["open"] + ["read"] * len(reads) + ["close"])
                self.assertEqual(requests[0]["flags"], "O_RDONLY")
                # Always a whole 16-byte request, however few bytes are still wanted.
                self.assertEqual([(r["len"], r["result"]) for r in requests[1:-1]],
                                 [("16", n) for n in reads])

    def test_short_reads_start_new_lines(self):
        self.board.add_flash("dump", DUMP_DATA)
        self.board.vboard("fault", "add", "dump", "read", "short=5")
        result = self.romtool("-dev", "dump", "-r", "12")
        self.assertEqual(result.stdout, b"41[A] 42[B] 43[C] 44[D]  :  45[E] \n"
                                        b"46[F] 47[G] 48[H] 00[.]  :  01[.] \n"
                                        b"02[.] 03[.] \n")
        self.assertEqual(result.status, 0)


class test_dump_to_file(harness.board_test_case):
    def dump_path(self, name="dump.bin"):
        return os.path.join(self.board.work, name)

    def test_copies_the_whole_device_into_dump_bin(self):
        self.board.vboard("log", "on")
        result = self.romtool("-dev", "env0", "-dump")
        self.assertEqual(result.stdout, b"65536 bytes written\n")
        self.assertEqual(result.status, 0)
        with open(self.dump_path(), "rb") as f:
            self.assertEqual(f.read(), self.board.image("env0"))
        self.assertEqual(stat.S_IMODE(os.stat(self.dump_path()).st_mode), 0o600)
        requests = self.board.requests()
        self.assertEqual(requests[0]["flags"], "O_RDONLY")
        reads = requests[1:-1]
        self.assertEqual({r["len"] for r in reads}, {"32"})
        self.assertEqual([r["result"] for r in reads], [32] * 2048 + [0])
        self.assertEqual(requests[-1]["op"], "close")

    def test_existing_file_ends_equal_to_the_device(self):
        device = b"device " * 10
        rows = [
            ("longer", b"\xaa" * 4096),  # no stale tail may pass for device data
            ("shorter", b"\xaa" * 5),
            ("empty", b""),
        ]
        for name, old in rows:
            with self.subTest(existing=name):
                self.board.add_flash("small", device)
                with open(self.dump_path(name), "wb") as f:
                    f.write(old)
                result = self.romtool("-dev", "small", "-dump", name)
                self.assertEqual(result.stdout, b"70 bytes written\n")
                self.assertEqual(result.status, 0)
                with open(self.dump_path(name), "rb") as f:
                    self.assertEqual(f.read(), device)

    def test_empty_device_creates_no_file(self):
        self.board.add_flash("empty", b"")
        result = self.romtool("-dev", "empty", "-dump", "out.bin")
        self.assertEqual(result.stdout, b"0 bytes written\n")
        self.assertEqual(result.status, 0)
        self.assertEqual(os.listdir(self.board.work), [])

    def test_short_write_is_no_silent_loss(self):
        # A file size limit cuts the last write short; the rest must be tried, and fail.
        self.board.add_flash("small", bytes(range(40)))
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (36, hard))
        try:
            result = self.romtool("-dev", "small", "-dump", "cut.bin")
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        self.assertEqual(result.stdout, fatal(b"cut.bin: write -- File too large"))
        self.assertEqual(result.status, 1)


class test_erase_device(harness.board_test_case):
    def test_erases_with_one_request(self):
        image = os.path.join(self.board.work, "data.bin")
        with open(image, "wb") as f:
            f.write(b"\x00" * 1000)
        self.board.vboard("import", "booter", image)
        self.board.vboard("log", "on")
        result = self.romtool("-dev", "booter", "-e")
        self.assertEqual(result.stdout, b"")
        self.assertEqual(result.status, 0)
        self.assertEqual(self.board.image("booter"), b"\xff" * (256 << 10))
        requests = self.board.requests()
        self.assertEqual(ops(requests), ["open", "ioctl", "close"])
        self.assertEqual(requests[0]["flags"], "O_RDWR")
        self.assertEqual(requests[1]["code"], "0x2000c001")


class test_access_loop(harness.board_test_case):
    @staticmethod
    def cpu_ticks(pid):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime, stime

    def test_waits_without_opening_or_spinning(self):
        self.board.vboard("log", "on")
        process = self.board.start("-dev", "bios0", "-l")
        try:
            time.sleep(1.0)  # past start-up (qemu translates the program first)
            self.assertIsNone(process.poll(), "-l returned")
            before = self.cpu_ticks(process.pid)
            time.sleep(1.0)
            self.assertIsNone(process.poll(), "-l returned")
            # A spinning loop would use about one second's worth of ticks here.
            ticks_per_second = os.sysconf("SC_CLK_TCK")
            self.assertLess(self.cpu_ticks(process.pid) - before, ticks_per_second // 10)
            self.assertEqual(self.board.requests(), [])
        finally:
            process.send_signal(signal.SIGTERM)
            stdout, stderr = process.communicate(timeout=harness.TIMEOUT)
        self.assertEqual(process.returncode, -signal.SIGTERM)
        self.assertEqual((stdout, stderr), (b"", b""))


if __name__ == "__main__":
    unittest.main()
