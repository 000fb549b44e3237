#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What the programming modifiers cost and save, with the board's timing set to
datasheet-like figures (a byte programs in 20 us, an erase takes 0.8 s):

    bench/program_modes_bench.py [--build DIR] [--runs N] [--program-ns-per-byte N] [--erase-ms N]

For a BIOS image (256 KiB) and an FPGA image (512 KiB) it times, side by side:
  erase+program   "-e", then the programming command, on a device holding other data
  -erase erased   "-erase" on an already erased device: no erase request, the programming
                  plus one read of the range
  -ifchanged      the same image already on the device: one read, nothing written
  -verify         programming with "-verify" against programming alone; the extra time is
                  compared with one read of the range ("-crc", which reads just that)
Ratios are printed; nothing is asserted on times. DIR as for flash_bench.py.
"""

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flash_bench  # noqa: E402  (build, vboard and measure are shared)

ROOT = flash_bench.ROOT


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench-release"))
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--program-ns-per-byte", type=int, default=20000)
    parser.add_argument("--erase-ms", type=int, default=800)
    args = parser.parse_args()
    romtool, preload = flash_bench.build(os.path.abspath(args.build))
    vboard = flash_bench.vboard

    with tempfile.TemporaryDirectory(prefix="modes-bench-") as tmp:
        board = os.path.join(tmp, "board")
        vboard("create", board)
        vboard("timing", "--program-ns-per-byte", str(args.program_ns_per_byte),
               "--erase-ms", str(args.erase_ms), board)
        env = dict(os.environ, LD_PRELOAD=preload, VBOARD_DIR=board)

        def path(name, size):
            file = os.path.join(tmp, name)
            with open(file, "wb") as f:
                f.write(os.urandom(size))
            return file

        other = path("other.bin", 1 << 20)
        images = [("BIOS 256 KiB", "bios0", ["-pbios", path("bios.bin", 256 << 10)], "bios"),
                  ("FPGA 512 KiB", "fpga0", ["-pfpga", path("fpga.bin", (512 << 10) - 4)], "fpga")]

        def load(dev, file):
            # Device := file's first bytes, the rest erased; os.devnull: all erased.
            size = os.path.getsize(os.path.join(board, "flash_%s.img" % dev))
            cut = os.path.join(tmp, "load.bin")
            with open(file, "rb") as f, open(cut, "wb") as out:
                out.write(f.read(size))
            return lambda: vboard("import", board, dev, cut)

        def timed(words, before):
            best = None
            for _ in range(args.runs):
                before()
                wall = flash_bench.measure([romtool, *words], env, tmp)[0]
                best = wall if best is None else min(best, wall)
            return best

        def logged(words, before):
            # (erase requests, bytes read) of one run, from the board's request log.
            before()
            vboard("log", board, "on")
            open(os.path.join(board, "requests.log"), "w").close()
            subprocess.run([romtool, *words], env=env, cwd=tmp, stdout=subprocess.DEVNULL,
                           check=True)
            vboard("log", board, "off")
            with open(os.path.join(board, "requests.log")) as f:
                lines = f.read().splitlines()
            read = sum(int(line.split(" len=")[1].split()[0]) for line in lines
                       if " op=read " in line)
            return sum("code=0x2000c001" in line for line in lines), read

        print("timing: %d ns per byte programmed, %d ms per erase; best of %d run(s)" % (
            args.program_ns_per_byte, args.erase_ms, args.runs))
        print("%-13s %9s %9s %9s %9s %9s %9s | %8s %8s %8s" % (
            "image", "e+prog s", "-erase s", "ifchg s", "prog s", "verify s", "read s",
            "erase x", "ifchg x", "verify/rd"))
        for label, dev, program, layout in images:
            dev_words = ["-dev", dev]
            erased = lambda: vboard("import", board, dev, os.devnull)  # noqa: E731
            dirty = load(dev, other)
            e_prog = timed(dev_words + ["-e"], dirty) + timed(dev_words + program, erased)
            erase_on_erased = timed(dev_words + ["-erase"] + program, erased)
            plain = timed(dev_words + program, erased)
            verified = timed(dev_words + program + ["-verify"], erased)
            # The programmed device, kept for -ifchanged and for one read of the range.
            vboard("export", board, dev, os.path.join(tmp, "programmed.bin"))
            programmed = load(dev, os.path.join(tmp, "programmed.bin"))
            ifchanged = timed(dev_words + program + ["-ifchanged"], programmed)
            subprocess.run([romtool, *dev_words, "-crc", layout], env=env, cwd=tmp,
                           stdout=subprocess.DEVNULL, check=True)
            one_read = timed(dev_words + ["-crc", layout], programmed)
            erases = logged(dev_words + ["-erase"] + program, erased)[0]
            range_bytes = {"bios": 0x40000, "fpga": 0x80000}[layout]
            verify_read = logged(dev_words + program + ["-verify"], erased)[1]
            print("%-13s %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f | %8.2f %8.3f %8.2f" % (
                label, e_prog, erase_on_erased, ifchanged, plain, verified, one_read,
                erase_on_erased / e_prog, ifchanged / e_prog,
                (verified - plain) / one_read if one_read else float("nan")))
            print("%-13s erase requests by -erase on an erased device: %d; bytes read by "
                  "-verify: %d = %.2f x the range" % ("", erases, verify_read,
                                                     verify_read / range_bytes))
        # The lock files romtool made for this board's nodes.
        for entry in os.listdir(board):
            if entry.endswith(".img"):
                st = os.stat(os.path.join(board, entry))
                lock = "/run/lock/romtool-%d:%d-%d.lock" % (os.major(st.st_dev),
                                                            os.minor(st.st_dev), st.st_ino)
                if os.path.exists(lock):
                    os.unlink(lock)
        print("erase x: -erase on an erased device / erase+program; ifchg x: -ifchanged / "
              "erase+program (target <= 0.10); verify/rd: extra time of -verify / one read "
              "of the range (target <= 1, within noise)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
