#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# The vboard front end, and ordinary host programs (dd, sh) run on a board.
# Needs VBOARD (the front end) and VBOARD_PRELOAD (the host build of the library).

import os
import pathlib
import re
import subprocess
import sys
import tempfile
import unittest
import zlib

VBOARD, PRELOAD = os.environ["VBOARD"], os.environ["VBOARD_PRELOAD"]  # set by ctest


def vboard(*args, check=True, **options):
    done = subprocess.run([sys.executable, VBOARD, *args], capture_output=True, **options)
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

    def refused(self, *args):
        done = vboard(*args, check=False)
        self.assertEqual((done.returncode, done.stderr[:8]), (1, b"vboard: "), args)

    def read(self, name):
        return pathlib.Path(self.dir, name).read_bytes()

    def dd(self, *operands):
        return vboard("run", "--preload", PRELOAD, self.dir, "--", "dd", "status=none",
                      *operands, check=False)

    def test_create_list_env_and_error_text(self):
        self.assertIn("nvram0          nvram      8192 bytes  env=nvram", self.cmd("list"))
        self.assertEqual(self.cmd("env", "--store", "nvram"), "")
        self.cmd("env", "set", "ipaddr", "10.0.0.2")
        self.cmd("env", "set", "stdin", "serial")
        self.assertEqual(self.cmd("env", "get", "ipaddr"), "10.0.0.2\n")
        self.assertEqual(self.cmd("env").splitlines()[1::4], ["ipaddr=10.0.0.2", "stdin=serial"])
        self.refused("env", self.dir, "get", "nosuch")
        data = self.read("flash_env0.img")  # a big-endian CRC-32 of the rest of the device
        self.assertEqual(int.from_bytes(data[:4], "big"), zlib.crc32(data[4:]))
        self.cmd("env", "clear")
        self.assertEqual((self.cmd("env"), self.read("flash_env0.img")[4:6]), ("", b"\0\xff"))
        self.cmd("error-text", "130", "erase took too long")
        self.cmd("error-text", "0x90", "new code")
        self.assertEqual(re.findall(r"(?m)^1[34][04] .*", self.read("errors.txt").decode()),
                         ["130 erase took too long", "144 new code"])

    def test_import_export_hexdump(self):
        source, out = pathlib.Path(self.tmp, "in.bin"), pathlib.Path(self.tmp, "out.bin")
        for data in (b"\0" * 8192, bytes(range(256)) * 16):  # the second erases the rest
            source.write_bytes(data)
            self.cmd("import", "bios0", str(source))
        self.assertEqual(self.read("flash_bios0.img"), bytes(range(256)) * 16 + b"\xff" * 520192)
        self.cmd("export", "flash_bios0", str(out))
        self.assertEqual(out.read_bytes(), self.read("flash_bios0.img"))
        self.assertEqual(self.cmd("hexdump", "--offset", "0x40", "--length", "20", "bios0"), (
            "00000040  40 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f  |@ABCDEFGHIJKLMNO|\n"
            "00000050  50 51 52 53                                      |PQRS|\n"))
        source.write_bytes(b"\0" * ((512 << 10) + 1))
        self.refused("import", self.dir, "bios0", str(source))
        self.refused("hexdump", self.dir, "nosuch")

    def test_faults_and_the_log(self):
        self.assertEqual(self.cmd("fault", "add", "bios0", "read", "nth=2", "errno=5"), "1\n")
        self.cmd("fault", "missing", "bios1")
        self.cmd("fault", "noperm", "booter")
        self.cmd("fault", "error-text", "*", "errno=130")
        self.cmd("fault", "add", "*", "write", "prob=0.5", "seed=7", "errno=131")
        self.cmd("fault", "add", "env0", "ioctl", "code=0x812cc002", "powercut", "partial=4")
        rules = ["id=1 node=flash_bios0 op=read nth=2 errno=5 hits=%d",
                 "id=2 node=flash_bios1 op=open errno=2 hits=0",
                 "id=3 node=flash_booter op=open errno=13 hits=0",
                 "id=4 node=* op=ioctl code=0xc0ccd00a errno=130 hits=0",
                 "id=5 node=* op=write prob=0.5 seed=7 errno=131 hits=0",
                 "id=6 node=flash_env0 op=ioctl code=0x812cc002 powercut partial=4 hits=0"]
        self.assertEqual(self.cmd("fault", "list"), "\n".join(rules) % 0 + "\n")
        self.cmd("log", "on")  # the library takes the rules as written
        self.assertIn(b"Input/output error", self.dd("if=/dev/zelk/flash_bios0", "bs=16").stderr)
        log = [re.sub(r"^pid=\d+ tid=\d+ ", "", l) for l in self.cmd("log", "show").splitlines()]
        self.assertIn("node=flash_bios0 op=read off=16 len=16 result=-1 errno=5 fault=1", log)
        self.cmd("log", "clear")
        self.cmd("log", "off")
        self.assertEqual(self.dd("if=/dev/zelk/flash_bios0", "count=1").returncode, 0)
        self.assertEqual(self.cmd("log", "show"), "")
        self.cmd("fault", "clear", "2", "3")
        self.assertEqual(self.cmd("fault", "list").splitlines(), [rules[0] % 3] + rules[3:])
        self.cmd("fault", "clear")
        self.assertEqual(self.cmd("fault", "list"), "")
        for bad in (["read"], ["munch", "errno=5"], ["read", "errno=5", "short=3"],
                    ["read", "prob=2", "errno=5"], ["read", "colour=red", "errno=5"]):
            self.refused("fault", self.dir, "add", "bios0", *bad)

    def test_run(self):
        # with a runner the settings go to the emulated program, not to the runner (the
        # plain form is what every end-to-end test runs on the host)
        echoed = vboard("run", "--preload", PRELOAD, "--runner", "echo qemu-ppc -L /x", self.dir,
                        "--", "romtool", "-i").stdout.decode().split()
        self.assertEqual(echoed, ["qemu-ppc", "-L", "/x", "-E",
                                  "LD_PRELOAD=" + os.path.abspath(PRELOAD), "-E",
                                  "VBOARD_DIR=" + os.path.abspath(self.dir), "romtool", "-i"])
        self.refused("run", "--preload", PRELOAD, os.path.join(self.tmp, "none"), "--", "true")


class library(unittest.TestCase):
    WRAPPED = {"open", "open64", "__open_2", "__open64_2", "openat", "openat64", "__openat_2",
               "__openat64_2", "creat", "creat64", "read", "__read_chk", "pread", "pread64",
               "__pread_chk", "__pread64_chk", "readv", "write", "pwrite", "pwrite64", "writev",
               "lseek", "lseek64", "ioctl", "__ioctl_time64", "close", "close_range", "fcntl",
               "fcntl64", "__fcntl_time64", "fsync", "fdatasync", "dup", "dup2", "dup3", "mmap",
               "mmap64", "statx"}

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
