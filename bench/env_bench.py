#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Load of the environment stress tests on a virtual board.

Runs "romtool -rmt N" and "romtool -wmt N" for a while each on a fresh board and
reports, from the board's request log:
  - requests served per second against the rate the pauses allow (a reader pauses
    30 ms per pass, a writer 1 s), and the time one pass takes besides its pause;
  - the time from SIGINT to the end of the process (target: under 50 ms plus one
    request);
  - open descriptors of the process at the start, at most and at the end (a leak
    shows as growth; each worker holds at most one node open).

    bench/env_bench.py --build build/host
    bench/env_bench.py --build build/ppc --runner "qemu-ppc -L /usr/powerpc-linux-gnu"

With --list it measures instead "-list" of a full 64 KiB environment (one byte per read
request) against "-get" of one key, on the preload board or, with --kernel IMAGE (the
kernel_board/image folder of a PowerPC build with ROMTOOL_KERNEL_BOARD), on the kernel
board, where each time includes the guest's board synchronisation (the -get time shows it):

    bench/env_bench.py --list --build build/host
    bench/env_bench.py --list --build build/ppc --kernel build/ppc/kernel_board/image

With --load it times "-load" of a text that changes one key of a full 64 KiB environment,
with this romtool and, beside it, with --baseline ROMTOOL (another build, say of an older
revision), on the same preload board; it prints each one's median, the requests that reached
the store, and the ratio of the two:

    bench/env_bench.py --load --build build/host --baseline /tmp/old/build/romtool/romtool

A measurement, not a test: it prints figures and judges nothing.
"""

import argparse
import os
import statistics
import struct
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VBOARD = os.path.join(ROOT, "virtual_board", "vboard")
PAUSE = {"-rmt": 0.030, "-wmt": 1.0}


def vboard(*args):
    return subprocess.run([sys.executable, VBOARD, *args], check=True,
                          capture_output=True).stdout


def descriptors(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None


def run(options, board, option, threads, seconds):
    vboard("log", board, "clear")
    command = [sys.executable, VBOARD, "run", "--preload", options.preload]
    if options.runner:
        command += ["--runner", options.runner]
    command += [board, "--", options.romtool, option, str(threads)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE)
    output = b""
    while b"waiting for ctrl-c\n" not in output:
        select.select([process.stdout], [], [], 60)
        chunk = os.read(process.stdout.fileno(), 4096)
        if not chunk:
            sys.exit("romtool ended: %r" % output)
        output += chunk
    # Count only what the workers do in the measured window.
    vboard("log", board, "clear")
    started = time.monotonic()
    fds = [descriptors(process.pid)]
    while time.monotonic() - started < seconds:
        time.sleep(0.1)
        fds.append(descriptors(process.pid))
    ran = time.monotonic() - started
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    rest = process.communicate(timeout=60)[0]
    stop = time.monotonic() - sent

    log = vboard("log", board, "show").decode().splitlines()
    requests = sum(1 for line in log if " op=ioctl " in line)
    failed = sum(1 for line in log if " result=-1" in line)
    tids = len({re.search(r"tid=(\d+)", line).group(1) for line in log})
    rate = requests / ran
    ideal = threads / PAUSE[option]
    per_worker = rate / threads if threads else 0
    overhead = (1 / per_worker - PAUSE[option]) * 1000 if per_worker else 0
    counted = [n for n in fds if n is not None]
    print("%s %d: %d workers seen, %d requests in %.1f s (%d failed), status %d%s"
          % (option, threads, tids, requests, ran, failed, process.returncode,
             ", output %r" % (output + rest) if output + rest != b"waiting for ctrl-c\n" else ""))
    print("  rate %.1f requests/s; the pauses allow %.1f/s (%.0f%%)"
          % (rate, ideal, 100 * rate / ideal if ideal else 0))
    if option == "-rmt":  # a writer's few passes in the window say nothing this fine
        print("  a pass takes %.1f ms besides its pause" % overhead)
    print("  SIGINT to exit: %.1f ms" % (stop * 1000))
    print("  descriptors: %d at the start, at most %d, %d at the end"
          % (counted[0], max(counted), counted[-1]))


def full_environment(board):
    """Fills flash_env0 to its last byte with entries; returns how many."""
    path = os.path.join(board, "flash_env0.img")
    size = os.path.getsize(path)
    entries, used = [], 4 + 1  # the driver's word, the final empty entry
    while used + 100 + 1 <= size:
        entries.append(b"key%05d=" % len(entries) + b"v" * (100 - 9))
        used += 100 + 1
    entries.append(b"key%05d=" % len(entries) + b"v" * (size - used - 1 - 9))
    body = b"".join(entry + b"\0" for entry in entries) + b"\0"
    assert len(body) == size - 4
    with open(path, "wb") as f:
        f.write(struct.pack(">I", zlib.crc32(body)) + body)
    return len(entries)


def list_against_get(options, board, runs):
    count = full_environment(board)
    if options.kernel:
        sys.path.insert(0, os.path.join(ROOT, "kernel_board"))
        import kboard  # pylint: disable=import-error,import-outside-toplevel
        guest = kboard.guest_t(options.kernel)
        work = os.path.dirname(board)

        def run_once(args):
            return guest.start(board, work, [kboard.GUEST_ROMTOOL, *args]).communicate(600)[0]
    else:
        command = [sys.executable, VBOARD, "run", "--preload", options.preload]
        if options.runner:
            command += ["--runner", options.runner]

        def run_once(args):
            return subprocess.run(command + [board, "--", options.romtool, *args],
                                  capture_output=True, check=True).stdout
    try:
        for args in (["-get", "key00000"], ["-list"]):
            times = []
            for _ in range(runs):
                started = time.monotonic()
                out = run_once(args)
                times.append(time.monotonic() - started)
            lines = out.count(b"\n")
            print("%-14s median %.3f s, min %.3f s over %d runs (%d lines; %d entries stored)"
                  % (" ".join(args), statistics.median(times), min(times), runs, lines, count))
    finally:
        if options.kernel:
            guest.close()


def load_one_key(options, board, runs):
    """-load of the full environment with one value changed, this romtool and the baseline."""
    full_environment(board)
    path = os.path.join(board, "flash_env0.img")
    with open(path, "rb") as f:
        image = f.read()
    entries = image[4:].split(b"\0")
    entries = entries[:entries.index(b"")]
    text = os.path.join(os.path.dirname(board), "changed.env")
    with open(text, "wb") as f:
        f.write(b"".join(e + b"\n" for e in [b"key00000=changed"] + entries[1:]))
    vboard("log", board, "on")
    medians = {}
    for name, romtool in (("this romtool", options.romtool), ("baseline", options.baseline)):
        if not romtool:
            continue
        times = []
        for _ in range(runs):
            with open(path, "wb") as f:
                f.write(image)
            vboard("log", board, "clear")
            started = time.monotonic()
            subprocess.run([sys.executable, VBOARD, "run", "--preload", options.preload,
                            *(["--runner", options.runner] if options.runner else []),
                            board, "--", romtool, "-load", text], check=True)
            times.append(time.monotonic() - started)
        log = vboard("log", board, "show").decode()
        sets, clears = log.count("code=0x812cc002"), log.count("code=0x412cc004")
        medians[name] = statistics.median(times)
        print("%-12s median %.3f s, min %.3f s over %d runs: %d set(s), %d clear(s), %d reads"
              % (name, medians[name], min(times), runs, sets, clears, log.count(" op=read ")))
    if len(medians) == 2:
        print("ratio this/baseline: %.3f" % (medians["this romtool"] / medians["baseline"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "host"),
                        help="a build directory holding romtool and the board's library")
    parser.add_argument("--romtool", help="default: BUILD/romtool/romtool")
    parser.add_argument("--preload", help="default: BUILD/virtual_board/libvboard.so")
    parser.add_argument("--runner", default="", help="emulator prefix for a board build")
    parser.add_argument("--threads", type=int, default=12)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--list", action="store_true",
                        help="time -list of a full environment against -get instead")
    parser.add_argument("--kernel", help="with --list: the kernel board's image folder")
    parser.add_argument("--load", action="store_true",
                        help="time -load of a one-key change of a full environment instead")
    parser.add_argument("--baseline", help="with --load: another romtool to time beside")
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()
    options.romtool = options.romtool or os.path.join(options.build, "romtool", "romtool")
    options.preload = os.path.abspath(
        options.preload or os.path.join(options.build, "virtual_board", "libvboard.so"))
    with tempfile.TemporaryDirectory(prefix="env-bench-") as tmp:
        board = os.path.join(tmp, "board")
        vboard("create", board)
        if options.list:
            list_against_get(options, board, options.runs)
            return
        if options.load:
            load_one_key(options, board, options.runs)
            return
        vboard("log", board, "on")
        for option in ("-rmt", "-wmt"):
            run(options, board, option, options.threads, options.seconds)


if __name__ == "__main__":
    main()
