"""Driver and system errors through every flash command, with the board's fault injection:
how each command reports them, and that a driver code (errno above 127) is turned into the
driver's text by exactly one error-text request carrying that code."""

import os
import unittest

import harness
from flash_reference import (ENOENT_OPEN, bios_output, fatal, fpga_crc, program_failed,
                             random_bytes, system_text)

PATH = b"/dev/zelk/flash_bios0"
IMAGE = random_bytes(100, 1)
FF_LINE = b"ff[.] ff[.] ff[.] ff[.]  :  ff[.] ff[.] ff[.] ff[.] \n"


def erase_failed(count, message):
    return b"erase failed: " + message + b"\n"


def fatal_report(count, message):
    return fatal(message)


# option words; faulted operation and its fault words; what is printed before a failure of
# that operation and before a failure to open the node; bytes written by then; the report.
COMMANDS = [
    (["-i"], "ioctl", ["code=0x4040c000"], b"", b"", 0, fatal_report),
    (["-r", "32"], "read", ["nth=2"], FF_LINE * 2, b"", 0, fatal_report),
    (["-dump", "out.bin"], "read", ["nth=2"], b"", b"", 0, fatal_report),
    (["-e"], "ioctl", ["code=0x2000c001"], b"", b"", 0, erase_failed),
    (["-p", "img.bin"], "write", ["nth=3"], b"program_device:\n", b"program_device:\n", 32,
     program_failed),
    (["-pbios", "img.bin"], "write", ["nth=3"], bios_output(IMAGE) + b"writing...\n",
     bios_output(IMAGE) + b"writing...\n", 32, fatal_report),
    (["-pfpga", "img.bin"], "write", ["nth=3"], b"crc is 0x%x\n" % fpga_crc([IMAGE]),
     b"crc is 0x%x\n" % fpga_crc([IMAGE]), 32, program_failed),
    (["-pfpga", "img.bin"], "lseek", [], b"crc is 0x%x\n" % fpga_crc([IMAGE]),
     b"crc is 0x%x\n" % fpga_crc([IMAGE]), len(IMAGE), program_failed),
]

# How the board fails, and the message the tool must then give; op is the system call's
# name as the tool words it ("seek" for lseek).
ERRORS = [
    ("system error", lambda op: PATH + b": " + system_text(op, 5), ["errno=5"], None),
    ("last system errno", lambda op: PATH + b": " + system_text(op, 127), ["errno=127"], None),
    ("driver code", lambda op: PATH + b": flash device busy", ["errno=128"], 128),
    # A driver without a text for the code leaves the tool's own text in the record.
    ("driver code without text", lambda op: PATH + b": " + PATH + b": "
     + system_text(op, 250), ["errno=250"], 250),
    ("failing text request", lambda op: b"", ["errno=131"], 131),
]


class test_driver_errors(harness.board_test_case):
    def setUp(self):
        super().setUp()
        with open(os.path.join(self.board.work, "img.bin"), "wb") as f:
            f.write(IMAGE)
        self.board.vboard("log", "on")

    def run_with(self, args, faults):
        # The board's files written directly (their format is the board's documented
        # one): three front end runs fewer per row, which counts under qemu.
        with open(os.path.join(self.board.dir, "faults.txt"), "w") as f:
            for number, fault in enumerate(faults, 1):
                f.write("id=%d node=flash_bios0 %s hits=0\n" % (number, " ".join(fault)))
        open(os.path.join(self.board.dir, "requests.log"), "wb").close()
        return self.romtool("-dev", "bios0", *args)

    def text_requests(self):
        return [r["errcode"] for r in self.board.requests()
                if r["op"] == "ioctl" and r["code"] == "0xc0ccd00a"]

    def test_every_command_reports_every_error(self):
        for args, op, selector, before, _, count, report in COMMANDS:
            for what, message, action, code in ERRORS:
                with self.subTest(command=args, error=what, op=op):
                    faults = [["op=" + op] + selector + action]
                    if what == "failing text request":
                        faults.append(["op=ioctl", "code=0xc0ccd00a", "errno=5"])
                    result = self.run_with(args, faults)
                    word = "seek" if op == "lseek" else op
                    self.assertEqual(result.stdout, before + report(count, message(word)))
                    self.assertEqual(result.status, 1)
                    # One text request with the driver's code, none for a system error.
                    self.assertEqual(self.text_requests(), [] if code is None else [str(code)])

    def test_missing_node_gives_the_open_failure(self):
        for args, _, _, _, before, _, report in COMMANDS:
            with self.subTest(command=args):
                result = self.run_with(args, [["op=open", "errno=2"]])
                self.assertEqual(result.stdout, before + report(0, PATH + b": " + ENOENT_OPEN))
                self.assertEqual(result.status, 1)
                self.assertEqual([r["op"] for r in self.board.requests()], ["open"])


if __name__ == "__main__":
    unittest.main()
