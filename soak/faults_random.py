# SPDX-License-Identifier: MIT
"""Every command under random driver faults (fixed seeds): no signal, no hang, status 1
exactly when a logged request failed, only documented lines. Run by soak/faults.sh, which
sets up the build; not part of the test suite: the mutant runner found nothing it catches
that the suite's tests do not."""

import os
import random
import re
import select
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402  pylint: disable=wrong-import-position

SLOW = bool(harness.RUNNER or harness.VALGRIND)
RUNS, SEED = 2 if SLOW else 12, 1  # runs per command under ctest
TIMEOUT = 120 if SLOW else 30
STRESS_SECONDS = 2.0 if SLOW else 0.4  # of -rmt/-wmt before ctrl-c

# A failure message: a system call on a node, a driver text (the board names a code it
# has no text for), or nothing when the error-text request failed too.
NODE = r"/dev/zelk/flash_\w+"
DRIVER_TEXTS = r"flash device busy|flash program verify failed|flash erase timeout" \
               r"|flash sector write protected|environment store corrupt"
MESSAGE = r"(%s: (\w+ -- .+|%s|driver error \d+)|)" % (NODE, DRIVER_TEXTS)
FATAL = [r"", r"romtool fatal error : " + MESSAGE]
HEX_ENTRY = r"[0-9a-f]{2}\[[0-9A-Za-z.]\] "
PROGRAM_FAILED = r"program failed after \d+ bytes were written: " + MESSAGE

# name, arguments, allowed stdout lines (regexes, besides the fatal error), ended by ctrl-c.
# Flash commands leave env0 alone: the store keeps its keys across the runs.
COMMANDS = [
    ("info", ["-dev", "bios1", "-i"],
     [r"Device information:", r"   manf\. id: -?\d+", r"    dev\. id: -?\d+",
      r"       size: -?\d+ kbits ", r"  part name: .*"], False),
    ("read", ["-dev", "bios0", "-r", "100"],
     [r"(%s){0,4}( :  (%s){0,4})?" % (HEX_ENTRY, HEX_ENTRY)], False),
    ("dump", ["-dev", "small", "-dump", "out.bin"], [r"\d+ bytes written"], False),
    ("erase", ["-dev", "bios1", "-e"], [r"erase failed: " + MESSAGE], False),
    ("program", ["-dev", "bios1", "-p", "plain.bin"],
     [r"program_device:", r"programming successful", PROGRAM_FAILED], False),
    ("bios", ["-dev", "bios1", "-pbios", "bios.bin"],
     [r"checksum is 0x[0-9a-f]+", r"crc is 0x[0-9a-f]+", r"writing\.\.\.", r"OK",
      r"warning: unexpected count \d+ read", PROGRAM_FAILED], False),
    ("fpga", ["-dev", "fpga1", "-pfpga", "head.bin", "core.bin"],
     [r"crc is 0x[0-9a-f]+", r"programming successful", PROGRAM_FAILED], False),
    ("get", ["-get", "serverip"], [r"serverip = 192\.168\.1\.1"], False),
    ("set", ["-set", "soak", "value"], [], False),
    ("readers", ["-rmt", "3"],
     [r"waiting for ctrl-c", r"romtool::read_t fatal error : " + MESSAGE], True),
    ("writers", ["-wmt", "3"],
     [r"waiting for ctrl-c", r"romtool::write_t fatal error : " + MESSAGE], True),
]

OPS = ["open", "read", "read", "write", "write", "lseek", "ioctl", "ioctl", "close"]
ERRNOS = [5, 16, 28, 130, 131, 199]  # 199: a driver code without a text


def fault_rules(rng):
    """One or two random rules as faults.txt lines; the second may fail the error-text
    request that reports the first one's driver code."""
    rules = []
    for rule_id in range(1, rng.choice((2, 2, 3))):
        trigger = "id=%d node=* %%s prob=%s seed=%d hits=0" % (
            rule_id, rng.choice(("0.02", "0.1", "0.3", "0.6")), rng.randrange(1 << 30))
        op = rng.choice(OPS)
        if rule_id == 2 and rng.random() < 0.5:
            rules.append(trigger % "op=ioctl code=0xc0ccd00a errno=%d" % rng.choice((5, 22)))
        elif op == "read" and rng.random() < 0.3:
            rules.append(trigger % "op=read short=%d" % rng.randrange(1, 20))
        else:
            rules.append(trigger % "op=%s errno=%d" % (op, rng.choice(ERRNOS)))
    return rules


def prepare(board):  # image files, some text on bios0, a small device to dump, logging on
    rng = random.Random(1)
    board.add_flash("small", bytes(range(256)) * 16)
    for name, size in {"plain.bin": 1000, "bios.bin": 0x1003, "head.bin": 700,
                       "core.bin": 2500}.items():
        board.put(name, bytes(rng.randrange(256) for _ in range(size)))
    with open(board.image_path("bios0"), "r+b") as f:
        f.write(b"zelk BIOS 1.0 \x00\x01 ok")
    board.vboard("log", "on")


def problems_of(board, row, rules):
    """Runs one command under the rules; returns what went wrong."""
    name, args, allowed, interrupt = row
    with open(os.path.join(board.dir, "faults.txt"), "w") as f:
        f.write("".join(rule + "\n" for rule in rules))
    board.clear_log()
    process, first = board.start(*args), b""
    try:
        if interrupt:  # a worker that fails at once may print before "waiting for ctrl-c"
            deadline = time.time() + TIMEOUT
            while b"waiting for ctrl-c\n" not in first and time.time() < deadline:
                if select.select([process.stdout], [], [], 0.5)[0]:
                    chunk = os.read(process.stdout.fileno(), 4096)
                    if not chunk:
                        break
                    first += chunk
            time.sleep(STRESS_SECONDS)
            process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=TIMEOUT)
        out = first + out
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        return ["hung (no end within %d s)" % TIMEOUT]
    status, problems = process.returncode, []
    with open(os.path.join(board.dir, "requests.log")) as f:
        fired = re.findall(r"^(.* fault=(\d+).*)$", f.read(), re.M)
    actions = {re.search(r"id=(\d+)", r).group(1): r for r in rules}
    # A short read is no failure, and a failed close in a destructor has no one to tell.
    errors = [line for line, rule_id in fired if " errno=" in actions[rule_id]]
    failing = [line for line in errors if " op=close" not in line]
    text = out.decode(errors="replace")
    if interrupt and "waiting for ctrl-c\n" not in text:
        problems.append("no \"waiting for ctrl-c\" in %r" % text[:300])
    if status < 0:
        problems.append("killed by signal %d" % -status)
    elif failing and status != 1:
        problems.append("status %d after a failed request: %s" % (status, failing[0]))
    elif (not errors and status != 0) or status not in (0, 1):
        problems.append("status %d" % status)
    if err:
        problems.append("stderr %r" % err[:300])
    if "romtool fatal error :" in text and not harness.FATAL.search(out) and not interrupt:
        problems.append("fatal error not at the end in its three lines")
    if status == 1 and "fatal error" not in text and "failed" not in text:
        problems.append("status 1 without a message")
    if not text.endswith("\n") and text:
        problems.append("last line not ended: %r" % text[-100:])
    problems += ["undocumented line %r" % line for line in text.split("\n")[:-1]
                 if not any(re.fullmatch(regex, line) for regex in allowed + FATAL)][:1]
    return problems


class test_faults_random(harness.board_test_case):
    def test_every_command_under_random_faults(self):
        prepare(self.board)
        for row in COMMANDS:
            with self.subTest(command=row[0]):
                rng = random.Random("%s/%d" % (row[0], SEED))
                found = []
                for _ in range(RUNS):
                    rules = fault_rules(rng)
                    found += [(rules, problem) for problem in problems_of(self.board, row, rules)]
                self.assertEqual(found, [])


if __name__ == "__main__":
    if "--runs" in sys.argv:  # the soak: as many runs as asked, the verdict per command
        import argparse
        parser = argparse.ArgumentParser()
        parser.add_argument("--runs", type=int, required=True)
        parser.add_argument("--seed", type=int, default=1)
        options = parser.parse_args()
        RUNS, SEED = options.runs, options.seed
        sys.argv[1:] = ["-v"]
    unittest.main()
