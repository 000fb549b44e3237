# SPDX-License-Identifier: MIT
"""The command line of romtool: usage text, exit status, option precedence, value reading."""

import fcntl
import os
import re
import tempfile
import time
import unittest

import harness

USAGE = (b"Usage: romtool\n"
         b"-dev [dev=env0]            : device: fpga0/1, bios0/1, booter, env0/1\n"
         b"-l                         : access in loop\n"
         b"-i                         : get device information\n"
         b"-r [count=16]              : dump memory\n"
         b"-rmt <no_threads [=2]>     : environment read multithread test\n"
         b"-wmt <no_threads [=2]>     : environment write multithread test\n"
         b"-e                         : erase device\n"
         b"-p filename                : program device with file\n"
         b"-pbios filename            : program device with bios (adds checksum)\n"
         b"-pfpga filename(s)         : program device with fpga (adds checksum)\n"
         b"-get <key>                 : get environment key\n"
         b"-set <key> <value>         : set environment key/value\n"
         b"\n")
class test_usage(harness.romtool_test_case):
    def test_bad_command_lines_print_usage_and_fail(self):
        # None of these may reach a command; off the board a command would fail differently.
        cases = [
            [], ["-x"], ["-rmt5"], ["-I"],                   # no option of the tool
            ["-dev"], ["-dev", "-e"], ["-e", "-dev"],        # device name missing ...
            ["-dev", "", "-i"], ["-dev", "  ", "-i"],        # ... or without a word
            ["-set"], ["-set", "key"], ["-get", "-i"], ["-load"],
            # Programming without an image programmed nothing: a failure, never status 0.
            ["-p"], ["-pbios"], ["-pfpga"], ["-p", "-i"],
            ["-pfpga", "", "a.bin"],                         # first word empty: no file at all
        ]
        for args in cases:
            with self.subTest(args=args):
                self.assertEqual(self.run_direct(*args)[:2], (1, USAGE))

    def test_failed_command_gives_one_fatal_message_and_the_version_its_line(self):
        # Off the board every device node is missing, so these fail inside the command; a
        # command comes first, wherever it stands (-version last).
        for args in (["-i"], ["-r", "16"], ["-dump"], ["-get", "serverip"], ["-set", "a", "b"],
                     ["-version", "-i"]):
            with self.subTest(args=args), tempfile.TemporaryDirectory() as work:
                result = self.run_direct(*args, cwd=work)
                self.assertEqual(result.status, 1)
                self.assertRegex(result.stdout, harness.FATAL)
                # The device is read before the dump file is opened: no empty file left.
                self.assertEqual(os.listdir(work), [])
        version = b"romtool %s\n" % harness.romtool_version().encode()  # -version alone
        for args in (["-version"], ["--version"]):
            self.assertEqual(self.run_direct(*args)[:2], (0, version))

    def test_modifiers_that_do_not_apply_are_refused(self):
        # Before any device is opened. Ignored, -e -nvram would erase env0's flash instead.
        for args in (["-e", "-nvram"], ["-dump", "out.bin", "-verify"], ["-i", "-erase"],
                     ["-wmt", "1", "-nvram", "-nowait"], ["-set", "k", "v", "-progress"]):
            with self.subTest(args=args), tempfile.TemporaryDirectory() as work:
                message = "%s does not apply to %s\n" % (args[-1], args[0])
                self.assertEqual(self.run_direct(*args, cwd=work)[:2], (1, message.encode()))
                self.assertEqual(os.listdir(work), [])


class test_on_the_board(harness.board_test_case):
    def outputs(self, board, *commands):
        board.put("img.bin", bytes(range(256)) * 4)
        return [self.romtool(*args, board=board, timeout=20)[:2] for args in commands]

    def test_first_option_in_order_wins(self):
        # Same status and output as the winner alone; a follow-up shows what a winner changed.
        rows = [
            # command line                                    winner alone        follow-up
            (["-i", "-r", "16"],                              ["-r", "16"],       None),
            (["-e", "-dump", "out.bin"],                      ["-dump", "out.bin"], None),
            (["-x", "-i", "stray"],                           ["-i"],             None),
            (["-set", "k", "v", "-e"],                        ["-e"],             ["-get", "k"]),
            (["-i", "-pfpga", "img.bin"],                     ["-pfpga", "img.bin"], ["-r", "80"]),
            # A missing node fails naming its path, so the output tells which name was used.
            (["-dev", "nosuch", "-dev", "bios0", "-r", "16"], ["-dev", "nosuch", "-r", "16"], None),
            # Modifiers (and -dev with its word) neither are files nor end the list;
            # another option does.
            (["-pfpga", "img.bin", "-verify", "img.bin", "-dev", "fpga0", "img.bin"],
             ["-dev", "fpga0", "-pfpga", "img.bin", "img.bin", "img.bin", "-verify"],
             ["-dev", "fpga0", "-crc", "fpga"]),
            (["-dev", "fpga0", "-pfpga", "img.bin", "-x", "img.bin"],
             ["-dev", "fpga0", "-pfpga", "img.bin"], ["-dev", "fpga0", "-crc", "fpga"]),
        ]
        for args, winner, follow_up in rows:
            with self.subTest(args=args):
                if follow_up is None:
                    self.assertEqual(*self.outputs(self.board, args, winner))
                else:
                    self.assertEqual(self.outputs(self.fresh_board(), args, follow_up),
                                     self.outputs(self.fresh_board(), winner, follow_up))

    def test_count_forms(self):
        # The option reader's forms are its unit test's; here that -r uses it, and that the
        # default of 64 stays where nothing was read, or a count beyond int (never negative).
        rows = [(["-r", "0x20"], 32), (["-r", "abc"], 64), (["-r", "-i"], 64),
                (["-r", "0xffffffff"], 64), (["-r", "0x80000000"], 64), (["-r", "2147483648"], 64)]
        for args, count in rows:
            with self.subTest(args=args):
                result = self.romtool(*args)
                self.assertEqual(result.status, 0, result.stdout)
                self.assertEqual(len(re.findall(rb"[0-9a-f]{2}\[.\] ", result.stdout, re.DOTALL)),
                                 count)

    def test_help_anywhere_touches_no_device(self):
        # The usage text's lines first; every option of the help is checked against the
        # completion (tests/packaging/test_completion.py).
        self.board.put("img.bin", bytes(64))
        images = [self.board.image(dev) for dev in ("env0", "bios1")]
        help_text = self.romtool("--help").stdout
        self.assertTrue(help_text.startswith(USAGE[:-1]) and
                        help_text.endswith(b"\n-h, --help                 : print this help\n\n"))
        for args in (["-e", "--help"], ["-dev", "-h"], ["-dev", "bios1", "-pbios", "img.bin", "-h"],
                     ["-set", "k", "v", "-h"]):
            with self.subTest(args=args):
                self.assertEqual(self.romtool(*args)[:2], (0, help_text))
                self.assertEqual(self.board.requests(), [])
                self.assertEqual([self.board.image(dev) for dev in ("env0", "bios1")], images)


@harness.preload_board_only("the guest's /run/lock is not the host's")
class test_lock_file(harness.board_test_case):
    def setUp(self):
        super().setUp()
        self.lock = self.board.lock_file("bios0")

    def test_only_a_regular_file_serves_and_a_new_one_is_readable_by_all(self):
        # Planted by another user: never waited on (a FIFO would block the open), never
        # followed, never worked around by running unlocked.
        rows = [
            ("fifo", os.mkfifo, ["-nowait", "-r", "4"]),
            ("link to a file", lambda path: os.symlink(self.board.image_path("env0"), path), ["-e"]),
            ("folder", os.mkdir, ["-e"]),
        ]
        refused = (1, b"lock file %s: not a regular file\n" % self.lock.encode())
        for kind, plant, args in rows:
            with self.subTest(kind):
                self.board.remove_locks()
                plant(self.lock)
                self.board.clear_log()
                self.assertEqual(self.romtool("-dev", "bios0", *args, timeout=20)[:2], refused)
                self.assertEqual(self.board.requests(), [])
        # Made 0600 under root's umask 077, it would leave every other user's run unlocked.
        self.board.remove_locks()
        self.assertEqual(self.board.shell("umask 077 && $R -dev bios0 -i").status, 0)
        self.assertEqual(os.stat(self.lock).st_mode & 0o777, 0o644)

    def test_lock_mode_per_command(self):
        def hold(device, mode):
            fd = os.open(self.board.lock_file(device), os.O_RDONLY | os.O_CREAT, 0o644)
            self.addCleanup(os.close, fd)
            fcntl.flock(fd, mode)
            return fd

        self.board.add_flash("bios0", b"\xff" * 4096)  # a dump that ends at once
        self.board.put("img.bin", bytes(100))
        self.board.put("in.env", b"a=1\n")
        # Beside a reader: writers are busy at once with -nowait, readers (a dry run too) go on. Each
        # command locks the node it uses: without -nvram the store is env0, not held.
        fds = [hold(device, fcntl.LOCK_SH) for device in ("bios0", "nvram0")]
        for args, busy in ((["-pfpga", "img.bin"], b"flash_bios0"), (["-dump", "out.bin"], None),
                           (["-i"], None), (["-unset", "a", "-nvram"], b"nvram0"),
                           (["-load", "in.env", "-nvram"], b"nvram0"), (["-list", "-nvram"], None),
                           (["-unset", "a"], None), (["-e", "-dryrun"], None)):
            with self.subTest(args=args):
                status, stdout = self.romtool("-dev", "bios0", "-nowait", *args)[:2]
                # The image is read and its CRC printed before the lock is asked for.
                line = b"device busy: /dev/zelk/%s\n" % (busy or b"")
                self.assertEqual((status, stdout.endswith(line)), (1, True) if busy else (0, False))
        result = self.romtool("-dev", "bios0", "-nowait", "-e", "-json")
        self.assertEqual(harness.json_result(["-json"], result)[0]["error"]["kind"], "lock")
        # Behind a writer every run waits, a writer too; with -nowait it is busy.
        for fd in fds:
            fcntl.flock(fd, fcntl.LOCK_EX)
        self.assertEqual(self.romtool("-dev", "bios0", "-nowait", "-i")[:2],
                         (1, b"device busy: /dev/zelk/flash_bios0\n"))
        runs = [self.board.start("-dev", "bios0", *args)
                for args in (["-r", "4"], ["-dump", "out.bin"], ["-list", "-nvram"], ["-e"])]
        time.sleep(1.0)
        self.assertEqual([run.poll() for run in runs], [None] * len(runs))
        for fd in fds:
            fcntl.flock(fd, fcntl.LOCK_UN)
        for run in runs:
            run.communicate(timeout=harness.TIMEOUT)
        self.assertEqual([run.returncode for run in runs], [0] * len(runs))


if __name__ == "__main__":
    unittest.main()
