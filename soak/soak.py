#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Soak test: romtool -rmt 12 and -wmt 12 on one virtual board, with -set and -get
processes beside them, for a set time; then checks that everything ended as it should.

    soak/soak.py [--seconds N] [--build DIR] [--setters N] [--getters N] [--keep DIR]

--build is a build tree holding romtool/romtool and virtual_board/libvboard.so; a
tree configured with the PowerPC toolchain runs under qemu-ppc. Checks:
  - -rmt/-wmt end with status 0 on SIGINT and print nothing but "waiting for ctrl-c";
  - every -set/-get ends with status 0 and -get prints a value the setter wrote;
  - the store holds, per setter key, the last value its setter wrote, and stdin=serial;
  - the -rmt/-wmt processes hold no more descriptors just before SIGINT than at start.
Exits 1 when a check fails; prints the figures either way.
"""

import argparse
import collections
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
VBOARD = os.path.join(REPO, "virtual_board", "vboard")
QEMU = ["qemu-ppc", "-L", "/usr/powerpc-linux-gnu"]


def is_ppc_build(build):
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            return "powerpc-linux-gnu" in f.read()
    except OSError:
        return False


class board_t:
    def __init__(self, directory, build):
        self.dir = directory
        self.romtool = os.path.join(build, "romtool", "romtool")
        self.preload = os.path.join(build, "virtual_board", "libvboard.so")
        self.runner = QEMU if is_ppc_build(build) else []

    def vboard(self, *args):
        return subprocess.run([sys.executable, VBOARD, *args], check=True,
                              capture_output=True).stdout.decode()

    def command(self, *args):
        command = [sys.executable, VBOARD, "run", "--preload", self.preload]
        if self.runner:
            command += ["--runner", " ".join(self.runner)]
        return command + [self.dir, "--", self.romtool, *args]

    def run(self, *args):
        done = subprocess.run(self.command(*args), capture_output=True, timeout=120)
        return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(
            errors="replace")


class figures_t:
    def __init__(self):
        self.lock = threading.Lock()
        self.processes = 0
        self.failures = []

    def ran(self):
        with self.lock:
            self.processes += 1

    def fail(self, text):
        with self.lock:
            self.failures.append(text)


def setter(board, index, stop, figures, last):
    """-set of its own key, the value counting up; last[key] is the last value set."""
    key = "soak_set%d" % index
    n = 0
    while not stop.is_set():
        n += 1
        value = "v%d" % n
        status, out, err = board.run("-set", key, value)
        figures.ran()
        if status != 0 or out or err:
            figures.fail("-set %s %s: status %d, stdout %r, stderr %r" % (key, value, status,
                                                                           out, err))
            # Whether the store took it is unknown now; no "last" value to check against.
            last[key] = None
            return
        last[key] = value


def getter(board, index, stop, figures, setters):
    """-get of serverip and of the setters' keys in turn."""
    keys = ["serverip"] + ["soak_set%d" % i for i in range(setters)]
    n = index
    while not stop.is_set():
        key = keys[n % len(keys)]
        n += 1
        status, out, err = board.run("-get", key)
        figures.ran()
        want = (r"serverip = 192\.168\.1\.1\n" if key == "serverip" else
                re.escape(key) + r" = v\d+\n")
        if status != 0 or err or not re.fullmatch(want, out):
            figures.fail("-get %s: status %d, stdout %r, stderr %r" % (key, status, out, err))


def descriptors(pid, samples=20):
    """The fewest descriptors the process held over a few samples: workers open the
    store for a moment in each pass, so one sample may catch one of those open."""
    counts = []
    for _ in range(samples):
        try:
            counts.append(len(os.listdir("/proc/%d/fd" % pid)))
        except OSError:
            break
        time.sleep(0.05)
    return min(counts) if counts else -1


def wait_for_line(process, line, timeout=60):
    """Reads the first stdout line of a started process (it must be line)."""
    result = {}

    def read():
        result["line"] = process.stdout.readline()

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    reader.join(timeout)
    return result.get("line") == line


def log_figures(path):
    ops = collections.Counter()
    failed = collections.Counter()
    if not os.path.exists(path):
        return ops, failed
    with open(path, "rb") as f:
        for line in f:
            m = re.search(rb" op=(\w+)", line)
            if not m:
                continue
            op = m.group(1).decode()
            ops[op] += 1
            if b" result=-1" in line:
                failed[op] += 1
    return ops, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--build", default=os.path.join(REPO, "build", "host"))
    parser.add_argument("--setters", type=int, default=3)
    parser.add_argument("--getters", type=int, default=3)
    parser.add_argument("--threads", type=int, default=12)
    parser.add_argument("--keep", help="board directory to use and keep (default: temporary)")
    args = parser.parse_args()

    tmp = None
    if args.keep:
        directory = args.keep
    else:
        tmp = tempfile.TemporaryDirectory(prefix="romtool-soak-")
        directory = os.path.join(tmp.name, "board")
    board = board_t(directory, args.build)
    for path in (board.romtool, board.preload):
        if not os.path.exists(path):
            sys.exit("soak: %s not built" % path)
    board.vboard("create", board.dir)
    board.vboard("log", board.dir, "on")
    figures = figures_t()

    # Every setter key exists before a getter asks for it.
    last = {}
    for i in range(args.setters):
        board.vboard("env", board.dir, "set", "soak_set%d" % i, "v0")
        last["soak_set%d" % i] = "v0"

    started = time.time()
    stress = {}
    for option in ("-rmt", "-wmt"):
        process = subprocess.Popen(board.command(option, str(args.threads)),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        figures.ran()
        stress[option] = process
        if not wait_for_line(process, b"waiting for ctrl-c\n"):
            figures.fail("%s did not print \"waiting for ctrl-c\"" % option)
    # All workers have made their first pass by now; count then.
    time.sleep(1.5)
    fds_start = {option: descriptors(p.pid) for option, p in stress.items()}

    stop = threading.Event()
    workers = [threading.Thread(target=setter, args=(board, i, stop, figures, last))
               for i in range(args.setters)]
    workers += [threading.Thread(target=getter, args=(board, i, stop, figures, args.setters))
                for i in range(args.getters)]
    for worker in workers:
        worker.start()
    deadline = started + args.seconds
    while time.time() < deadline:
        time.sleep(min(5, max(0, deadline - time.time())))
        for option, p in stress.items():
            if p.poll() is not None:
                figures.fail("%s ended early with status %d" % (option, p.returncode))
                deadline = 0
    stop.set()
    for worker in workers:
        worker.join()

    fds_end = {option: descriptors(p.pid) for option, p in stress.items()}
    for option, p in stress.items():
        if p.poll() is None:
            p.send_signal(signal.SIGINT)
    for option, p in stress.items():
        try:
            out, err = p.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            p.kill()
            out, err = p.communicate()
            figures.fail("%s did not end within 60 s of SIGINT" % option)
        out = out.decode(errors="replace")
        if p.returncode != 0:
            figures.fail("%s ended with status %d" % (option, p.returncode))
        if "fatal error" in out or out:
            figures.fail("%s printed after its first line: %r" % (option, out[:500]))
        if err:
            figures.fail("%s wrote to stderr: %r" % (option, err[:500]))
        if fds_start[option] < 0 or fds_end[option] != fds_start[option]:
            figures.fail("%s held %d descriptors at start, %d before SIGINT"
                         % (option, fds_start[option], fds_end[option]))
    elapsed = time.time() - started

    store = {}
    for line in board.vboard("env", board.dir, "list").splitlines():
        key, _, value = line.partition("=")
        store[key] = value
    for key, value in sorted(last.items()):
        if value is not None and store.get(key) != value:
            figures.fail("store: %s=%r, last written %r" % (key, store.get(key), value))
    if store.get("stdin") != "serial":
        figures.fail("store: stdin=%r, want 'serial'" % store.get("stdin"))
    if store.get("serverip") != "192.168.1.1":
        figures.fail("store: serverip=%r" % store.get("serverip"))

    ops, failed = log_figures(os.path.join(board.dir, "requests.log"))
    print("soak: %s%.0f s, -rmt %d and -wmt %d, %d setters, %d getters"
          % ("qemu-ppc, " if board.runner else "", elapsed, args.threads, args.threads,
             args.setters, args.getters))
    print("soak: romtool processes run: %d" % figures.processes)
    print("soak: requests served: %d (%s)" % (sum(ops.values()),
          ", ".join("%s %d" % kv for kv in sorted(ops.items()))))
    print("soak: requests failed: %d (%s)" % (sum(failed.values()),
          ", ".join("%s %d" % kv for kv in sorted(failed.items())) or "none"))
    print("soak: descriptors at start %s, before SIGINT %s" % (fds_start, fds_end))
    print("soak: last values %s" % ", ".join("%s=%s" % kv for kv in sorted(last.items())))
    print("soak: failures: %d" % len(figures.failures))
    for text in figures.failures[:50]:
        print("soak: FAIL " + text)
    if tmp:
        tmp.cleanup()
    return 1 if figures.failures or sum(failed.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
