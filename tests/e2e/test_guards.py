# SPDX-License-Identifier: MIT
"""The guards each command keeps: which requests it sends and with which open flags (no
write or erase from a command that only reads, no erase that -erase did not ask for), and
the device lock it takes, in which mode."""

import fcntl
import os
import time
import unittest

import harness
from flash_reference import random_bytes

RO, RW = "open O_RDONLY", "open O_RDWR"
ERASE = "ioctl 0x2000c001"


class test_guards(harness.board_test_case):
    def setUp(self):
        super().setUp()
        self.board.put("img.bin", random_bytes(100, 1))
        self.board.put("bios.bin", random_bytes(0x1000, 2))

    def test_requests_and_open_flags_per_command(self):
        # bios0 holds a stale byte past the images but under the BIOS and FPGA sums: a
        # range that only an erase would clear.
        rows = [
            (["-i"], 0, [RO, "ioctl 0x4040c000"]),
            (["-r", "17"], 0, [RO]),
            (["-dump", "out.bin"], 0, [RO]),
            (["-crc", "bios"], 1, [RO]),
            # With modifiers one handle reads, erases, writes and reads back.
            (["-p", "img.bin", "-verify", "-progress"], 0, [RW, "write"]),
            (["-pbios", "bios.bin", "-ifchanged", "-verify"], 1, [RW]),  # not erased
            (["-pfpga", "img.bin", "-verify"], 1, [RW, "write"]),
            (["-pbios", "bios.bin", "-erase"], 0, [RW, ERASE, "write"]),
            (["-e"], 0, [RW, ERASE]),
        ]
        self.board.vboard("log", "on")
        for args, status, requests in rows:
            with self.subTest(args=args):
                with open(self.board.image_path("bios0"), "r+b") as f:
                    f.write(b"\xff" * 0x2000 + b"\x00")
                self.board.clear_log()
                self.assertEqual(self.board.run("-dev", "bios0", *args).status, status)
                seen = []
                for r in self.board.requests():
                    entry = {"open": "open %s" % r.get("flags"), "write": "write",
                             "ioctl": "ioctl %s" % r.get("code")}.get(r["op"])
                    if entry and not (entry == "write" and seen[-1:] == [entry]):
                        seen.append(entry)
                self.assertEqual(seen, requests)

    def test_modifiers_that_do_not_apply_are_refused(self):
        # Ignored, -e -nvram would erase env0's flash instead of the NVRAM.
        self.board.vboard("log", "on")
        images = [self.board.image(dev) for dev in ("bios0", "env0", "nvram0")]
        for args, stdout in ((["-e", "-nvram"], b"-nvram does not apply to -e\n"),
                             (["-dump", "out.bin", "-verify"], b"-verify does not apply to -dump\n"),
                             (["-i", "-erase"], b"-erase does not apply to -i\n"),
                             (["-wmt", "1", "-nowait", "-nvram"], b"-nowait does not apply to -wmt\n"),
                             (["-set", "k", "v", "-progress"], b"-progress does not apply to -set\n")):
            with self.subTest(args=args):
                self.board.clear_log()
                self.assertEqual(self.romtool("-dev", "bios0", *args)[:2], (1, stdout))
                self.assertEqual(self.board.requests(), [])
        self.assertEqual([self.board.image(dev) for dev in ("bios0", "env0", "nvram0")], images)
        self.assertFalse(os.path.exists(os.path.join(self.board.work, "out.bin")))

    @harness.preload_board_only("the holder's lock is taken on the host, whose /run/lock the guest does not share")
    def test_lock_mode_per_command(self):
        def hold(device, mode):
            fd = os.open(self.board.lock_file(device), os.O_RDONLY | os.O_CREAT, 0o644)
            self.addCleanup(os.close, fd)
            fcntl.flock(fd, mode)
            return fd

        self.board.add_flash("bios0", b"\xff" * 4096)  # a dump that ends at once
        # Beside a reader: writers are busy at once with -nowait, readers go on.
        fds = [hold(device, fcntl.LOCK_SH) for device in ("bios0", "env0")]
        for args, busy in ((["-pfpga", "img.bin"], True), (["-dump", "out.bin"], False),
                           (["-i"], False), (["-get", "serverip"], False)):
            with self.subTest(args=args):
                stdout = self.romtool("-dev", "bios0", "-nowait", *args).stdout
                # The image is read and its CRC printed before the lock is asked for.
                self.assertEqual(stdout.endswith(b"device busy: /dev/zelk/flash_bios0\n"), busy)
        # Behind a writer every reader waits, or with -nowait is busy.
        for fd in fds:
            fcntl.flock(fd, fcntl.LOCK_EX)
        self.assertEqual(self.romtool("-dev", "bios0", "-nowait", "-i")[:2],
                         (1, b"device busy: /dev/zelk/flash_bios0\n"))
        runs = [self.board.start("-dev", "bios0", *args)
                for args in (["-r", "4"], ["-dump", "out.bin"], ["-get", "serverip"])]
        time.sleep(1.0)
        self.assertEqual([run.poll() for run in runs], [None] * len(runs))
        for fd in fds:
            fcntl.flock(fd, fcntl.LOCK_UN)
        for run in runs:
            run.communicate(timeout=harness.TIMEOUT)
        self.assertEqual([run.returncode for run in runs], [0] * len(runs))


if __name__ == "__main__":
    unittest.main()
