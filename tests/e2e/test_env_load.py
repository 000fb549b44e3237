# SPDX-License-Identifier: MIT
"""-load on both stores: the fewest requests that make the store hold the text; every
refusal (of the text, of its input, of a store it cannot fit) before anything is sent; and
no environment lost to a pipe, a closed descriptor, a driver failure or a ctrl-c."""

import os
import signal
import subprocess
import unittest

import harness
from flash_reference import DEFAULT, ENOENT_OPEN, FLASH, K150, NVRAM, V150, fatal

LIMIT = 1 << 20  # of a text's bytes


def text_of(entries):
    return b"".join(entry + b"\n" for entry in entries)


class load_test_case(harness.board_test_case):
    def load(self, store, text, *args):  # -load of text in in.env on a fresh log
        self.board.put("in.env", text)
        self.board.clear_log()
        return self.romtool("-load", "in.env", *(["-nvram"] if store is NVRAM else []), *args)

    def requests(self, store):  # what reached the store: "set key=value" or "clear"
        out = []
        for r in self.board.requests("op", "code", "key", "value"):
            if r[0] == "ioctl":
                out.append("clear" if r[1] == store[3] else "set %s=%s" % (r[2][1:-1], r[3][1:-1]))
        return out


class test_load(load_test_case):
    def test_requests_sent(self):
        changed = [b"serverip=10.0.0.1"] + DEFAULT[1:]
        rows = (  # store, entries before, text, requests, entries after
            (FLASH, DEFAULT, text_of(DEFAULT[::-1]), [], DEFAULT),
            # One key changed: one set, in its place; no clear, so a cut leaves it old or new.
            (FLASH, DEFAULT, text_of(changed), ["set serverip=10.0.0.1"], changed),
            (FLASH, DEFAULT, text_of(DEFAULT + [b"new=1"]), ["set new=1"], DEFAULT + [b"new=1"]),
            # A key that must go: the store is cleared and set whole, in the text's order.
            (FLASH, DEFAULT, text_of(changed[1:]),
             ["clear"] + ["set " + e.decode() for e in changed[1:]], changed[1:]),
            # The last line of a key wins; the driver cannot name a key with leading blanks.
            (NVRAM, [], b"b=2\na=1\nb=3\n", ["set b=3", "set a=1"], [b"b=3", b"a=1"]),
            (NVRAM, [b" a=1", b"b=2"], b"a=1\nb=2\n", ["clear", "set a=1", "set b=2"],
             [b"a=1", b"b=2"]),
            (NVRAM, [b"a=1"], K150 + b"=" + V150 + b"\na=1\n\n",
             ["set %s=%s" % (K150.decode(), V150.decode())], [b"a=1", K150 + b"=" + V150]),
        )
        for store, before, text, requests, after in rows:
            with self.subTest(store=store[0], text=text):
                self.board.put_env(store[0], before)
                self.assertEqual(self.load(store, text)[:2], (0, b""))
                self.assertEqual(self.requests(store), requests)
                self.assertEqual(self.board.env_entries(store[0]), after)

    def test_refused_before_anything_is_sent(self):
        os.mkdir(os.path.join(self.board.work, "folder"))
        big = b"".join(b"key%04d=%s\n" % (i, b"v" * 90) for i in range(100))  # 9.9 KiB
        rows = (  # store, text or file name, message
            (FLASH, b"", b"in.env: line 1: empty text, nothing to load"),
            (FLASH, b"a=1\n\nb=2\n", b"in.env: line 2: empty line before the end of the text"),
            (NVRAM, b"a=1\n lead=x\n", b"in.env: line 2: a key cannot begin with white space"),
            (NVRAM, b"a=1\nnoequals\nb=2\n", b'in.env: line 2: Parse error in "noequals"'),
            (FLASH, b"a=1\nk=" + V150 + b"v\n", b"in.env: line 2: value of 151 bytes, at most 150 fit"),
            (FLASH, "none.env", b"none.env: " + ENOENT_OPEN),
            (FLASH, "folder", b"folder: read -- EISIR: file is a directory"),
            (FLASH, "/dev/null", b"/dev/null: line 1: empty text, nothing to load"),
            # Read whole up to 1 MiB, and refused at one byte more.
            (FLASH, b"k=" + b"v" * (LIMIT - 3) + b"\n",
             b"in.env: line 1: value of %d bytes, at most 150 fit" % (LIMIT - 3)),
            (FLASH, b"k=" + b"v" * (LIMIT - 2) + b"\n",
             b"in.env: text longer than %d bytes, more than a store holds" % LIMIT),
            # Found out from the store's own size before the first change: 4 bytes, 82
            # entries of 99 and the empty entry fit the 8 KiB NVRAM, an 83rd does not.
            (NVRAM, big, b"in.env: line 83: the text does not fit in /dev/zelk/nvram0: "
                         b"it needs 9905 bytes, the store holds 8192"),
        )
        for store, text, message in rows:
            with self.subTest(text=text[:40]):
                nvram = ["-nvram"] if store is NVRAM else []
                self.board.put_env(store[0], DEFAULT)
                self.board.clear_log()
                if isinstance(text, str):
                    result = self.romtool("-load", text, *nvram)
                else:
                    result = self.load(store, text)
                self.assertEqual(result[:2], (1, fatal(message)))
                self.assertEqual(self.board.env_entries(store[0]), DEFAULT)
                sent = {r["op"] for r in self.board.requests()}
                self.assertEqual(sent, {"open", "lseek", "read", "close"} if text is big else set())

    def test_driver_failure_on_the_way(self):
        corrupt = b"/dev/zelk/flash_env0: environment store corrupt"  # driver code 132
        rows = (  # text, fault, message, entries after
            (text_of(DEFAULT[1:]), ("code=" + FLASH[3], "errno=132"),
             b"load failed when clearing the store: " + corrupt, DEFAULT),
            (text_of(DEFAULT[1:]), ("code=" + FLASH[1], "nth=2", "errno=132"),
             b"load failed after 1 line was stored: " + corrupt, DEFAULT[1:2]),
            (b"a=1\nb=2\n" + text_of(DEFAULT), ("code=" + FLASH[1], "nth=2", "errno=132"),
             b"load failed after 1 of 2 keys were set: " + corrupt, DEFAULT + [b"a=1"]),
        )
        for text, fault, message, after in rows:
            with self.subTest(fault=fault, message=message):
                self.board.put_env(FLASH[0], DEFAULT)
                self.board.vboard("fault", "clear")
                self.board.vboard("fault", "add", FLASH[0], "ioctl", *fault)
                self.assertEqual(self.load(FLASH, text)[:2], (1, message + b"\n"))
                self.assertEqual(self.board.env_entries(FLASH[0]), after)

    def test_a_signal_waits_for_the_end_of_the_load(self):
        # Each set rewrites the 64 KiB store at 5 us a byte: ctrl-c lands among them, and
        # takes effect once the load is over; a load that fails says so first.
        self.board.vboard("timing", "--program-ns-per-byte", "5000")
        text = b"".join(b"k%d=%d\n" % (i, i) for i in range(6))
        self.board.put("in.env", text)
        failed = b"load failed after 1 line was stored: /dev/zelk/flash_env0: environment store " \
                 b"corrupt\n"
        for fault, stdout, after in ((None, b"", text), ("nth=2", failed, text[:5])):
            with self.subTest(fault=fault):
                self.board.put_env(FLASH[0], DEFAULT)
                self.board.vboard("fault", "clear")
                if fault:
                    self.board.vboard("fault", "add", FLASH[0], "ioctl", "code=" + FLASH[1],
                                      fault, "errno=132")
                self.board.clear_log()
                process = self.board.start("-load", "in.env")
                self.board.wait_for(lambda: "clear" in self.requests(FLASH))
                process.send_signal(signal.SIGINT)
                out, _ = process.communicate(timeout=harness.TIMEOUT)
                self.assertEqual((process.returncode, out), (-signal.SIGINT, stdout))
                self.assertEqual(text_of(self.board.env_entries(FLASH[0])), after)

    @harness.preload_board_only("the guest's agent starts romtool with nothing blocked")
    def test_a_signal_the_caller_blocks_stays_blocked(self):
        # A supervisor that blocks ctrl-c and has one pending: romtool ends as it would have.
        self.board.put("in.env", b"k=1\n")

        def blocked_and_pending():
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT])
            os.kill(os.getpid(), signal.SIGINT)
        done = subprocess.run(self.board.command("-load", "in.env"), cwd=self.board.work,
                              capture_output=True, preexec_fn=blocked_and_pending, check=False)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, b"", b""))
        self.assertEqual(text_of(self.board.env_entries(FLASH[0])), b"k=1\n")

    def test_closed_standard_output_is_no_store(self):
        # Closed, standard output would be the next descriptor opened: the store's node
        # (or, with standard input closed too, the lock file and then the node), which the
        # value line or the listing would be written into.
        self.board.put_env(NVRAM[0], [b"a=b"])
        for args in (["-get", "a"], ["-list"]):
            for closed in ((1,), (0, 1), (0, 1, 2)):
                with self.subTest(args=args, closed=closed):
                    process = self.board.start("-nvram", *args, stdout=subprocess.DEVNULL,
                                               closed=closed)
                    self.assertEqual((process.communicate(timeout=harness.TIMEOUT)[1],
                                      process.returncode), (b"", 0))
                    self.assertEqual(self.board.env_entries(NVRAM[0]), [b"a=b"])


@harness.preload_board_only("the guest's programs get the standard streams the agent gives them")
class test_standard_streams(load_test_case):
    def test_standard_input(self):
        self.board.put_env(NVRAM[0], [b"a=1"])
        self.board.put("w", b"")  # opened write-only below
        rows = (  # how standard input is given, outcome
            # A pipe still empty, and made non-blocking: waited for, not taken for the end.
            ("(sleep 0.3; printf 'a=2\\nb=3\\n') | python3 -c 'import os, sys; os.set_blocking(0, "
             "False); os.execvp(sys.argv[1], sys.argv[1:])' $R -load - -nvram", (0, b"", b"")),
            ("$R -load - -nvram < .", (1, fatal(b"standard input: read -- EISIR: file is a directory"), b"")),
            ("$R -load - -nvram 0> w", (1, fatal(b"standard input: read -- EBADF: invalid open file descriptor"), b"")),
            # Closed, it would be the lock file romtool opens first: it is /dev/null instead.
            ("$R -load - -nvram <&-", (1, fatal(b"standard input: line 1: empty text, nothing to load"), b"")),
        )
        for script, outcome in rows:
            with self.subTest(script=script):
                self.assertEqual(self.board.shell(script), outcome)
        self.assertEqual(self.board.env_entries(NVRAM[0]), [b"a=2", b"b=3"])

    def test_a_pipeline_from_a_late_listing(self):
        # -load reads its text to the end before it locks the store, so the -list that
        # feeds it, started last, still gets the store.
        script = "(sleep 0.5; $R -list) | sed s/zelk/kelz/ | $R -load -"
        self.assertEqual(self.board.shell(script), (0, b"", b""))
        self.assertIn(b"hostname=kelz", self.board.env_entries(FLASH[0]))


if __name__ == "__main__":
    unittest.main()
