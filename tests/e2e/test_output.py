# SPDX-License-Identifier: MIT
"""Standard output that never arrives, and the signals romtool starts with on the board."""

import os
import signal
import unittest

import harness

WRITE_ERROR = b"romtool: write error on standard output\n"


class test_output(harness.board_test_case):
    def finish(self, process):  # (status, stderr) once romtool has ended
        _, stderr = process.communicate(timeout=harness.TIMEOUT)
        return process.returncode, stderr

    @harness.preload_board_only("its standard output is the guest agent's pipe, never /dev/full")
    def test_lost_output_fails_the_run(self):
        # $(romtool -get serverip) must be able to tell that it got nothing.
        for args in (["-get", "serverip"], ["-dev", "bios0", "-r", "16"], ["-dev", "bios0", "-i"],
                     ["-get", "nokey"]):  # the fatal message is lost too: still 1
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                self.assertEqual(self.finish(self.board.start(*args, stdout=full)),
                                 (1, WRITE_ERROR))

    @harness.preload_board_only("closing the host's end does not close the guest's pipe")
    def test_closed_pipe(self):
        if harness.VALGRIND:
            self.skipTest("valgrind reports the signal itself")
        # As under the board's shell: `romtool -r 100000 | head -1` ends by SIGPIPE ...
        for ignored, ending in (((), (-signal.SIGPIPE, b"")),
                                # ... and, with SIGPIPE ignored, by status 1.
                                (("PIPE",), (1, WRITE_ERROR))):
            with self.subTest(ignored=ignored):
                process = self.board.start("-dev", "bios0", "-r", "100000",
                                           ignore_signals=ignored)
                self.assertEqual(process.stdout.readline(), b"ff[.] " * 4 + b" :  "
                                 + b"ff[.] " * 4 + b"\n")
                process.stdout.close()
                self.assertEqual(self.finish(process), ending)

    @harness.preload_board_only("its standard output is the guest agent's pipe, never a file")
    def test_output_into_a_regular_file_succeeds(self):
        path = os.path.join(self.board.work, "out.txt")
        with open(path, "wb") as out:
            self.assertEqual(self.finish(self.board.start("-get", "serverip", stdout=out)),
                             (0, b""))
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"serverip = 192.168.1.1\n")


if __name__ == "__main__":
    unittest.main()
