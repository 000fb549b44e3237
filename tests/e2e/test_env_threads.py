# SPDX-License-Identifier: MIT
"""-rmt and -wmt on the virtual board, ended by a real SIGINT to the process (under
qemu-ppc the qemu process is the process)."""

import os
import select
import signal
import time
import unittest

import harness
from flash_reference import ENOENT_OPEN

WAITING = b"waiting for ctrl-c\n"
READ = ("0x412cc003", '"serverip"', None)
WRITE = ("0x812cc002", '"stdin"', '"serial"')


class test_env_threads(harness.board_test_case):
    def log(self):
        return self.board.requests("tid", "node", "op", "flags", "code", "key", "value")

    def start(self, *args, wanted=WAITING, times=1):
        # romtool, once its output holds wanted so many times: (process, output).
        process = self.board.start(*args)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        deadline, output = time.monotonic() + harness.TIMEOUT, b""
        while output.count(wanted) < times:
            left = max(0, deadline - time.monotonic())
            self.assertTrue(select.select([process.stdout], [], [], left)[0], "no %r" % wanted)
            chunk = os.read(process.stdout.fileno(), 4096)
            self.assertNotEqual(chunk, b"", "ended before %r: %r" % (wanted, output))
            output += chunk
        return process, output

    def interrupt(self, process, output):
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        rest, errors = process.communicate(timeout=harness.TIMEOUT)
        self.assertEqual(errors, b"", "romtool wrote to stderr")
        return process.returncode, output + rest, time.monotonic() - sent

    def test_workers_until_ctrl_c(self):
        rows = [
            # arguments                         workers  requests
            (["-rmt"],                          2,       READ),
            (["-rmt", "12"],                    12,      READ),
            (["-rmt", "13"],                    None,    b"13 is too many ( > 12 ) \n"),
            (["-wmt", "0x3"],                   3,       WRITE),
            (["-wmt", "-3"],                    2,       WRITE),   # "-3" is no value
            (["-wmt", "0"],                     0,       WRITE),
            (["-dev", "bios0", "-rmt", "1"],    1,       READ),
        ]
        for args, count, requests in rows:
            with self.subTest(args=args):
                self.board.clear_log()
                if count is None:  # refused before any worker starts
                    self.assertEqual(self.romtool(*args)[:2] + (self.log(),), (1, requests, []))
                    continue
                code, key, value = requests
                process, output = self.start(*args)
                self.assertTrue(self.board.wait_for(
                    lambda: len({r[0] for r in self.log() if r[2] == "ioctl"}) == count))
                status, output, elapsed = self.interrupt(process, output)
                self.assertEqual((status, output), (0, WAITING))
                # Writers have just begun their pause of a second: a stop must wake them.
                prompt = key == WRITE[1] and not harness.VALGRIND
                self.assertLess(elapsed, 0.9 if prompt else harness.TIMEOUT)
                log = self.log()
                tids = sorted({r[0] for r in log}, key=int)
                self.assertEqual(len(tids), count)
                self.assertLessEqual({r[1:7] for r in log}, {
                    ("flash_env0", "open", "O_RDWR|O_SYNC", None, None, None),
                    ("flash_env0", "ioctl", None, code, key, value),
                    ("flash_env0", "close", None, None, None, None)})
                for tid in tids:
                    ops = [r[2] for r in log if r[0] == tid]
                    self.assertEqual(ops, ["open", "ioctl", "close"] * (len(ops) // 3))
                # Stopped one at a time in the order they were made (thread ids rise).
                last = [max(i for i, r in enumerate(log) if r[0] == tid) for tid in tids]
                self.assertEqual(last, sorted(last))

    def test_ctrl_c_during_start_up_is_not_lost(self):
        # Already pending when romtool starts: blocked from here on, inherited over exec.
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            process = self.board.start("-rmt", "12")
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
        process.send_signal(signal.SIGINT)
        self.assertEqual(process.communicate(timeout=harness.TIMEOUT), (WAITING, b""))
        self.assertEqual(process.returncode, 0)
        # Sent as soon as the first worker reaches the board, while the rest are starting.
        seen = len(self.log())
        process = self.board.start("-rmt", "12")
        self.assertTrue(self.board.wait_for(lambda: len(self.log()) > seen))
        self.assertEqual(self.interrupt(process, b"")[:2], (0, WAITING))

    def test_failing_workers_print_once_and_fail_the_run(self):
        rows = [
            (["missing", "env0"], ["-rmt", "3"], 3,
             b"\nromtool::read_t fatal error : /dev/zelk/flash_env0: %s\n\n" % ENOENT_OPEN),
            (["add", "env0", "ioctl", "code=" + WRITE[0], "errno=128"], ["-wmt", "2"], 2,
             b"\nromtool::write_t fatal error : /dev/zelk/flash_env0: flash device busy\n\n"),
        ]
        for fault, args, count, message in rows:
            with self.subTest(args=args):
                self.board.vboard("fault", "clear")
                self.board.vboard("fault", *fault)
                process, output = self.start(*args, wanted=message, times=count)
                status, output, _ = self.interrupt(process, output)
                # Each message is one piece, once per worker; the run's status shows them.
                self.assertEqual(status, 1)
                self.assertEqual(output.replace(WAITING, b"", 1), message * count)


if __name__ == "__main__":
    unittest.main()
