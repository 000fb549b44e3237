"""Runs the real romtool for the end-to-end tests: directly, or on a fresh virtual board.

The build passes everything through the environment (tests/e2e/CMakeLists.txt):
  ROMTOOL           the romtool binary
  ROMTOOL_RUNNER    words put in front of it: empty on the host, "qemu-ppc -L ..." for the board
  VBOARD            the virtual board's front end
  VBOARD_PRELOAD    its preload library; empty while the board is not part of the build
  ROMTOOL_SANITIZE  "address", "thread" or empty
  ROMTOOL_VALGRIND  "1": romtool runs under valgrind memcheck (host build only), so that a
                    leak or an invalid access shows on stderr and fails the test

Typical use:

    class test_something(harness.board_test_case):
        def test_x(self):
            result = self.romtool("-r", "16")        # on this test's own fresh board
            self.assertEqual(result.status, 0)

romtool never writes to stderr, so every run through a test case asserts that stderr is
empty; sanitizer reports land there too and fail the test.
"""

import collections
import os
import re
import shlex
import subprocess
import sys
import tempfile
import unittest

ROMTOOL = os.environ.get("ROMTOOL", "")
RUNNER = shlex.split(os.environ.get("ROMTOOL_RUNNER", ""))
VBOARD = os.environ.get("VBOARD", "")
PRELOAD = os.environ.get("VBOARD_PRELOAD", "")
SANITIZE = os.environ.get("ROMTOOL_SANITIZE", "")
# Memcheck's report lands on stderr, which every test checks; the status says it too.
VALGRIND = []
if os.environ.get("ROMTOOL_VALGRIND") == "1" and not RUNNER:
    VALGRIND = ["valgrind", "--error-exitcode=99", "--leak-check=full",
                "--errors-for-leak-kinds=definite,indirect", "--track-fds=no", "-q"]
if not ROMTOOL:
    sys.exit("ROMTOOL is not set: run the end-to-end tests through ctest")

# Generous: qemu-user and valgrind are slow, and a hung romtool must still end the test.
TIMEOUT = 120 if VALGRIND else 60

# What main prints for an exception a command lets out: an empty line, the message line,
# another empty line.
FATAL = re.compile(rb"\nromtool fatal error : ([^\n]*)\n\n\Z")

result_t = collections.namedtuple("result_t", "status stdout stderr")


def _environment():
    env = dict(os.environ)
    if SANITIZE == "address":
        # The preload library comes before libasan in the link order; ASan would refuse to start.
        env["ASAN_OPTIONS"] = "verify_asan_link_order=0"
    return env


def _run(command, cwd=None, timeout=TIMEOUT):
    done = subprocess.run(command, cwd=cwd, env=_environment(), capture_output=True,
                          timeout=timeout, check=False)
    return result_t(done.returncode, done.stdout, done.stderr)


def run(*args, cwd=None, timeout=TIMEOUT):
    """romtool with args, off the board (no device nodes exist)."""
    return _run(RUNNER + VALGRIND + [ROMTOOL, *args], cwd=cwd, timeout=timeout)


def vboard(*args, check=True):
    """The board's front end; returns its stdout, raises when it fails and check is set."""
    done = subprocess.run([sys.executable, VBOARD, *args], capture_output=True, check=False)
    if check and done.returncode != 0:
        raise RuntimeError("vboard %s failed (%d): %s"
                           % (" ".join(args), done.returncode, done.stderr.decode(errors="replace")))
    return done.stdout


class board_t:
    """A fresh default board in a temporary folder, with a work folder beside it (the
    current directory of romtool, where relative file names such as dump.bin land)."""

    def __init__(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="romtool-e2e-")
        self.dir = os.path.join(self._tmp.name, "board")
        self.work = os.path.join(self._tmp.name, "work")
        os.mkdir(self.work)
        vboard("create", self.dir)

    def run(self, *args, timeout=TIMEOUT):
        """romtool with args on this board."""
        return _run(self._command(args), cwd=self.work, timeout=timeout)

    def vboard(self, command, *args, check=True):
        """A front end command on this board: vboard COMMAND DIR ARGS..."""
        return vboard(command, self.dir, *args, check=check)

    def _command(self, args):
        command = [sys.executable, VBOARD, "run", "--preload", PRELOAD]
        if RUNNER:
            command += ["--runner", " ".join(RUNNER)]
        return command + [self.dir, "--", *VALGRIND, ROMTOOL, *args]

    def start(self, *args):
        """romtool with args on this board, not waited for. The front end execs into the
        program, so the process's pid is romtool's (or qemu's running it)."""
        return subprocess.Popen(self._command(args), cwd=self.work, env=_environment(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def image_path(self, device):
        """The file behind a device ("bios0", "flash_bios0" or "nvram0")."""
        node = device if device.startswith(("flash_", "nvram")) else "flash_" + device
        return os.path.join(self.dir, node + ".img")

    def image(self, device):
        """A device's bytes."""
        with open(self.image_path(device), "rb") as f:
            return f.read()

    def add_flash(self, name, data, manufacturer_id=0x01, device_id=0x0002, size_kbits=None,
                  part_name="TEST"):
        """One more flash device /dev/zelk/flash_NAME holding data; its size is len(data).
        The ids are written as given (any integer the board reads, negative ones too)."""
        if size_kbits is None:
            size_kbits = len(data) * 8 // 1024
        with open(os.path.join(self.dir, "flash_%s.info" % name), "w") as f:
            f.write("type=flash\nmanufacturer_id=%d\ndevice_id=%d\nsize_kbits=%d\n"
                    "part_name=%s\n" % (manufacturer_id, device_id, size_kbits, part_name))
        with open(self.image_path(name), "wb") as f:
            f.write(data)

    def requests(self):
        """The request log, one dict per line: node, op, the logged fields (text values,
        quotes kept) and result as int; pid and tid left out. Turn logging on first with
        self.vboard("log", "on")."""
        out = []
        for line in self.vboard("log", "show").decode(errors="replace").splitlines():
            fields = {}
            for key, value in re.findall(r'(\w+)(?:=("(?:[^"\\]|\\.)*"|\S*))?', line):
                fields[key] = value
            for key in ("pid", "tid"):
                fields.pop(key, None)
            fields["result"] = int(fields["result"])
            out.append(fields)
        return out

    def close(self):
        self._tmp.cleanup()


class romtool_test_case(unittest.TestCase):
    """Runs romtool off the board; every run must leave stderr empty."""

    def check_stderr(self, result):
        self.assertEqual(result.stderr, b"", "romtool wrote to stderr")
        return result

    def run_direct(self, *args, cwd=None, timeout=TIMEOUT):
        return self.check_stderr(run(*args, cwd=cwd, timeout=timeout))

    def skip_unless_available(self, result, option):
        """Skips while the command of option is still missing from this build."""
        if result.stdout.endswith(b"%s: not available in this build\n\n" % option.encode()):
            self.skipTest(option + " is not in this build yet")


class board_test_case(romtool_test_case):
    """Each test gets its own fresh board as self.board; skipped without a virtual board."""

    def setUp(self):
        if not PRELOAD:
            self.skipTest("no virtual board in this build")
        self.board = board_t()
        self.addCleanup(self.board.close)

    def romtool(self, *args, board=None, timeout=TIMEOUT):
        """romtool with args on self.board (or on the given board)."""
        return self.check_stderr((board or self.board).run(*args, timeout=timeout))

    def fresh_board(self):
        """One more fresh board, for comparing runs that change the board."""
        board = board_t()
        self.addCleanup(board.close)
        return board
