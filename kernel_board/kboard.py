#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""kboard: the kernel board, a PowerPC Linux guest under qemu-system-ppc whose flash driver
is our module (kernel_board/module), with the PowerPC romtool inside.

    kboard.py build --romtool PPC_ROMTOOL --out DIR     kernel (cached), module, /init, initramfs
    kboard.py run --image DIR BOARD_DIR [--work DIR] -- /usr/bin/romtool ARGS...

A board folder (as `vboard create` makes it) is the guest's state: before each program the
driver takes the board (what changed of it) and the guest's work folder takes the host's;
after it, what the program changed comes back (device images, fault counters, files in the
work folder), and request log lines are appended to the board's requests.log while it runs.
The jobs live beside this script: kboard_build.py, kboard_guest.py, kboard_protocol.py.
"""

import argparse
import os
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
# pylint: disable=wrong-import-position,unused-import
from kboard_build import GUEST_ROMTOOL, SYSROOT, build  # noqa: E402,F401
from kboard_guest import guest_t, process_t  # noqa: E402,F401


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    b = sub.add_parser("build", help="kernel, module, /init and initramfs")
    b.add_argument("--romtool", required=True, help="the PowerPC romtool")
    b.add_argument("--out", required=True)
    b.add_argument("--cflags", default="", help="extra compiler flags for the module")
    r = sub.add_parser("run", help="boot, run one program on a board folder, power off")
    r.add_argument("--image", required=True, help="the folder `build` filled")
    r.add_argument("--work", help="the program's folder (default: the current one)")
    r.add_argument("board")
    r.add_argument("argv", nargs="+")
    args = parser.parse_args()
    if args.command == "build":
        times = build(args.romtool, args.out, args.cflags)
        sys.stderr.write("kboard: built in %s\n"
                         % ", ".join("%s %.1f s" % kv for kv in times.items()))
        return 0
    guest = guest_t(args.image)
    try:
        process = guest.start(os.path.abspath(args.board), os.path.abspath(args.work or "."),
                              args.argv)
        out, err = process.communicate()
        sys.stdout.buffer.write(out)
        sys.stderr.buffer.write(err)
        return process.returncode if process.returncode >= 0 else 128 - process.returncode
    finally:
        guest.close()


if __name__ == "__main__":
    sys.exit(main())
