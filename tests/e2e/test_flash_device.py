# SPDX-License-Identifier: MIT
"""The device commands on the virtual board: "-i", "-r", and "-dump" ("-e": test_flash_modifiers.py)."""

import itertools
import os
import resource
import signal
import stat
import unittest

import harness
from flash_reference import fatal

# Bytes that cover every kind of entry of the screen dump: letters, control bytes, blank,
# DEL, high bytes, digits.
DUMP_DATA = b"ABCDEFGH" + bytes(range(8)) + b" \x7f\x80\xff" + b"0aZz" + b"!~9q" * 2
LINE_ABCD = b"41[A] 42[B] 43[C] 44[D]  :  45[E] 46[F] 47[G] 48[H] \n"
LINE_0_7 = b"00[.] 01[.] 02[.] 03[.]  :  04[.] 05[.] 06[.] 07[.] \n"
# Requests as (op, flags, code, len, result).
OPEN_RO = ("open", "O_RDONLY", None, None, "fd")
CLOSE = ("close", None, None, None, 0)


class test_device_commands(harness.board_test_case):
    def run_logged(self, *args):  # (status, stdout, requests) on a cleared log
        self.board.clear_log()
        status, stdout = self.romtool(*args)[:2]
        return status, stdout, self.board.requests("op", "flags", "code", "len", "result")

    def test_info_reads_the_record_in_native_order_and_signed(self):
        name = b"P" * 51  # the longest; wide values tell a swapped field
        self.board.add_flash("odd", b"\xff" * 64, manufacturer_id=-2, device_id=0x12345678,
                             size_kbits=0x01020304, part_name=name.decode())
        self.assertEqual(self.run_logged("-dev", "odd", "-i"), (
            0, b"Device information:\n   manf. id: -2\n    dev. id: 305419896\n"
            b"       size: 16909060 kbits \n  part name: " + name + b"\n",
            [OPEN_RO, ("ioctl", None, "0x4040c000", None, 0), CLOSE]))

    def test_screen_dump(self):
        rows = [
            # data, count, stdout, lengths returned by the 16-byte reads
            (DUMP_DATA, "5", b"41[A] 42[B] 43[C] 44[D]  :  45[E] \n", [16]),
            (DUMP_DATA, "24", LINE_ABCD + LINE_0_7
             + b"20[.] 7f[.] 80[.] ff[.]  :  30[0] 61[a] 5a[Z] 7a[z] \n", [16, 16]),
            # The device ends first: its last short read gives a short line, then nothing.
            (b"ABC", "64", b"41[A] 42[B] 43[C] \n", [3, 0]),
            (b"", "16", b"", [0]),
            (DUMP_DATA, "0", b"", []),  # the node is never opened
        ]
        for data, count, stdout, reads in rows:
            with self.subTest(data=data[:4], count=count):
                self.board.add_flash("dump", data)
                requests = [OPEN_RO, *[("read", None, None, "16", n) for n in reads], CLOSE]
                self.assertEqual(self.run_logged("-dev", "dump", "-r", count),
                                 (0, stdout, requests if reads else []))
        # A short read starts a new line.
        self.board.vboard("fault", "add", "dump", "read", "short=5")
        self.assertEqual(self.romtool("-dev", "dump", "-r", "12")[:2],
                         (0, b"41[A] 42[B] 43[C] 44[D]  :  45[E] \n"
                             b"46[F] 47[G] 48[H] 00[.]  :  01[.] \n02[.] 03[.] \n"))

    def test_dump_copies_the_whole_device_into_a_new_0600_file(self):
        status, stdout, requests = self.run_logged("-dev", "env0", "-dump")
        runs = [(r, len(list(same))) for r, same in itertools.groupby(requests)]
        self.assertEqual((status, stdout, runs), (0, b"65536 bytes written\n", [
            (OPEN_RO, 1), (("read", None, None, "32", 32), 2048), (("read", None, None, "32", 0), 1),
            (CLOSE, 1)]))
        self.assertEqual(self.board.read("dump.bin"), self.board.image("env0"))
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.board.work, "dump.bin")).st_mode), 0o600)

    def test_file_size_limit_fails_the_dump(self):
        # A file size limit cuts the last write short; the rest must fail: by SIGXFSZ, or
        # with EFBIG where the signal is ignored.
        if harness.VALGRIND:
            self.skipTest("the limit would stop valgrind's own files first")
        self.board.add_flash("small", b"device " * 10)
        self.board.vboard("log", "off")  # the board's log would meet the limit too
        for ignored, ending in (((), (-signal.SIGXFSZ, b"")),
                                (("XFSZ",), (1, fatal(b"cut.bin: write -- File too large")))):
            with self.subTest(ignored=ignored):
                soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
                resource.setrlimit(resource.RLIMIT_FSIZE, (36, hard))
                try:
                    process = self.board.start("-dev", "small", "-dump", "cut.bin",
                                               ignore_signals=ignored)
                finally:
                    resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
                stdout, stderr = process.communicate(timeout=harness.TIMEOUT)
                self.assertEqual((process.returncode, stdout, stderr), (*ending, b""))

    def test_a_dump_ended_by_a_signal_leaves_no_hidden_copy(self):
        # The copy goes to .out.bin.XXXXXX beside out.bin until its last byte; ctrl-c or a
        # kill in between removes it, and the old file stays as it was.
        self.board.put("out.bin", b"old dump")
        for number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=number):
                self.board.clear_log()
                process = self.board.start("-dev", "fpga0", "-dump", "out.bin")
                self.board.wait_for(lambda: process.poll() is not None or self.board.requests()[99:])
                during = [name[:9] for name in sorted(os.listdir(self.board.work))]
                hidden = [] if harness.KERNEL else [".out.bin."]  # the guest's show at its end
                process.send_signal(number)
                process.communicate(timeout=harness.TIMEOUT)
                self.assertEqual((process.returncode, during, sorted(os.listdir(self.board.work))),
                                 (-number, hidden + ["out.bin"], ["out.bin"]))
                self.assertEqual(self.board.read("out.bin"), b"old dump")

    @harness.preload_board_only("standard output in the guest is a file the agent collects, "
                                "not a pipe, and a host FIFO is not the guest's")
    def test_dump_into_a_fifo_or_into_standard_output_by_name(self):
        # A FIFO takes the bytes; that it cannot be synced is no failure.
        self.board.add_flash("small", b"device " * 10)
        os.mkfifo(os.path.join(self.board.work, "fifo"))
        process = self.board.start("-dev", "small", "-dump", "fifo")
        self.assertEqual(self.board.read("fifo"), b"device " * 10)
        self.assertEqual(process.communicate(timeout=harness.TIMEOUT), (b"70 bytes written\n", b""))
        # The file that is also standard output holds the device alone; the line goes to stderr.
        with open(os.path.join(self.board.work, "out.bin"), "wb") as out:
            second = self.board.start("-dev", "small", "-dump", "out.bin", stdout=out)
            self.assertEqual(second.communicate(timeout=harness.TIMEOUT)[1], b"70 bytes written\n")
        self.assertEqual((process.returncode, second.returncode), (0, 0))
        self.assertEqual(self.board.read("out.bin"), b"device " * 10)

if __name__ == "__main__":
    unittest.main()
