# SPDX-License-Identifier: MIT
"""The driver module against the preload board: zelk_probe's transcript, the device images
it leaves and the request log must be the same on both; and a module broken on purpose (a write that runs
past the end, a record one field short, a write that does not advance) must be caught, by the
probe and by the e2e cases that depend on it.

Environment (set by kernel_board/CMakeLists.txt): KBOARD_IMAGE, ROMTOOL (the PowerPC build),
VBOARD, VBOARD_PRELOAD (the PowerPC preload library), E2E_DIR."""

import os
import re
import shlex
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import kboard  # noqa: E402  pylint: disable=wrong-import-position

IMAGE = os.environ.get("KBOARD_IMAGE", "")
ROMTOOL = os.environ.get("ROMTOOL", "")
VBOARD = os.environ.get("VBOARD", "")
PRELOAD = os.environ.get("VBOARD_PRELOAD", "")
E2E_DIR = os.environ.get("E2E_DIR", "")
RUNNER = "qemu-ppc -L " + kboard.SYSROOT
NODES = ["flash_bios0", "flash_bios1", "flash_env0", "nvram0"]

# Module variants: the flag, then the e2e cases (file, case) that must fail with it.
BROKEN = [
    ("ZB_BREAK_BOUND", []),  # romtool never writes across a device's end: the probe alone
    ("ZB_BREAK_RECORD", [("test_flash_device.py",
                          "test_device_commands.test_info_reads_the_record_in_native_order_and_signed")]),
    ("ZB_BREAK_ADVANCE", [("test_flash_program.py", "test_programming.test_plain_image")]),
]


def fresh_board(root, name):
    board = os.path.join(root, name)
    subprocess.run([sys.executable, VBOARD, "create", board], check=True)
    subprocess.run([sys.executable, VBOARD, "log", board, "on"], check=True)
    return board


def requests(board):
    """The request log, with what may differ between the boards made equal: process and
    thread ids, descriptor numbers (qemu-user holds descriptors of its own). The kernel
    refuses some calls before any driver sees them, so only the preload board logs them: an
    open of a node the board does not have, a read or write the access mode forbids."""
    with open(os.path.join(board, "requests.log")) as f:
        lines = f.read().splitlines()
    out = []
    for line in lines:
        node = re.search(r" node=(\S+) ", line).group(1)
        if not os.path.exists(os.path.join(board, node + ".info")):
            continue
        line = re.sub(r"^pid=\d+ tid=\d+ ", "", line)
        if " op=open " in line:
            line = re.sub(r"result=\d+$", "result=fd", line)
        if re.search(r" op=(read|write) .*errno=9$", line):
            continue
        out.append(line)
    return out


def images(board):
    out = {}
    for node in NODES:
        with open(os.path.join(board, node + ".img"), "rb") as f:
            out[node] = f.read()
    return out


def probe_on_preload(root):
    board = fresh_board(root, "preload")
    done = subprocess.run([sys.executable, VBOARD, "run", "--preload", PRELOAD, "--runner",
                           RUNNER, board, "--", os.path.join(IMAGE, "zelk_probe")],
                          capture_output=True, check=False)
    return done.returncode, done.stdout, done.stderr, images(board), requests(board)


def probe_on_kernel(image, root, name):
    board = fresh_board(root, name)
    work = os.path.join(root, name + "-work")
    os.mkdir(work)
    guest = kboard.guest_t(image)
    try:
        process = guest.start(board, work, [kboard.GUEST_PROBE])
        out, err = process.communicate(timeout=120)
    finally:
        guest.close()
    return process.returncode, out, err, images(board), requests(board)


def first_difference(a, b):
    for line_a, line_b in zip(a.split(b"\n"), b.split(b"\n")):
        if line_a != line_b:
            return "%r / %r" % (line_a, line_b)
    return "lengths differ"


@unittest.skipUnless(IMAGE and PRELOAD, "needs the kernel board image and the preload library")
class test_driver(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="kboard-test-")
        cls.root = cls._tmp.name
        cls.reference = probe_on_preload(cls.root)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def test_module_and_preload_board_agree(self):
        status, out, err, devices, log = probe_on_kernel(IMAGE, self.root, "kernel")
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(self.reference[:3], (0, out, b""), first_difference(self.reference[1], out))
        for node in NODES:
            self.assertEqual(devices[node], self.reference[3][node], node)
        self.assertGreater(len(log), 100)
        self.assertEqual(log, self.reference[4])

    def test_power_cuts_and_timing_agree(self):
        # romtool on both boards under the same setting: status, output, images, fault
        # counters and request log the same.
        rows = [
            (["fault", "add", "bios0", "write", "nth=20", "powercut", "partial=4"],
             ["-dev", "bios0", "-p", "img.bin"]),
            (["fault", "add", "env0", "ioctl", "code=0x812cc002", "powercut", "partial=10"],
             ["-set", "foo", "bar"]),
            (["fault", "add", "bios0", "ioctl", "code=0x2000c001", "powercut", "partial=100"],
             ["-dev", "bios0", "-e"]),
            (["timing", "--program-ns-per-byte", "20000"], ["-dev", "bios0", "-p", "img.bin"]),
        ]
        guest = kboard.guest_t(IMAGE)
        self.addCleanup(guest.close)
        for number, (setting, args) in enumerate(rows):
            with self.subTest(setting=setting):
                runs = []
                for side in ("preload", "kernel"):
                    board = fresh_board(self.root, "%s%d" % (side, number))
                    work = board + "-work"
                    os.mkdir(work)
                    with open(os.path.join(work, "img.bin"), "wb") as f:
                        f.write(bytes(range(256)) * 2)
                    words = ([setting[0], *setting[1:], board] if setting[0] == "timing"
                             else [setting[0], board, *setting[1:]])
                    subprocess.run([sys.executable, VBOARD, *words], check=True,
                                   stdout=subprocess.DEVNULL)
                    if side == "preload":
                        done = subprocess.run(
                            [sys.executable, VBOARD, "run", "--preload", PRELOAD, "--runner",
                             RUNNER, board, "--", ROMTOOL, *args],
                            cwd=work, capture_output=True, check=False)
                        result = (done.returncode, done.stdout, done.stderr)
                    else:
                        process = guest.start(board, work, [kboard.GUEST_ROMTOOL, *args])
                        out, err = process.communicate(timeout=120)
                        result = (process.returncode, out, err)
                    with open(os.path.join(board, "faults.txt")) as f:
                        runs.append((result, images(board), f.read(), requests(board)))
                self.assertEqual(runs[0], runs[1])

    def test_broken_modules_are_caught(self):
        for flag, cases in BROKEN:
            with self.subTest(flag=flag):
                image = os.path.join(self.root, flag)
                os.makedirs(image)
                with open(os.path.join(IMAGE, "kernel")) as f:
                    kernel = f.read().strip()
                kboard.build(ROMTOOL, image, "-D" + flag, kernel=kernel)
                status, out, _, devices, _ = probe_on_kernel(image, self.root, flag.lower())
                self.assertNotEqual((status, out, devices), (0,) + self.reference[1:2]
                                    + self.reference[3:], "the probe missed " + flag)
                for script, case in cases:
                    env = dict(os.environ, ROMTOOL_BOARD="kernel", KBOARD_IMAGE=image)
                    done = subprocess.run([sys.executable, os.path.join(E2E_DIR, script), case],
                                          env=env, capture_output=True, check=False)
                    self.assertNotEqual(done.returncode, 0, "%s missed %s" % (case, flag))
                    self.assertIn(b"FAILED", done.stderr, shlex.join([script, case]))


if __name__ == "__main__":
    unittest.main()
