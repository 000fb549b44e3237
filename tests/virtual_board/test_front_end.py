#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# The vboard front end's commands the end-to-end tests do not use, and the library's symbols.

import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import unittest
import zlib

VBOARD, PRELOAD = os.environ["VBOARD"], os.environ["VBOARD_PRELOAD"]  # set by ctest


def vboard(*args, check=True):
    done = subprocess.run([sys.executable, VBOARD, *args], capture_output=True)
    if check and done.returncode != 0:
        raise AssertionError("vboard %s: %s" % (" ".join(args), done.stderr.decode()))
    return done


class front_end(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="vboard-front-")
        self.addCleanup(tmp.cleanup)
        self.tmp, self.dir = tmp.name, os.path.join(tmp.name, "board")
        vboard("create", self.dir)

    def cmd(self, command, *args):
        return vboard(command, self.dir, *args).stdout.decode()

    def refused(self, *args, why=b""):  # one line, no traceback, no usage text
        done = vboard(*args, check=False)
        self.assertEqual((done.returncode, done.stderr[:8], done.stderr.count(b"\n")),
                         (1, b"vboard: ", 1), args)
        self.assertIn(why, done.stderr, args)

    def test_env_import_export_hexdump_and_error_text(self):
        self.cmd("env", "set", "ipaddr", "10.0.0.2")
        # a big-endian CRC-32 of the rest of the device
        data = pathlib.Path(self.dir, "flash_env0.img").read_bytes()
        self.assertEqual(int.from_bytes(data[:4], "big"), zlib.crc32(data[4:]))
        source, out = pathlib.Path(self.tmp, "in.bin"), pathlib.Path(self.tmp, "out.bin")
        for data in (b"\0" * 8192, bytes(range(256)) * 16):  # the second erases the rest
            source.write_bytes(data)
            self.cmd("import", "bios0", str(source))
        self.cmd("export", "flash_bios0", str(out))
        self.assertEqual(out.read_bytes(), bytes(range(256)) * 16 + b"\xff" * 520192)
        self.assertEqual(self.cmd("hexdump", "--offset", "0x4c", "--length", "6", "bios0"),
                         "0000004c  4c 4d 4e 4f 50 51" + " " * 32 + "|LMNOPQ|\n")
        source.write_bytes(b"\0" * ((512 << 10) + 1))
        self.refused("import", self.dir, "bios0", str(source))
        self.cmd("error-text", "0x90", "new code")
        self.assertIn(b"\n144 new code\n", pathlib.Path(self.dir, "errors.txt").read_bytes())

    def test_fault_rules(self):
        self.assertEqual(self.cmd("fault", "add", "bios0", "read", "nth=2", "errno=5"), "1\n")
        for shorthand in (["noperm", "booter"], ["error-text", "*", "errno=130"], ["clear", "2"],
                          ["add", "env1", "erase", "from=1", "silent", "partial=0"]):
            self.cmd("fault", *shorthand)
        self.assertEqual(self.cmd("fault", "list"), "id=1 node=flash_bios0 op=read nth=2 errno=5"
                         " hits=0\nid=3 node=* op=ioctl code=0xc0ccd00a errno=130 hits=0\nid=4 "
                         "node=flash_env1 op=ioctl code=0x2000c001 from=1 silent partial=0 hits=0\n")
        self.refused("fault", self.dir, "clear", "2", why=b"no fault rule 2")
        for bad in (["read"], ["munch", "errno=5"], ["read", "errno=5", "short=3"],
                    ["read", "prob=2", "seed=1", "errno=5"], ["read", "colour=red", "errno=5"],
                    ["write", "short=3"], ["read", "nth=1", "from=2", "errno=5"],
                    ["read", "nth=1", "prob=0.5", "seed=1", "errno=5"],
                    ["read", "prob=0.5", "errno=5"], ["read", "seed=1", "errno=5"],
                    ["read", "prob=0.1_5", "seed=1", "errno=5"], ["read", "nth=0", "errno=5"],
                    ["read", "errno=4096"], ["read", "errno=5", "errno=6"],
                    ["write", "errno=5", "partial=1"], ["read", "powercut", "partial=1"],
                    ["read", "silent"], ["ioctl", "silent"], ["erase", "silent", "errno=5"],
                    ["write", "silent", "powercut"], ["erase", "code=0x2000c001", "silent"],
                    ["read", "code=1", "errno=5"], ["write", "silent", "partial=-1"],
                    ["write", "silent=1"]):
            self.refused("fault", self.dir, "add", "bios0", *bad)
        self.refused("fault", self.dir, "add", "bios9", "read", "errno=5", why=b"no node")
        for suffix in (".info", ".img"):  # a board's own node, named longer than a rule holds
            pathlib.Path(self.dir, "flash_" + "n" * 58 + suffix).write_text("type=flash\n")
        self.refused("fault", self.dir, "add", "n" * 58, "read", "errno=5", why=b"at most 63 bytes")

    def test_bad_command_lines_and_closed_pipes(self):
        for bad in (["env", self.dir, "get"], ["env", self.dir, "list", "x"], ["bogus"], [],
                    ["list"], ["list", self.dir, "extra"], ["timing", "--erase-ms", "-5", self.dir],
                    ["hexdump", "--offset", "x", self.dir, "bios0"], ["fault", self.dir, "list", "x"],
                    ["error-text", self.dir, "127", "low"], ["export", self.dir, "bios0", self.tmp]):
            self.refused(*bad)
        for args in (["list", self.dir], ["hexdump", "--length", "0x80000", self.dir, "bios0"]):
            reader = subprocess.Popen([sys.executable, VBOARD, *args], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE)
            reader.stdout.close()  # as `| head` goes: the signal, no traceback
            self.assertEqual((reader.wait(), reader.stderr.read()), (-signal.SIGPIPE, b""))

    def test_run_hands_the_settings_to_the_program_under_a_runner(self):
        echoed = vboard("run", "--preload", PRELOAD, "--runner", "echo qemu-ppc -L /x", self.dir,
                        "--", "romtool", "-i").stdout.decode().split()
        self.assertEqual(echoed, ["qemu-ppc", "-L", "/x", "-E", "LD_PRELOAD=" + os.path.abspath(
            PRELOAD), "-E", "VBOARD_DIR=" + os.path.abspath(self.dir), "romtool", "-i"])
        self.refused("run", "--preload", PRELOAD, os.path.join(self.tmp, "none"), "--", "true")
        self.refused("run", "--preload", PRELOAD, self.dir, "--", "no-such-romtool",
                     why=b"cannot run no-such-romtool: no such program on PATH")


class library(unittest.TestCase):
    WRAPPED = set("open open64 __open_2 __open64_2 openat openat64 __openat_2 __openat64_2 creat "
                  "creat64 read __read_chk pread pread64 __pread_chk __pread64_chk readv write "
                  "pwrite pwrite64 writev lseek lseek64 ioctl __ioctl_time64 close close_range "
                  "fcntl fcntl64 __fcntl_time64 fsync fdatasync dup dup2 dup3 mmap mmap64 "
                  "statx".split())

    def readelf(self, option):
        out = subprocess.run(["readelf", option, "-W", PRELOAD], capture_output=True, check=True)
        return [l.split() for l in out.stdout.decode().splitlines()]

    def test_exports_only_the_wrappers_and_calls_none_by_name(self):
        exported = {f[7].split("@")[0] for f in self.readelf("--dyn-syms")
                    if len(f) >= 8 and f[6] != "UND" and f[4] == "GLOBAL" and f[3] == "FUNC"}
        self.assertEqual(exported, self.WRAPPED)
        # a call by name inside the library would need a relocation against the name
        named = {f[4].split("@")[0] for f in self.readelf("-r") if len(f) >= 5}
        self.assertEqual(named & self.WRAPPED, set())


if __name__ == "__main__":
    unittest.main(verbosity=2)
