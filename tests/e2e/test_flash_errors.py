# SPDX-License-Identifier: MIT
"""Driver and system errors through every flash command, with the board's fault injection:
how each command reports them, and that a driver code (errno above 127) is turned into the
driver's text by exactly one error-text request carrying that code."""

import os
import unittest

import harness
from flash_reference import ENOENT_OPEN, bios_output, fatal, fpga_crc, program_failed, random_bytes

PATH = b"/dev/zelk/flash_bios0"
IMAGE = random_bytes(100, 1)
FF_LINE = b"ff[.] ff[.] ff[.] ff[.]  :  ff[.] ff[.] ff[.] ff[.] \n"
CRC_LINE = b"crc is 0x%x\n" % fpga_crc([IMAGE])

# Option words; the faulted operation and its words; what is printed before its failure;
# bytes written by then; the report of a message. A failed open comes before all of these
# but the program commands' first lines.
FATAL = lambda count, message: fatal(message)
COMMANDS = [
    (["-i"], "ioctl code=0x4040c000", b"", 0, FATAL),
    (["-r", "32"], "read nth=2", FF_LINE * 2, 0, FATAL),
    (["-dump", "out.bin"], "read nth=2", b"", 0, FATAL),
    (["-e"], "ioctl code=0x2000c001", b"", 0, lambda count, m: b"erase failed: " + m + b"\n"),
    (["-p", "img.bin", "-verify"], "write nth=3", b"program_device:\n", 32, program_failed),
    (["-pbios", "img.bin"], "write nth=3", bios_output(IMAGE) + b"writing...\n", 32,
     program_failed),
    (["-pfpga", "img.bin"], "write nth=3", CRC_LINE, 32, program_failed),
    (["-pfpga", "img.bin"], "lseek", CRC_LINE, len(IMAGE), program_failed),
]

# The fault's action; the message, given the call's name as the tool words it; the driver
# code that one error-text request must carry.
ERRORS = [
    ("errno=127", lambda op: PATH + b": " + op + b" -- " + os.strerror(127).encode(), None),
    ("errno=128", lambda op: PATH + b": flash device busy", 128),
    ("errno=131", lambda op: b"", 131),  # and the error-text request fails too
]


class test_driver_errors(harness.board_test_case):
    def run_with(self, args, *faults):
        # The board's files written directly (their format is the board's documented
        # one): three front end runs fewer per row, which counts under qemu.
        with open(os.path.join(self.board.dir, "faults.txt"), "w") as f:
            for number, fault in enumerate(faults, 1):
                f.write("id=%d node=flash_bios0 %s hits=0\n" % (number, fault))
        self.board.clear_log()
        return self.romtool("-dev", "bios0", *args)[:2]

    def test_every_command_reports_every_error(self):
        self.board.put("img.bin", IMAGE)
        for args, op, before, count, report in COMMANDS:
            for action, message, code in ERRORS:
                with self.subTest(command=args, op=op, error=action):
                    text_fault = "op=ioctl code=0xc0ccd00a errno=5"
                    result = self.run_with(args, "op=%s %s" % (op, action),
                                           *[text_fault] * (action == "errno=131"))
                    word = b"seek" if op == "lseek" else op.split()[0].encode()
                    self.assertEqual(result, (1, before + report(count, message(word))))
                    self.assertEqual([r["errcode"] for r in self.board.requests()
                                      if r["op"] == "ioctl" and r["code"] == "0xc0ccd00a"],
                                     [] if code is None else [str(code)])
            with self.subTest(command=args, error="missing node"):
                result = self.run_with(args, "op=open errno=2")
                before = before if args[0].startswith("-p") else b""
                self.assertEqual(result, (1, before + report(0, PATH + b": " + ENOENT_OPEN)))
                self.assertEqual([r["op"] for r in self.board.requests()], ["open"])


if __name__ == "__main__":
    unittest.main()
