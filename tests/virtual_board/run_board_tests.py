#!/usr/bin/env python3
"""Runs the board's test program on a fresh default board.

The program runs through `vboard run`, so under the emulator for the board
build; every test in it copies this board and works on the copy.
"""

import argparse
import subprocess
import sys
import tempfile


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vboard", required=True)
    parser.add_argument("--preload", required=True)
    parser.add_argument("--runner", default="")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="vboard-template-") as tmp:
        board = tmp + "/board"
        subprocess.run([sys.executable, args.vboard, "create", board], check=True)
        command = [sys.executable, args.vboard, "run", "--preload", args.preload]
        if args.runner.strip():
            command += ["--runner", args.runner]
        command += [board, "--"] + args.program
        return subprocess.run(command, check=False).returncode


if __name__ == "__main__":
    sys.exit(main())
