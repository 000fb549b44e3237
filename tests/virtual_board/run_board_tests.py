#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# run_board_tests.py --vboard FRONT_END --preload SO [--runner 'PREFIX'] PROGRAM [ARGS...]
# Runs PROGRAM through `vboard run` on a fresh default board (under the emulator for the
# board build); the program copies that board for each test.
import argparse
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser()
for option in ("--vboard", "--preload", "--runner"):
    parser.add_argument(option, required=option != "--runner", default="")
parser.add_argument("program", nargs=argparse.REMAINDER)
args = parser.parse_args()
with tempfile.TemporaryDirectory(prefix="vboard-template-") as tmp:
    vboard = [sys.executable, args.vboard]
    subprocess.run(vboard + ["create", tmp + "/board"], check=True)
    runner = ["--runner", args.runner] if args.runner.strip() else []
    command = vboard + ["run", "--preload", args.preload] + runner + [tmp + "/board", "--"]
    sys.exit(subprocess.run(command + args.program).returncode)
