"""The command line of romtool: usage text, exit status, option precedence, value reading."""

import os
import re
import tempfile
import unittest

import harness

USAGE = (b"Usage: romtool\n"
         b"-dev [dev=env0]            : device: fpga0/1, bios0/1, booter, env0/1\n"
         b"-l                         : access in loop\n"
         b"-i                         : get device information\n"
         b"-r [count=16]              : dump memory\n"
         b"-rmt <no_threads [=2]>     : environment read multithread test\n"
         b"-wmt <no_threads [=2]>     : environment write multithread test\n"
         b"-e                         : erase device\n"
         b"-p filename                : program device with file\n"
         b"-pbios filename            : program device with bios (adds checksum)\n"
         b"-pfpga filename(s)         : program device with fpga (adds checksum)\n"
         b"-get <key>                 : get environment key\n"
         b"-set <key> <value>         : set environment key/value\n"
         b"\n")


class test_usage(harness.romtool_test_case):
    def test_bad_command_lines_print_usage_and_fail(self):
        # None of these may reach a command; off the board a command would fail differently.
        cases = [
            [],                             # nothing to do
            ["-x"],                         # no option of the tool
            ["-rmt5"],                      # digit attached: no option
            ["-I"],                         # options are case-sensitive
            ["-dev"],                       # device name missing
            ["-dev", "-e"],                 # next argument is an option, not a name
            ["-e", "-dev"],                 # ... wherever "-dev" stands
            ["-dev", "", "-i"],             # empty name
            ["-dev", "  ", "-i"],           # name without a word
            ["-set"],
            ["-set", "key"],                # value missing
            ["-set", "key", "-i"],          # value is an option
            ["-get"],
            ["-get", "-i"],
            # Programming without an image programmed nothing: a failure, never status 0.
            ["-p"],
            ["-pbios"],
            ["-pfpga"],
            ["-p", "-i"],                   # "-p" wins over "-i" and has no file
            ["-pbios", "-x", "bios.img"],
            ["-pfpga", "", "a.bin"],        # first word empty: no file at all
        ]
        for args in cases:
            with self.subTest(args=args):
                result = self.run_direct(*args)
                self.assertEqual(result.stdout, USAGE)
                self.assertEqual(result.status, 1)

    def test_failed_command_gives_one_fatal_message(self):
        # Off the board every device node is missing, so these fail inside the command.
        cases = [["-i"], ["-dev", "bios0", "-i"], ["-r", "16"], ["-dump", "out.bin"],
                 ["-dump"], ["-get", "serverip"], ["-set", "stdin", "serial"]]
        for args in cases:
            with self.subTest(args=args):
                with tempfile.TemporaryDirectory() as work:
                    result = self.run_direct(*args, cwd=work)
                    self.assertEqual(result.status, 1)
                    self.assertRegex(result.stdout, harness.FATAL)
                    # The device is read before the dump file is opened: no empty file left.
                    self.assertEqual(os.listdir(work), [])


class test_precedence(harness.board_test_case):
    """The first option of the fixed order wins, wherever it stands. Each row runs the
    command line and then the winner alone, optionally each followed by a second command
    that shows what the first changed; both must give the same status and output."""

    IMAGE = bytes(range(256)) * 4

    def setUp(self):
        super().setUp()
        self.write_image(self.board)

    def write_image(self, board):
        with open(os.path.join(board.work, "img.bin"), "wb") as image:
            image.write(self.IMAGE)

    def outputs(self, board, *commands):
        return [self.romtool(*args, board=board, timeout=20)[:2] for args in commands]

    def test_first_option_in_order_wins(self):
        # Winners that leave the board as it was share one board.
        rows = [
            # command line                                    winner alone
            (["-i", "-r", "16"],                              ["-r", "16"]),
            (["-r", "16", "-i"],                              ["-r", "16"]),
            (["-dump", "out.bin", "-r", "16"],                ["-r", "16"]),
            (["-e", "-dump", "out.bin"],                      ["-dump", "out.bin"]),
            (["-rmt", "13", "-dump", "out.bin"],              ["-dump", "out.bin"]),
            (["-wmt", "-rmt", "13"],                          ["-rmt", "13"]),
            (["-e", "-wmt", "13"],                            ["-wmt", "13"]),
            (["-p", "img.bin", "-get", "serverip"],           ["-get", "serverip"]),
            (["-l", "-i"],                                    ["-i"]),
            # Arguments that are no option of the tool are ignored.
            (["-x", "-i", "stray"],                           ["-i"]),
        ]
        for args, winner in rows:
            with self.subTest(args=args):
                first, alone = self.outputs(self.board, args, winner)
                self.assertEqual(first, alone)

    def test_first_option_in_order_wins_on_changed_board(self):
        # Winners that change the board: each run on a fresh one, then a look at the change.
        rows = [
            # command line                                winner alone          follow-up
            (["-set", "k", "v", "-e"],                    ["-e"],               ["-get", "k"]),
            (["-get", "serverip", "-set", "k", "v"],      ["-set", "k", "v"],   ["-get", "k"]),
            (["-pbios", "img.bin", "-p", "img.bin"],      ["-p", "img.bin"],    ["-r", "80"]),
            (["-pfpga", "img.bin", "-pbios", "img.bin"],  ["-pbios", "img.bin"], ["-r", "80"]),
            (["-i", "-pfpga", "img.bin"],                 ["-pfpga", "img.bin"], ["-r", "80"]),
        ]
        for args, winner, follow_up in rows:
            with self.subTest(args=args):
                results = []
                for command in (args, winner):
                    board = self.fresh_board()
                    self.write_image(board)
                    results.append(self.outputs(board, command, follow_up))
                self.assertEqual(results[0], results[1])

    def test_dev_names_the_node_and_first_one_counts(self):
        # A missing node fails naming its path, so the output tells which name was used.
        rows = [
            (["-dev", "nosuch", "-dev", "bios0", "-r", "16"], ["-dev", "nosuch", "-r", "16"]),
            (["-dev", "bios0", "-dev", "nosuch", "-r", "16"], ["-dev", "bios0", "-r", "16"]),
            (["-r", "16", "-dev", "nosuch"],                  ["-dev", "nosuch", "-r", "16"]),
            (["-dev", "nosuch bios0", "-r", "16"],            ["-dev", "nosuch", "-r", "16"]),
        ]
        for args, same in rows:
            with self.subTest(args=args):
                first, alone = self.outputs(self.board, args, same)
                self.assertEqual(first, alone)


class test_numbers(harness.board_test_case):
    """How the "-r" count is read: decimal or 0x hexadecimal, never octal, never negative;
    anything unreadable leaves the default of 64."""

    def dumped_bytes(self, *args):
        result = self.romtool(*args)
        self.skip_unless_available(result, "-r")
        self.assertEqual(result.status, 0, result.stdout)
        # One entry per byte: two hex digits, the character in brackets, a blank.
        return len(re.findall(rb"[0-9a-f]{2}\[.\] ", result.stdout, re.DOTALL))

    def test_count_forms(self):
        rows = [
            (["-r", "0x20"], 32),
            (["-r", "0X1F"], 31),
            (["-r", "010"], 10),      # leading zero is not octal
            (["-r", "12abc"], 12),    # trailing text ignored
            (["-r", "abc"], 64),
            (["-r", " 12"], 64),      # leading blank refused
            (["-r", "-5"], 64),       # looks like an option: not taken
            (["-r", "0x"], 0),        # too short for hex: decimal 0, nothing dumped
            (["-r"], 64),
            (["-r", "-i"], 64),
        ]
        for args, count in rows:
            with self.subTest(args=args):
                self.assertEqual(self.dumped_bytes(*args), count)


if __name__ == "__main__":
    unittest.main()
