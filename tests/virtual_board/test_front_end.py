#!/usr/bin/env python3
"""The vboard front end, and ordinary host programs (dd, sh) run on a board.

Needs VBOARD (the front end) and VBOARD_PRELOAD (the host build of the library).
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

VBOARD = os.environ.get("VBOARD", "")
PRELOAD = os.environ.get("VBOARD_PRELOAD", "")
if not VBOARD or not PRELOAD:
    sys.exit("VBOARD and VBOARD_PRELOAD must be set: run through ctest")


def vboard(*args, check=True):
    done = subprocess.run([sys.executable, VBOARD, *args], capture_output=True, check=False)
    if check and done.returncode != 0:
        raise AssertionError("vboard %s: %s" % (" ".join(args), done.stderr.decode()))
    return done


class front_end(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="vboard-front-")
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        self.dir = os.path.join(self.tmp, "board")
        vboard("create", self.dir)

    def image(self, node):
        with open(os.path.join(self.dir, node + ".img"), "rb") as f:
            return f.read()

    def on_board(self, *command, stdin=None):
        return subprocess.run([sys.executable, VBOARD, "run", "--preload", PRELOAD, self.dir,
                               "--", *command], input=stdin, capture_output=True, check=False)

    def dd(self, *operands, stdin=None):
        return self.on_board("dd", "status=none", *operands, stdin=stdin)

    def log_lines(self):
        return vboard("log", self.dir, "show").stdout.decode().splitlines()

    def test_create_makes_the_default_board(self):
        sizes = {"flash_fpga0": 1 << 20, "flash_fpga1": 1 << 20, "flash_bios0": 512 << 10,
                 "flash_bios1": 512 << 10, "flash_booter": 256 << 10, "flash_env0": 64 << 10,
                 "flash_env1": 64 << 10, "nvram0": 8 << 10}
        for node, size in sizes.items():
            data = self.image(node)
            self.assertEqual(len(data), size, node)
            if node not in ("flash_env0", "nvram0"):
                self.assertEqual(data, b"\xff" * size, node)
        listed = vboard("list", self.dir).stdout.decode().splitlines()
        self.assertEqual([l.split()[0] for l in listed], sorted(sizes))
        env = vboard("env", self.dir).stdout.decode().splitlines()
        self.assertIn("serverip=192.168.1.1", env)
        # the stored image carries a big-endian CRC-32 of the rest of the device
        data = self.image("flash_env0")
        self.assertEqual(struct.unpack(">I", data[:4])[0], zlib.crc32(data[4:]))
        self.assertEqual(vboard("env", "--store", "nvram", self.dir).stdout, b"")

    def test_export_import_and_hexdump(self):
        data = bytes(range(256)) * 3
        source = os.path.join(self.tmp, "in.bin")
        with open(source, "wb") as f:
            f.write(data)
        vboard("import", self.dir, "bios0", source)
        self.assertEqual(self.image("flash_bios0"), data + b"\xff" * ((512 << 10) - len(data)))
        out = os.path.join(self.tmp, "out.bin")
        vboard("export", self.dir, "flash_bios0", out)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), self.image("flash_bios0"))
        dump = vboard("hexdump", self.dir, "bios0", "--offset", "0x40", "--length", "20")
        self.assertEqual(dump.stdout.decode(), (
            "00000040  40 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f  |@ABCDEFGHIJKLMNO|\n"
            "00000050  50 51 52 53                                      |PQRS|\n"))
        with open(source, "wb") as f:
            f.write(b"\0" * ((512 << 10) + 1))
        refused = vboard("import", self.dir, "bios0", source, check=False)
        self.assertEqual(refused.returncode, 1)
        self.assertTrue(refused.stderr.startswith(b"vboard: "))
        refused = vboard("hexdump", self.dir, "nosuch", check=False)
        self.assertEqual(refused.returncode, 1)

    def test_dd_reads_and_programs_through_the_board(self):
        data = os.urandom(4096)
        source = os.path.join(self.tmp, "in.bin")
        with open(source, "wb") as f:
            f.write(data)
        vboard("import", self.dir, "fpga0", source)
        done = self.dd("if=/dev/zelk/flash_fpga0", "bs=32", "count=128")
        self.assertEqual((done.returncode, done.stdout), (0, data))
        # programming ANDs into what is there; 16 bytes per write at most
        done = self.dd("of=/dev/zelk/flash_fpga0", "bs=16", "count=2", stdin=b"\x0f" * 32)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.image("flash_fpga0")[:32], bytes(b & 0x0F for b in data[:32]))
        done = self.dd("of=/dev/zelk/flash_fpga0", "bs=32", "count=1", stdin=b"\0" * 32)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn(b"Invalid argument", done.stderr)

    def test_faults_from_the_command_line(self):
        self.assertEqual(vboard("fault", self.dir, "add", "bios0", "read", "nth=2",
                                "errno=5").stdout, b"1\n")
        vboard("fault", self.dir, "missing", "bios1")
        vboard("fault", self.dir, "noperm", "booter")
        vboard("fault", self.dir, "error-text", "*", "errno=130")
        vboard("fault", self.dir, "add", "*", "write", "prob=0.5", "seed=7", "errno=131")
        self.assertEqual(vboard("fault", self.dir, "list").stdout.decode().splitlines(), [
            "id=1 node=flash_bios0 op=read nth=2 errno=5 hits=0",
            "id=2 node=flash_bios1 op=open errno=2 hits=0",
            "id=3 node=flash_booter op=open errno=13 hits=0",
            "id=4 node=* op=ioctl code=0xc0ccd00a errno=130 hits=0",
            "id=5 node=* op=write prob=0.5 seed=7 errno=131 hits=0",
        ])
        done = self.dd("if=/dev/zelk/flash_bios0", "bs=16", "count=4")
        self.assertIn(b"Input/output error", done.stderr)
        self.assertEqual(len(done.stdout), 16)
        self.assertIn(b"No such file", self.dd("if=/dev/zelk/flash_bios1").stderr)
        self.assertIn(b"Permission denied", self.dd("if=/dev/zelk/flash_booter").stderr)
        self.assertIn("id=1 node=flash_bios0 op=read nth=2 errno=5 hits=2",
                      vboard("fault", self.dir, "list").stdout.decode())
        vboard("fault", self.dir, "clear", "2", "3")
        self.assertEqual(self.dd("if=/dev/zelk/flash_bios1", "count=1").returncode, 0)
        vboard("fault", self.dir, "clear")
        self.assertEqual(vboard("fault", self.dir, "list").stdout, b"")
        for bad in (["add", "bios0", "read"],                    # no action
                    ["add", "bios0", "munch", "errno=5"],        # no such operation
                    ["add", "bios0", "read", "errno=5", "short=3"],
                    ["add", "bios0", "read", "prob=2", "errno=5"],
                    ["add", "bios0", "read", "colour=red", "errno=5"]):
            refused = vboard("fault", self.dir, *bad, check=False)
            self.assertEqual(refused.returncode, 1, bad)
            self.assertTrue(refused.stderr.startswith(b"vboard: "), bad)

    def test_error_texts_and_environment_edits(self):
        vboard("error-text", self.dir, "130", "erase took too long")
        vboard("error-text", self.dir, "0x90", "new code")
        with open(os.path.join(self.dir, "errors.txt")) as f:
            lines = f.read().splitlines()
        self.assertIn("130 erase took too long", lines)
        self.assertIn("144 new code", lines)
        self.assertEqual(sum(l.startswith("130 ") for l in lines), 1)
        vboard("env", self.dir, "set", "ipaddr", "10.0.0.2")
        vboard("env", self.dir, "set", "stdin", "serial")
        self.assertEqual(vboard("env", self.dir, "get", "ipaddr").stdout, b"10.0.0.2\n")
        env = vboard("env", self.dir).stdout.decode().splitlines()
        self.assertEqual(env[1], "ipaddr=10.0.0.2")
        self.assertEqual(env[-1], "stdin=serial")
        self.assertEqual(vboard("env", self.dir, "get", "nosuch", check=False).returncode, 1)
        vboard("env", self.dir, "clear")
        self.assertEqual(vboard("env", self.dir).stdout, b"")
        data = self.image("flash_env0")
        self.assertEqual(data[4:6], b"\0\xff")
        self.assertEqual(struct.unpack(">I", data[:4])[0], zlib.crc32(data[4:]))

    def test_log_on_show_clear(self):
        self.dd("if=/dev/zelk/flash_booter", "bs=32", "count=2")
        self.assertEqual(self.log_lines(), [])
        vboard("log", self.dir, "on")
        self.dd("if=/dev/zelk/flash_booter", "bs=32", "count=2")
        ops = [re.sub(r"^pid=\d+ tid=\d+ ", "", l) for l in self.log_lines()]
        self.assertIn("node=flash_booter op=read off=0 len=32 result=32", ops)
        self.assertIn("node=flash_booter op=read off=32 len=32 result=32", ops)
        self.assertEqual(ops[0].split(" result=")[0], "node=flash_booter op=open flags=O_RDONLY")
        vboard("log", self.dir, "clear")
        self.assertEqual(self.log_lines(), [])
        vboard("log", self.dir, "off")
        self.dd("if=/dev/zelk/flash_booter", "bs=32", "count=2")
        self.assertEqual(self.log_lines(), [])

    def test_run_execs_the_program(self):
        process = subprocess.Popen([sys.executable, VBOARD, "run", "--preload", PRELOAD,
                                    self.dir, "--", "sh", "-c", "echo $$; echo oops >&2; exit 7"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = process.communicate()
        self.assertEqual(out.decode().strip(), str(process.pid))  # the same process
        self.assertEqual((err, process.returncode), (b"oops\n", 7))
        runner = self.on_board("sh", "-c", 'echo "$LD_PRELOAD $VBOARD_DIR"')
        self.assertEqual(runner.stdout.decode().split(),
                         [os.path.abspath(PRELOAD), os.path.abspath(self.dir)])
        # with a runner the settings go to the emulated program, not to the runner
        runner = subprocess.run([sys.executable, VBOARD, "run", "--preload", PRELOAD,
                                 "--runner", "echo qemu-ppc -L /x", self.dir, "--", "romtool",
                                 "-i"], capture_output=True, check=True)
        self.assertEqual(runner.stdout.decode().split(), [
            "qemu-ppc", "-L", "/x", "-E", "LD_PRELOAD=" + os.path.abspath(PRELOAD), "-E",
            "VBOARD_DIR=" + os.path.abspath(self.dir), "romtool", "-i"])
        missing = vboard("run", "--preload", PRELOAD, os.path.join(self.tmp, "none"), "--",
                         "true", check=False)
        self.assertEqual(missing.returncode, 1)
        self.assertTrue(missing.stderr.startswith(b"vboard: "))

    def test_timing_slows_programming_down(self):
        vboard("timing", "--program-ns-per-byte", "200000", self.dir)  # 3.2 ms per 16 bytes
        started = time.monotonic()
        done = self.dd("of=/dev/zelk/flash_bios0", "bs=16", "count=32", stdin=b"\0" * 512)
        self.assertEqual(done.returncode, 0)
        self.assertGreaterEqual(time.monotonic() - started, 0.1)
        vboard("timing", self.dir)
        with open(os.path.join(self.dir, "board.conf")) as f:
            self.assertIn("program_ns_per_byte=0\n", f.read())


class library(unittest.TestCase):
    WRAPPED = {"open", "open64", "__open_2", "__open64_2", "openat", "openat64", "__openat_2",
               "__openat64_2", "creat", "creat64", "read", "__read_chk", "pread", "pread64",
               "__pread_chk", "__pread64_chk", "readv", "write", "pwrite", "pwrite64", "writev",
               "lseek", "lseek64", "ioctl", "__ioctl_time64", "close", "close_range", "fcntl",
               "fcntl64", "__fcntl_time64", "fsync", "fdatasync", "dup", "dup2", "dup3", "mmap",
               "mmap64"}

    def test_exports_only_the_wrappers_and_calls_none_by_name(self):
        if not shutil.which("readelf"):
            self.skipTest("no readelf")
        symbols = subprocess.run(["readelf", "--dyn-syms", "-W", PRELOAD], capture_output=True,
                                 check=True).stdout.decode()
        exported = {f[7].split("@")[0] for f in (l.split() for l in symbols.splitlines())
                    if len(f) >= 8 and f[6] != "UND" and f[4] == "GLOBAL" and f[3] == "FUNC"}
        self.assertEqual(exported, self.WRAPPED)
        # a call by name inside the library would need a relocation against the name
        relocations = subprocess.run(["readelf", "-r", "-W", PRELOAD], capture_output=True,
                                     check=True).stdout.decode()
        named = {f[4].split("@")[0] for f in (l.split() for l in relocations.splitlines())
                 if len(f) >= 5}
        self.assertEqual(named & self.WRAPPED, set())


if __name__ == "__main__":
    unittest.main(verbosity=2)
