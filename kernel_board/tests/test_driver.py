# SPDX-License-Identifier: MIT
"""The driver module's shell against the preload library's: both serve the board core
(board_core/), so zelk_probe's transcript, the device images it leaves and the request
log must be the same on both boards; a difference is a fault in one of the shells (the
misc devices and file_operations, or the preloaded entry points).

Environment (set by tests/e2e/CMakeLists.txt): KBOARD_IMAGE, VBOARD, VBOARD_PRELOAD (the
PowerPC preload library)."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import kboard  # noqa: E402  pylint: disable=wrong-import-position

IMAGE = os.environ.get("KBOARD_IMAGE", "")
VBOARD = os.environ.get("VBOARD", "")
PRELOAD = os.environ.get("VBOARD_PRELOAD", "")
RUNNER = "qemu-ppc -L " + kboard.SYSROOT
NODES = ["flash_bios0", "flash_bios1", "flash_env0", "nvram0"]


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


def probe_on_kernel(root):
    board = fresh_board(root, "kernel")
    work = os.path.join(root, "kernel-work")
    os.mkdir(work)
    guest = kboard.guest_t(IMAGE)
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
    def test_module_and_preload_library_serve_the_core_alike(self):
        with tempfile.TemporaryDirectory(prefix="kboard-test-") as root:
            status, out, err, devices, log = probe_on_preload(root)
            kernel = probe_on_kernel(root)
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(kernel[:3], (0, out, b""), first_difference(out, kernel[1]))
        for node in NODES:
            self.assertEqual(kernel[3][node], devices[node], node)
        self.assertGreater(len(log), 100)
        self.assertEqual(kernel[4], log)


if __name__ == "__main__":
    unittest.main()
