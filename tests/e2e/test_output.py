# SPDX-License-Identifier: MIT
"""Standard output that never arrives, the signals romtool starts with on the board, and
what goes to standard error instead: a dump's line when the dump is the output, -progress."""

import os
import pty
import re
import signal
import subprocess
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
        self.assertEqual(self.board.shell("$R -dump -progress 2>/dev/full")[:2],  # no output lost
                         (0, b"65536 bytes written\n"))
        for name, named in (("-", b"standard output"), ("/proc/self/fd/1", b"/proc/self/fd/1")):
            self.assertEqual(self.board.shell("$R -dump %s >/dev/full" % name)[2], b"\nromtool fatal"
                             b" error : %s: write -- ENOSPC: file has no room for this data\n\n" % named)

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

    def test_dump_into_standard_output_carries_the_device_alone(self):
        # `romtool -dump - | gzip`: the line, the progress and a failure go to stderr.
        device = bytes(range(256)) * 4
        self.board.add_flash("small", device)
        for name in ("-", "/proc/self/fd/1"):  # the guest has no /dev/stdout
            with self.subTest(name=name):
                self.assertEqual(self.board.run("-dev", "small", "-dump", name),
                                 (0, device, b"1024 bytes written\n"))
        status, stdout, stderr = self.board.run("-dev", "small", "-dump", "-", "-progress")
        self.assertEqual((status, stdout), (0, device))
        # Not on a terminal: a whole line at every tenth.
        self.assertEqual([int(p) // 10 for p in re.findall(rb"^dumping \d+/1024 bytes \((\d+)%\)$",
                                                            stderr, re.M)], list(range(11)))
        self.assertTrue(stderr.endswith(b"(100%)\n1024 bytes written\n"), stderr)
        # A part whose size reads 0: a line at the start and at each whole MiB.
        self.board.add_flash("big", b"\xff" * (2 << 20 | 64), size_kbits=0)
        unknown = (0, b"2097216 bytes written\n", b"dumping 0 bytes\ndumping 1048576 bytes\n"
                   b"dumping 2097152 bytes\n")
        self.assertEqual(self.board.run("-dev", "big", "-dump", "out.bin", "-progress"), unknown)
        self.board.add_flash("tiny", b"\xff" * 128)  # 1 kbit: the least size there is
        self.assertEqual(self.board.run("-dev", "tiny", "-dump", "out.bin", "-progress")[2], b"".join(
            b"dumping %d/128 bytes (%d%%)\n" % (n, n * 100 // 128) for n in range(0, 129, 32)))
        self.board.vboard("fault", "add", "big", "ioctl", "errno=5")  # a failed info request too
        self.assertEqual(self.board.run("-dev", "big", "-dump", "out.bin", "-progress"), unknown)
        self.board.vboard("fault", "add", "small", "read", "nth=2", "errno=5")
        status, stdout, stderr = self.board.run("-dev", "small", "-dump", "-")
        self.assertEqual((status, stdout), (1, device[:32]))
        self.assertRegex(stderr, harness.FATAL)

    @harness.preload_board_only("the mount namespace is the host's")
    def test_a_closed_stream_without_dev_null_stops_the_run(self):
        # Reopened on /dev/null, a closed stream is never a device node; with no /dev/null
        # (a board's /dev not yet populated) the run ends before anything is opened.
        script = 'mount -t tmpfs none /dev || exit 77; exec "$@" <&-'
        done = subprocess.run(["unshare", "--mount", "sh", "-c", script, "sh",
                               *self.board.command("-e")], capture_output=True, check=False)
        if done.returncode == 77 or done.stderr.startswith(b"unshare:"):
            self.skipTest("no mount namespace here")
        self.assertEqual((done.returncode, done.stdout, done.stderr, self.board.requests()),
                         (1, b"", b"", []))

    @harness.preload_board_only("a terminal on the host is not the guest's")
    def test_progress_on_a_terminal_rewrites_one_line(self):
        # Blanked at the end (as wide as its widest text), so the next line starts on a clean
        # line; a device of unknown size is redrawn at every 64 KiB.
        self.board.put("small.bin", bytes(32))
        self.board.add_flash("big", b"\xff" * (128 << 10), size_kbits=0)
        rows = ((["-dev", "bios0", "-p", "small.bin"], b"program_device:\nprogramming successful\n",
                 b"\rwriting 0/32 bytes (0%)\rwriting 16/32 bytes (50%)\rwriting 32/32 bytes (100%)"),
                (["-dev", "big", "-dump", "out.bin"], b"131072 bytes written\n",
                 b"\rdumping 0 bytes\rdumping 65536 bytes\rdumping 131072 bytes"))
        for args, stdout, shown in rows:
            terminal, stderr = pty.openpty()
            process = subprocess.Popen(self.board.command(*args, "-progress"), cwd=self.board.work,
                                       stdout=subprocess.PIPE, stderr=stderr)
            os.close(stderr)
            out = process.communicate(timeout=harness.TIMEOUT)[0]
            seen = b""
            try:
                while chunk := os.read(terminal, 4096):
                    seen += chunk
            except OSError:  # EIO: every writer has gone
                pass
            os.close(terminal)
            blank = b"\r" + b" " * max(map(len, shown.split(b"\r"))) + b"\r"
            self.assertEqual((process.returncode, out, seen), (0, stdout, shown + blank))


if __name__ == "__main__":
    unittest.main()
