# SPDX-License-Identifier: MIT
"""The invocations of the end-to-end suite, each on a fresh board, with what they leave
behind: status, stdout, the request sequence and every node's contents. test_unchanged.py
compares these against unchanged.golden.json, recorded once from romtool before its
modifiers, the -crc command and the device lock existed. To record it again (only when
the documented behaviour changes on purpose):

    ROMTOOL=build/host/romtool/romtool VBOARD=virtual_board/vboard \\
    VBOARD_PRELOAD=build/host/virtual_board/libvboard.so \\
        python3 tests/e2e/unchanged_cases.py > tests/e2e/unchanged.golden.json
"""

import hashlib
import json
import os
import random
import sys


def data(size, seed):
    return random.Random(seed).randbytes(size)


# Files put in the work folder before each case.
FILES = {"img.bin": data(1000, 1), "bios.bin": data(0x1003, 2), "big.bin": data(0x40001, 3),
         "f1.bin": data(17, 4), "f2.bin": data(33, 5), "empty.bin": b""}

# name: (command line, board set-up as vboard commands after the board's directory)
CASES = {
    "no arguments": ([], []),
    "unknown option": (["-x"], []),
    "digit attached": (["-rmt5"], []),
    "dev without name": (["-dev"], []),
    "dev before option": (["-dev", "-e"], []),
    "set without value": (["-set", "key"], []),
    "get without key": (["-get", "-i"], []),
    "p without file": (["-p"], []),
    "pbios without file": (["-pbios"], []),
    "pfpga without file": (["-pfpga"], []),
    "h is no option yet": (["-H"], []),
    "info default": (["-i"], []),
    "info bios0": (["-dev", "bios0", "-i"], []),
    "info fpga1": (["-dev", "fpga1", "-i"], []),
    "info missing": (["-dev", "nosuch", "-i"], []),
    "info and dump": (["-i", "-r", "16"], []),
    "dump 64": (["-dev", "bios0", "-r"], []),
    "dump hex": (["-dev", "env0", "-r", "0x20"], []),
    "dump decimal": (["-dev", "env0", "-r", "010"], []),
    "dump zero": (["-dev", "env0", "-r", "0"], []),
    "dump to file": (["-dev", "env0", "-dump", "out.bin"], []),
    "dump default file": (["-dev", "booter", "-dump"], []),
    "dump read fault": (["-dev", "bios0", "-dump", "out.bin"],
                        [["fault", "add", "bios0", "read", "nth=2", "errno=128"]]),
    "erase": (["-dev", "bios1", "-e"], []),
    "erase fault": (["-dev", "bios0", "-e"],
                    [["fault", "add", "bios0", "ioctl", "code=0x2000c001", "errno=130"]]),
    "erase missing": (["-dev", "nosuch", "-e"], []),
    "erase noperm": (["-dev", "bios0", "-e"], [["fault", "noperm", "bios0"]]),
    "set": (["-set", "k", "v"], []),
    "set two words": (["-set", "k", "v w"], []),
    "set over dev": (["-dev", "nvram0", "-set", "k", "v"], []),
    "get": (["-get", "serverip"], []),
    "get missing key": (["-get", "nokey"], []),
    "get missing store": (["-get", "serverip"], [["fault", "missing", "env0"]]),
    "set then erase wins": (["-set", "k", "v", "-e"], []),
    "threads too many": (["-rmt", "13"], []),
    "writers too many": (["-wmt", "13"], []),
    "program plain": (["-dev", "bios0", "-p", "img.bin"], []),
    "program plain empty": (["-dev", "bios0", "-p", "empty.bin"], []),
    "program plain missing": (["-dev", "bios0", "-p", "nosuch.bin"], []),
    "program plain write fault": (["-dev", "bios0", "-p", "img.bin"],
                                  [["fault", "add", "bios0", "write", "nth=3", "errno=129"]]),
    "program bios": (["-dev", "bios0", "-pbios", "bios.bin"], []),
    "program bios long": (["-dev", "bios0", "-pbios", "big.bin"], []),
    "program bios missing": (["-dev", "bios0", "-pbios", "nosuch.bin"], []),
    "program bios write fault": (["-dev", "bios0", "-pbios", "bios.bin"],
                                 [["fault", "add", "bios0", "write", "nth=3", "errno=5"]]),
    "program bios over an image": (["-dev", "bios0", "-pbios", "bios.bin"],
                                   [["import", "bios0", "img.bin"]]),
    "program fpga": (["-dev", "fpga0", "-pfpga", "f1.bin", "f2.bin"], []),
    "program fpga seek fault": (["-dev", "fpga0", "-pfpga", "img.bin"],
                                [["fault", "add", "fpga0", "lseek", "errno=22"]]),
    "program fpga missing": (["-dev", "fpga0", "-pfpga", "f1.bin", "nosuch.bin"], []),
    "pbios loses to p": (["-pbios", "img.bin", "-p", "img.bin", "-dev", "bios1"], []),
    "pfpga before i": (["-i", "-pfpga", "img.bin", "-dev", "fpga1"], []),
    "stray option with info": (["-x", "-i", "stray"], []),
}

# Requests listed one by one; longer sequences are kept as a digest and their ends.
LISTED = 100

# Fields of a request that do not vary from run to run.
STABLE = ("node", "op", "flags", "off", "len", "whence", "code", "errcode", "key", "value",
          "result", "errno", "fault")


def record(name):
    import harness  # after the environment is set
    args, setup = CASES[name]
    board = harness.board_t()
    try:
        for file, content in FILES.items():
            board.put(file, content)
        for command in setup:
            if command[0] == "import":
                command = [command[0], command[1], os.path.join(board.work, command[2])]
            board.vboard(*command)
        board.vboard("log", "on")
        result = board.run(*args, timeout=60)
        requests = [" ".join("%s=%s" % (key, value) for key, value in zip(STABLE, r)
                             if value is not None) for r in board.requests(*STABLE)]
        if len(requests) > LISTED:
            # A long run of reads or writes: its ends in full, the whole by its digest.
            digest = hashlib.sha256("\n".join(requests).encode()).hexdigest()
            requests = {"count": len(requests), "sha256": digest,
                        "first": requests[:LISTED // 2], "last": requests[-LISTED // 2:]}
        images = {}
        for entry in sorted(os.listdir(board.dir)):
            if entry.endswith(".img"):
                with open(os.path.join(board.dir, entry), "rb") as f:
                    images[entry] = hashlib.sha256(f.read()).hexdigest()
        outputs = sorted(e for e in os.listdir(board.work) if e not in FILES)
        return {"args": args, "status": result.status,
                "stdout": result.stdout.decode("latin-1"), "stderr": result.stderr.decode(),
                "requests": requests, "images": images, "files": outputs}
    finally:
        board.close()


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    json.dump({name: record(name) for name in CASES}, sys.stdout, indent=1, sort_keys=True)
    sys.stdout.write("\n")
