# SPDX-License-Identifier: MIT
"""Power cut at each request of a programming run, a dump and a load, in turn: afterwards
-crc vouches only for a whole image, the old dump file survives, the environment holds each
key old or new (or, where a load must clear, the text's first keys), and the same command
run again completes."""

import os
import pathlib
import signal
import unittest

import harness
from flash_reference import bios_device, fpga_device, random_bytes

BIOS = random_bytes(0x50, 20)
FPGA = [random_bytes(17, 21), random_bytes(40, 22)]
# What the devices hold before each run: an older image, so that -erase has to erase.
OLD_BIOS = bios_device(random_bytes(0x60, 23), 512 << 10)
OLD_FPGA = fpga_device([random_bytes(50, 24)], 1 << 20)
SMALL = random_bytes(1024, 25)
# device, its contents before, command, [from, to) that -crc vouches for (the BIOS header
# lies outside the CRC), -crc layout, whether the kernel board runs it
ROWS = (
    ("bios0", OLD_BIOS, ["-erase", "-pbios", "bios.bin", "-verify"], (0x40, 0x40000), "bios",
     True),
    ("fpga0", OLD_FPGA, ["-erase", "-pfpga", "f0.bin", "f1.bin", "-verify"], (0, 0x80000),
     "fpga", False),
    ("small", SMALL, ["-dump", "out.bin"], None, None, True),
)
READ_STRIDE = 32  # of a run of reads, which change nothing, the first, last and every 32nd


def cut_points(log, kernel):
    """(op, nth) of the requests of a clean run to cut at."""
    points, seen = [], {}
    for i, op in enumerate(log):
        seen[op] = seen.get(op, 0) + 1
        first = i == 0 or log[i - 1] != "read"
        last = i + 1 == len(log) or log[i + 1] != "read"
        if op != "read" or first or not kernel and (last or seen[op] % READ_STRIDE == 0):
            points.append((op, seen[op]))
    return points


class test_power_cuts(harness.board_test_case):
    def restore(self, device, old, cut=""):  # cut: "<node> <op> <nth>"
        with open(self.board.image_path(device), "wb") as f:
            f.write(old)
        with open(os.path.join(self.board.dir, "faults.txt"), "w") as f:
            if cut:  # as `vboard fault add` writes it, without a process of its own
                f.write("id=1 node=%s op=%s nth=%d powercut partial=7 hits=0\n" % cut)
        self.board.put("out.bin", b"old dump")
        self.board.clear_log()

    def test_every_request_cut_in_turn(self):
        self.board.vboard("log", "on")
        self.board.add_flash("small", SMALL)
        dumped = pathlib.Path(self.board.work, "out.bin").read_bytes
        for name, data in (("bios.bin", BIOS), ("f0.bin", FPGA[0]), ("f1.bin", FPGA[1])):
            self.board.put(name, data)
        for device, old, command, vouched, layout, on_kernel in ROWS:
            if harness.KERNEL and not on_kernel:
                continue
            args = ["-dev", device, *command]
            self.restore(device, old)
            clean = self.romtool(*args)
            self.assertEqual(clean.status, 0)
            new = self.board.image(device)
            node = os.path.basename(self.board.image_path(device))[:-4]
            log = [r["op"] for r in self.board.requests() if r["node"] == node]
            for op, nth in cut_points(log, harness.KERNEL):
                with self.subTest(command=command[-2], op=op, nth=nth):
                    self.restore(device, old, (node, op, nth))
                    self.assertEqual(self.romtool(*args).status, -signal.SIGKILL)
                    now = self.board.image(device)
                    if layout:
                        status, stdout = self.romtool("-dev", device, "-crc", layout)[:2]
                        whole = any(now[slice(*vouched)] == image[slice(*vouched)]
                                    for image in (old, new))
                        self.assertEqual((status, stdout.split(b"\n")[-2]),
                                         (0, b"crc OK") if whole else (1, b"crc mismatch"))
                    else:
                        self.assertIn(dumped(), (b"old dump", SMALL))
                    self.restore(device, now)  # no rule left, the device as cut
                    self.assertEqual(self.romtool(*args)[:2], clean[:2])
                    self.assertEqual(self.board.image(device), new)
                    self.assertEqual(layout or dumped(), layout or SMALL)
            if layout:
                self.assertEqual(self.romtool("-dev", device, "-crc", layout)[0], 0)

    def test_load_cut_after_each_request(self):
        # Cut just after each request completes: partial= the whole store. On this driver
        # model a cut inside a set leaves the store erased, which no tool can prevent.
        before = self.board.image("flash_env0")
        stored = [e.split(b"=", 1) for e in self.board.env_entries("flash_env0")]
        default, size = dict(stored), len(before)
        rows = (  # what the text keeps of the store, whether a clear is needed
            ({**default, b"serverip": b"10.0.0.1", b"bootdelay": b"", b"new": b"1"}, False),
            ({**{k: v for k, v in default.items() if k != b"netmask"}, b"ipaddr": b"1.2.3.4"},
             True),
        )
        self.board.vboard("log", "on")
        for text, clears in rows:
            loaded = b"".join(k + b"=" + v + b"\n" for k, v in text.items())
            self.board.put("in.env", loaded)
            with open(self.board.image_path("flash_env0"), "wb") as f:
                f.write(before)
            self.board.clear_log()
            self.assertEqual(self.romtool("-load", "in.env")[:2], (0, b""))
            log = [r["op"] for r in self.board.requests() if r["node"] == "flash_env0"]
            self.assertEqual("ioctl" in log and log.count("ioctl") > len(text), clears)
            for point in cut_points(log, harness.KERNEL):
                with self.subTest(clears=clears, cut=point):
                    with open(self.board.image_path("flash_env0"), "wb") as f:
                        f.write(before)
                    with open(os.path.join(self.board.dir, "faults.txt"), "w") as f:
                        f.write("id=1 node=flash_env0 op=%s nth=%d powercut partial=%d hits=0\n"
                                % (*point, size))
                    self.assertEqual(self.romtool("-load", "in.env").status, -signal.SIGKILL)
                    now = [e.split(b"=", 1) for e in self.board.env_entries("flash_env0")]
                    if clears:  # the driver removes no key: as before, or the text's first keys
                        self.assertIn(now, (stored, [[k, v] for k, v in text.items()][:len(now)]))
                    else:
                        self.assertTrue(all(v in (default.get(k), text[k]) for k, v in now), now)
                        self.assertLessEqual(set(default), {k for k, _ in now})
                    open(os.path.join(self.board.dir, "faults.txt"), "w").close()
                    self.assertEqual(self.romtool("-load", "in.env")[:2], (0, b""))
                    self.assertEqual(dict(e.split(b"=", 1) for e in
                                          self.board.env_entries("flash_env0")), text)


if __name__ == "__main__":
    unittest.main()
