# SPDX-License-Identifier: MIT
"""Runs the real romtool directly or on a fresh board: the preload library, or with
ROMTOOL_BOARD=kernel a PowerPC guest on our driver module (one per test file, the board
folder synced around every run). Every run's stderr must be empty: romtool writes there
only when stdout fails, and sanitizer and memcheck reports land there too."""

import atexit
import collections
import json
import os
import re
import shlex
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

# Set by the build (tests/e2e/CMakeLists.txt).
ROMTOOL = os.environ.get("ROMTOOL", "")
RUNNER = shlex.split(os.environ.get("ROMTOOL_RUNNER", ""))  # "qemu-ppc -L ..." for the board
VBOARD = os.environ.get("VBOARD", "")                       # the virtual board's front end
PRELOAD = os.environ.get("VBOARD_PRELOAD", "")              # empty without a virtual board
# ROMTOOL_VALGRIND=1: romtool under memcheck (host only); its report fails the stderr check.
VALGRIND = []
if os.environ.get("ROMTOOL_VALGRIND") == "1" and not RUNNER:
    VALGRIND = ["valgrind", "--error-exitcode=99", "--leak-check=full",
                "--errors-for-leak-kinds=definite,indirect", "--track-fds=no", "-q"]
if not ROMTOOL:
    sys.exit("ROMTOOL is not set: run the end-to-end tests through ctest")
TIMEOUT = 120 if VALGRIND else 60
FATAL = re.compile(rb"\nromtool fatal error : ([^\n]*)\n\n\Z")

result_t = collections.namedtuple("result_t", "status stdout stderr")

try:
    import jsonschema
except ImportError:  # Debian's package, where python3 is not Debian's own
    sys.path.append("/usr/lib/python3/dist-packages")
    import jsonschema
with open(os.path.join(os.path.dirname(__file__), "..", "..", "doc", "romtool.schema.json")) as f:
    SCHEMA = jsonschema.Draft202012Validator(json.load(f))


def romtool_version():  # the project's, as CMakeLists.txt sets it
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt")) as f:
        return re.search(r"project\(romtool VERSION (\S+)", f.read()).group(1)


def json_result(args, result):
    """The object of a -json run and what else its standard error carries: one line on
    standard output (standard error when a dump goes there), valid against the schema, "ok"
    as the status says; on standard error only the usage text of a usage error and the
    progress objects of -progress."""
    dump_out = "-dump" in args and list(args[args.index("-dump") + 1:][:1]) == ["-"]
    stream = result.stderr.split(b"\n")[-2] + b"\n" if dump_out else result.stdout
    assert stream.count(b"\n") == 1 and stream.endswith(b"\n"), stream
    obj = json.loads(stream)
    SCHEMA.validate(obj)
    assert obj["ok"] == (result.status == 0), (obj, result.status)
    rest = result.stderr[:-len(stream)] if dump_out else result.stderr
    if obj.get("error", {}).get("kind") == "usage" and rest.startswith(b"Usage: romtool\n"):
        rest = b""
    if "-progress" in args:
        progress = [json.loads(line) for line in rest.split(b"\n")[:-1]]
        # an unknown total is null, never 0
        assert all(set(p) == {"phase", "done", "total"} and p["total"] != 0 for p in progress), progress
        rest = b""
    return obj, rest


def _run(command, cwd=None, timeout=TIMEOUT, pass_fds=(), stdin=None, env=None):
    done = subprocess.run(command, cwd=cwd, capture_output=True, input=stdin,
                          timeout=timeout, check=False, pass_fds=pass_fds, env=env)
    return result_t(done.returncode, done.stdout, done.stderr)


class preload_board_t:  # romtool started directly with the preload library serving the board
    def command(self, board, args):  # as `vboard run` starts it, without a Python in between
        env = ["LD_PRELOAD=" + PRELOAD, "VBOARD_DIR=" + board.dir]
        if RUNNER:
            return RUNNER + [word for e in env for word in ("-E", e)] + [ROMTOOL, *args]
        asan = os.environ.get("ASAN_OPTIONS", "")
        if "verify_asan_link_order" not in asan:  # the library goes ahead of the runtime
            asan = (asan + ":" if asan else "") + "verify_asan_link_order=0"
        return ["env", *env, "ASAN_OPTIONS=" + asan, *VALGRIND, ROMTOOL, *args]

    def start(self, board, args, stdout, ignore_signals, closed):  # the pid: romtool's (or qemu's)
        # Every signal at its default (Popen restores the ones Python ignores), but these.
        ignored = [signal.Signals["SIG" + name] for name in ignore_signals]

        def child():
            for number in ignored:
                signal.signal(number, signal.SIG_IGN)
            for fd in closed:
                os.close(fd)
        return subprocess.Popen(self.command(board, args), cwd=board.work, stdout=stdout,
                                stderr=subprocess.PIPE, preexec_fn=child)


class kernel_board_t:  # a PowerPC guest, booted at first use, powered off at exit
    def __init__(self, image):
        sys.path.insert(0, os.path.join(os.path.dirname(VBOARD), "..", "kernel_board"))
        import kboard  # pylint: disable=import-error,import-outside-toplevel
        self._kboard, self._image, self._guest = kboard, image, None

    def start(self, board, args, stdout, ignore_signals, closed):  # stdout: always a pipe
        if self._guest is None:
            self._guest = self._kboard.guest_t(self._image)
            atexit.register(self._guest.close)
        ignored = [signal.Signals["SIG" + name] for name in ignore_signals]
        return self._guest.start(board.dir, board.work, [self._kboard.GUEST_ROMTOOL, *args],
                                 limit=TIMEOUT, ignored=ignored, closed=closed)


# No board at all: the board tests skip themselves.
if os.environ.get("ROMTOOL_BOARD", "preload") == "kernel":
    BOARD = kernel_board_t(os.environ.get("KBOARD_IMAGE", ""))
else:
    BOARD = preload_board_t() if PRELOAD else None
KERNEL = isinstance(BOARD, kernel_board_t)


def preload_board_only(reason):  # host descriptors or files must be romtool's own
    return unittest.skipIf(KERNEL, "not on the kernel board: " + reason)


class board_t:  # a fresh default board in a temporary folder, beside romtool's work folder
    def __init__(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="romtool-e2e-")
        self.dir = os.path.join(self._tmp.name, "board")
        self.work = os.path.join(self._tmp.name, "work")
        os.mkdir(self.work)
        self.vboard("create")
        self.vboard("log", "on")  # what the board saw is every test's to read
        self.remove_locks()

    def run(self, *args, timeout=TIMEOUT):
        process = self.start(*args)
        try:
            out, err = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(TIMEOUT)
            raise
        return result_t(process.returncode, out, err)

    def vboard(self, command, *args):  # vboard COMMAND DIR ARGS: its stdout
        return subprocess.run([sys.executable, VBOARD, command, self.dir, *args],
                              capture_output=True, check=True).stdout

    def command(self, *args):  # for cases that start romtool on the preload board themselves
        return preload_board_t().command(self, args)

    def shell(self, script):  # sh -c script in the work folder, $R the preload board's romtool
        env = dict(os.environ, R=" ".join(self.command()))  # no blanks in its words
        return _run(["sh", "-c", script], cwd=self.work, env=env)

    def start(self, *args, stdout=subprocess.PIPE, ignore_signals=(), closed=()):  # not waited for
        # closed: standard descriptors romtool starts without, as a shell's >&- starts it
        return BOARD.start(self, args, stdout, ignore_signals, closed)

    def image_path(self, device):  # of "bios0", "flash_bios0" or "nvram0"
        node = device if device.startswith(("flash_", "nvram")) else "flash_" + device
        return os.path.join(self.dir, node + ".img")

    def image(self, device):
        return self.read(self.image_path(device))

    def read(self, name):  # a file in the work folder, or at an absolute path
        with open(os.path.join(self.work, name), "rb") as f:
            return f.read()

    def add_flash(self, name, data, **info):  # /dev/zelk/flash_NAME holding data
        info = {"manufacturer_id": 1, "device_id": 2, "size_kbits": len(data) * 8 // 1024,
                "part_name": "TEST", **info}
        with open(os.path.join(self.dir, "flash_%s.info" % name), "w") as f:
            f.write("type=flash\n" + "".join("%s=%s\n" % field for field in info.items()))
        self.put(self.image_path(name), data)
        self.remove_locks()

    def env_entries(self, node):  # the entries of a store's image, up to the empty one
        entries = self.image(node)[4:].split(b"\0")
        return entries[:entries.index(b"")] if b"" in entries else []

    def put_env(self, node, entries):  # the store's image holding these entries
        size = len(self.image(node))
        body = b"".join(entry + b"\0" for entry in entries) + b"\0"
        body += b"\xff" * (size - 4 - len(body))
        self.put(self.image_path(node), struct.pack(">I", zlib.crc32(body)) + body)

    def put(self, name, data):  # a file in the work folder, or at an absolute path
        with open(os.path.join(self.work, name), "wb") as f:
            f.write(data)
        return name

    def clear_log(self):
        open(os.path.join(self.dir, "requests.log"), "wb").close()

    def wait_for(self, ready):  # polls ready() until it holds or TIMEOUT passes: its last answer
        deadline = time.monotonic() + TIMEOUT
        while not (held := ready()) and time.monotonic() < deadline:
            time.sleep(0.01)
        return held

    def requests(self, *keys):
        # The request log: a dict of the fields per line, text values quoted, result an
        # int; with keys, a tuple of those fields in which a successful open's result is "fd".
        with open(os.path.join(self.dir, "requests.log"), "rb") as f:
            lines = f.read().decode(errors="replace").split("\n")[:-1]  # the last: unfinished
        out = []
        for line in lines:
            fields = dict(re.findall(r'(\w+)(?:=("(?:[^"\\]|\\.)*"|\S*))?', line))
            fields["result"] = int(fields["result"])
            if keys and fields["op"] == "open" and fields["result"] >= 0:
                fields["result"] = "fd"
            out.append(tuple(fields.get(key) for key in keys) if keys else fields)
        return out

    def lock_file(self, device):  # of a node served from a file: after its identity
        st = os.stat(self.image_path(device))
        return "/run/lock/romtool-%d:%d-%d.lock" % (os.major(st.st_dev), os.minor(st.st_dev),
                                                   st.st_ino)

    def remove_locks(self):  # at the nodes' inodes: left by a killed run, or piling up after
        for entry in os.listdir(self.dir):
            path = self.lock_file(entry[:-4]) if entry.endswith(".img") else None
            if path and os.path.isdir(path) and not os.path.islink(path):
                os.rmdir(path)
            elif path and os.path.lexists(path):
                os.unlink(path)

    def close(self):
        self.remove_locks()
        self._tmp.cleanup()


class romtool_test_case(unittest.TestCase):
    def check_stderr(self, result, args=()):  # and a -json run's object
        stderr = json_result(args, result)[1] if "-json" in args else result.stderr
        self.assertEqual(stderr, b"", "romtool wrote to stderr")
        return result

    def run_direct(self, *args, cwd=None):  # off the board: no device nodes exist
        return self.check_stderr(_run(RUNNER + VALGRIND + [ROMTOOL, *args], cwd=cwd), args)


class board_test_case(romtool_test_case):  # each test gets a fresh board as self.board
    def setUp(self):
        if BOARD is None:
            self.skipTest("no virtual board in this build")
        self.board = board_t()
        self.addCleanup(self.board.close)

    def romtool(self, *args, board=None, timeout=TIMEOUT):  # on self.board or the given one
        return self.check_stderr((board or self.board).run(*args, timeout=timeout), args)

    def fresh_board(self):  # one more, for comparing runs that change the board
        board = board_t()
        self.addCleanup(board.close)
        return board
