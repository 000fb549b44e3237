#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Deliberate-break score: how many plausible faults does the host test suite catch?

  scripts/break_check.py [REVISION] [--jobs N] [--scratch DIR] [--only NAME...]

Exports REVISION (default HEAD) of this repository into a scratch directory,
builds the host tree there and runs its tests once as they stand (they must
pass). Then, one at a time, applies each break below, rebuilds incrementally,
runs the host ctest and puts the source back. A break is "caught" when the
build or a test fails, "missed" when everything passes, and "not applicable"
when none of its patterns matches the revision's code.

Each break is a list of alternatives (file glob, regular expression,
replacement), so that it still finds its place after the code around it has
been reworked. The first alternative that matches is applied, once; a break
marked `every` applies every alternative that matches (a value defined in
more than one place at some revision).
"""

import argparse
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# The board core's sources: under virtual_board/, in board_core/ before it moved there.
CORE = ("virtual_board/core/*.c", "board_core/*.c")

BREAKS = [
    {
        "name": "write limit one byte too large",
        "alts": [
            (CORE, r"count > ZELK_WRITE_MAX\b", "count > ZELK_WRITE_MAX + 1"),
            ("virtual_board/*.cpp", r"count > (max_transfer|ZELK_WRITE_MAX)\b", r"count > \1 + 1"),
        ],
    },
    {
        "name": "driver codes start one above 128",
        "alts": [
            ("libs/zelk/*.cpp", r"<= 127\b", "<= 128"),
            ("libs/zelk/*.cpp", r"<= ZELK_ERRNO_MAX_SYSTEM\b", "<= ZELK_ERRNO_MAX_SYSTEM + 1"),
            ("libs/zelk/*.cpp", r"> ZELK_ERRNO_MAX_SYSTEM\b", "> ZELK_ERRNO_MAX_SYSTEM + 1"),
        ],
    },
    {
        "name": "BIOS CRC padded one word short",
        "alts": [
            ("romtool/*.cpp", r"(\w+) != image::bios_region\b", r"\1 != image::bios_region - 4"),
            ("romtool/*.h", r"bios_region = 0x40000", "bios_region = 0x3FFFC"),
        ],
    },
    {
        "name": "BIOS CRC stored little-endian",
        "alts": [
            ("romtool/program_bios.cpp", r"put_be32\((\w+), ([^;]*crc[^;]*)\);",
             r"put_be32(\1, __builtin_bswap32(\2));"),
        ],
    },
    {
        "name": "board's environment CRC stored little-endian",
        "alts": [
            (CORE, r"crc = (zc_crc32\([^;]*\));", r"crc = __builtin_bswap32(\1);"),
            ("virtual_board/*.cpp", r"for \(int shift = 24; shift >= 0; shift -= 8\)",
             "for (int shift = 0; shift <= 24; shift += 8)"),
        ],
    },
    {
        "name": "thread test's waiting line not flushed",
        "alts": [
            ("romtool/*.cpp", r'"waiting for ctrl-c" << std::endl', r'"waiting for ctrl-c\\n"'),
            ("romtool/*.cpp", r'"waiting for ctrl-c\\n" << std::flush', r'"waiting for ctrl-c\\n"'),
        ],
    },
    {
        "name": "erase request code changed",
        "every": True,
        "alts": [
            ("libs/zelk/zelk_ioctl.h", r"FLASH_IOC_ERASE 0x2000C001u", "FLASH_IOC_ERASE 0x2000C011u"),
            ("libs/zelk/zelk_driver.h", r"FLASH_IOC_ERASE = 0x2000C001u",
             "FLASH_IOC_ERASE = 0x2000C011u"),
        ],
    },
    {
        "name": "board's write does not advance the offset",
        "alts": [
            (CORE, r"file->pos = pos \+ \(int64_t\)count;", "file->pos = pos;"),
            ("virtual_board/*.cpp", r"real::lseek\(fd, pos \+ static_cast<off64_t>\(count\), SEEK_SET\)",
             "real::lseek(fd, pos, SEEK_SET)"),
            ("virtual_board/*.cpp", r"advance\(fd, pos, count\)", "advance(fd, pos, 0)"),
        ],
    },
    {
        "name": "close-on-exec dropped",
        "alts": [
            ("libs/posix/file.cpp", r"\n\s*sys::fcntl\(fd, F_SETFD, FD_CLOEXEC\);", ""),
            ("libs/posix/file.cpp", r"flags_ \| O_CLOEXEC", "flags_"),
        ],
    },
    {
        "name": "dump to file reads 16 bytes at a time",
        "alts": [
            ("romtool/dump_to_file.cpp", r"buffer\[32\]", "buffer[16]"),
            ("romtool/*.h", r"dump_chunk_size = 32", "dump_chunk_size = 16"),
        ],
    },
    {
        "name": "short read of the image written whole",
        "alts": [
            ("romtool/program_device.cpp", r"device\.write\(buffer, got\)",
             "device.write(buffer, sizeof buffer)"),
            ("romtool/program_bios.cpp", r"device\.write\(buffer, static_cast<size_t>\(got\)\)",
             "device.write(buffer, sizeof buffer)"),
            ("romtool/device_io.cpp", r"device\.write\(data \+ done, piece\)",
             "device.write(data + done, image::chunk_size)"),
        ],
    },
    {
        "name": "environment field one byte short",
        "alts": [
            ("libs/zelk/zelk_env.cpp", r"\.size\(\) > (\w*ENV_FIELD_SIZE)\b", r".size() > \1 - 1"),
        ],
    },
    {
        "name": "usage exits with status 0",
        "alts": [
            ("romtool/usage.cpp", r"return 1;", "return 0;"),
        ],
    },
    # Guards: requests and open flags per command, the lock, fsync before rename, odd sizes.
    {
        "name": "info opens the node read-write",
        "alts": [
            ("romtool/device_info.cpp", r"driver_t (\w+)\(path, O_RDONLY\)", r"driver_t \1(path, O_RDWR)"),
        ],
    },
    {
        "name": "dump opens the node read-write",
        "alts": [
            ("romtool/dump_to_file.cpp", r"driver_t (\w+)\(path, O_RDONLY\)", r"driver_t \1(path, O_RDWR)"),
        ],
    },
    {
        "name": "environment opened without O_SYNC",
        "alts": [
            ("libs/zelk/zelk_env.cpp", r"O_RDWR \| O_SYNC", "O_RDWR"),
        ],
    },
    {
        "name": "the device reader of -crc, -verify and -ifchanged opens it read-write",
        "alts": [
            ("romtool/verify_image.cpp", r"driver_t (\w+)\(path, O_RDONLY\)", r"driver_t \1(path, O_RDWR)"),
            ("romtool/*.cpp", r"(read_device\([^)]*\)\s*\{[^}]*?driver_t \w+\(\w+, )O_RDONLY\)", r"\1O_RDWR)"),
        ],
    },
    {
        "name": "ifchanged erases without -erase",
        "alts": [
            ("romtool/*.cpp", r"!\s*options\.erase\s*\|\|\s*", ""),
            ("romtool/*.cpp", r"if \(!options\.erase\)\s*return before_writing_t::write;", ""),
            ("romtool/verify_image.cpp", r"if \(!options\.erase\) \{", "if (false) {"),
        ],
    },
    {
        "name": "verify asks for an erase",
        "alts": [
            ("romtool/*.cpp", r'(\.erase\s*=\s*args\.find\("-erase"\))', r'\1 || args.find("-verify")'),
        ],
    },
    {
        "name": "dump takes no lock",
        "alts": [
            ("romtool/main.cpp", r"lock_device\(path, lock_mode_t::shared\);(\s*)dump_to_file", r"\1dump_to_file"),
            ("romtool/main.cpp", r'("-dump"[^\n]*)lock_mode_t::shared', r"\1lock_mode_t::none"),
        ],
    },
    {
        "name": "get takes the lock exclusively",
        "alts": [
            ("romtool/main.cpp", r"lock_device\(env_node, lock_mode_t::shared\)",
             "lock_device(env_node, lock_mode_t::exclusive)"),
            ("romtool/main.cpp", r'("-get"[^\n]*)lock_mode_t::shared', r"\1lock_mode_t::exclusive"),
        ],
    },
    {
        "name": "pfpga takes the lock shared",
        "alts": [
            ("romtool/main.cpp", r"lock_mode_t::exclusive(\);\s*program_fpga)", r"lock_mode_t::shared\1"),
            ("romtool/main.cpp", r'("-pfpga"[^\n]*)lock_mode_t::exclusive', r"\1lock_mode_t::shared"),
        ],
    },
    {
        "name": "lock of a device node named after its inode",
        "alts": [
            ("romtool/device_lock.cpp", r"if \(S_ISCHR\(st\.stx_mode\) \|\| S_ISBLK\(st\.stx_mode\)\)", "if (false)"),
            ("romtool/device_lock.cpp", r"S_ISCHR\((\w+)\.st(x?)_mode\)", "false"),
        ],
    },
    {
        "name": "lock always taken shared",
        "alts": [
            ("romtool/device_lock.cpp", r"\? LOCK_SH : LOCK_EX", "? LOCK_SH : LOCK_SH"),
        ],
    },
    {
        "name": "dump renamed into place without fsync",
        "alts": [
            ("romtool/dump_to_file.cpp", r"\w+->sync\(\);(\s*\w+->close\(\);\s*if \(::rename)", r"\1"),
        ],
    },
    {
        "name": "dump renamed into place before fsync",
        "alts": [
            ("romtool/dump_to_file.cpp",
             r"(\n\s*)(\w+->sync\(\);\s*\w+->close\(\);\s*if \(::rename\((\w+)\.c_str\(\), (\w+)\.c_str\(\)\))",
             r"\1(void)::rename(\3.c_str(), \4.c_str());\1\2"),
        ],
    },
    {
        "name": "dump replaces a link by a file",
        "alts": [
            ("romtool/dump_to_file.cpp", r"\? real_path\((\w+)\) :", r"? (real_path(\1), \1) :"),
        ],
    },
    {
        "name": "dump writes the whole last piece",
        "alts": [
            ("romtool/dump_to_file.cpp", r"\.write\(buffer, static_cast<size_t>\(got\)\)", ".write(buffer, sizeof buffer)"),
        ],
    },
    {
        "name": "screen dump prints whole pieces past its count",
        "alts": [
            ("romtool/dump_device.cpp", r"if \(--count == 0\)", "if (--count == -1)"),
        ],
    },
    # The board core: one copy of the driver's rules for both boards.
    {
        "name": "core: erase leaves the last byte",
        "alts": [
            (CORE, r"zc_store\(call, NULL, 0, call->node->size, 0\)",
             "zc_store(call, NULL, 0, call->node->size - 1, 0)"),
        ],
    },
    {
        "name": "core: programming ORs instead of ANDs",
        "alts": [
            (CORE, r"cells\[i\] &= node->data", "cells[i] |= node->data"),
        ],
    },
    {
        "name": "core: fault counter does not advance",
        "alts": [
            (CORE, r"\n\s*rule->hits\+\+;", ""),
        ],
    },
    {
        "name": "core: environment CRC one byte short",
        "alts": [
            (CORE, r"zc_crc32\(image \+ ENV_HEADER, size - ENV_HEADER\)",
             "zc_crc32(image + ENV_HEADER, size - ENV_HEADER - 1)"),
        ],
    },
    {
        "name": "core: lseek logged as another request",
        "alts": [
            (CORE, r'zc_begin\(&call, board, node, "lseek"\)',
             'zc_begin(&call, board, node, "seek")'),
        ],
    },
    {
        "name": "core: short reads of a fault ignored",
        "alts": [
            (CORE, r"n = \(uint64_t\)call->fault\.short_to;", "(void)0;"),
        ],
    },
    {
        "name": "core: power cut programs one byte more",
        "alts": [
            (CORE, r"partial < size \? partial : size", "partial < size ? partial + 1 : size"),
        ],
    },
]


def run(cmd, log, timeout=None, **kw):
    with open(log, "ab") as out:
        out.write(("\n$ %s\n" % " ".join(cmd)).encode())
        out.flush()
        try:
            return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, timeout=timeout,
                                  **kw).returncode
        except subprocess.TimeoutExpired:
            out.write(b"\n(timed out)\n")
            return None


def apply(src, brk):
    """Applies a break; returns {path: original text}, empty when nothing matched."""
    changed = {}
    for patterns, regex, replacement in brk["alts"]:
        patterns = (patterns,) if isinstance(patterns, str) else patterns
        paths = [p for pattern in patterns for p in sorted(glob.glob(os.path.join(src, pattern)))]
        for path in paths:
            with open(path, encoding="utf-8") as f:
                text = f.read()
            new, count = re.subn(regex, replacement, text, count=1)
            if count:
                changed.setdefault(path, text)  # the first text is the original
                with open(path, "w", encoding="utf-8") as f:
                    f.write(new)
                break
        if changed and not brk.get("every"):
            break
    return changed


def restore(changed):
    for path, text in changed.items():
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)


def main():
    # The thread tests end romtool with SIGINT: started from a script in the background,
    # this process and all it starts would otherwise ignore it.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("revision", nargs="?", default="HEAD")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--scratch", help="directory to work in (default: a new one under /tmp)")
    ap.add_argument("--only", nargs="*", help="break names (substrings) to run")
    ap.add_argument("--dry-run", action="store_true",
                    help="only show where each break applies; build nothing")
    ap.add_argument("--test-timeout", type=int, default=1200, help="seconds for one ctest run")
    ap.add_argument("--matrix", action="store_true",
                    help="run every test under each break and name the ones that fail")
    a = ap.parse_args()

    repo = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True, text=True,
                          check=True).stdout.strip()
    rev = subprocess.run(["git", "-C", repo, "rev-parse", "--short", a.revision],
                         capture_output=True, text=True, check=True).stdout.strip()
    scratch = a.scratch or tempfile.mkdtemp(prefix="break-%s-" % rev)
    src, build = os.path.join(scratch, "src"), os.path.join(scratch, "build")
    log = os.path.join(scratch, "log.txt")
    if os.path.exists(src):
        shutil.rmtree(src)
    os.makedirs(src)
    archive = subprocess.Popen(["git", "-C", repo, "archive", rev], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", src], stdin=archive.stdout, check=True)
    if archive.wait() != 0:
        sys.exit("git archive %s failed" % rev)
    print("revision %s in %s (log: %s)" % (rev, scratch, log), flush=True)

    if a.dry_run:
        for brk in BREAKS:
            changed = apply(src, brk)
            restore(changed)
            where = ", ".join(os.path.relpath(p, src) for p in changed)
            print("%-48s %s" % (brk["name"], where or "not applicable"))
        return

    jobs = str(a.jobs)
    build_cmd = ["cmake", "--build", build, "-j", jobs]
    test_cmd = ["ctest", "--test-dir", build, "-j", jobs, "--output-on-failure", "--timeout",
                "300"] + ([] if a.matrix else ["--stop-on-failure"])
    failed_list = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
    if run(["cmake", "-S", src, "-B", build, "-G", "Ninja"], log) != 0 \
            or run(build_cmd, log) != 0:
        sys.exit("the unbroken revision does not build; see " + log)
    if run(test_cmd, log, timeout=a.test_timeout) != 0:
        sys.exit("the unbroken revision fails its tests; see " + log)

    results = []
    for brk in BREAKS:
        if a.only and not any(o in brk["name"] for o in a.only):
            continue
        changed = apply(src, brk)
        if not changed:
            verdict = "not applicable"
        else:
            started = time.time()
            where = ", ".join(os.path.relpath(p, src) for p in changed)
            with open(log, "a") as out:
                out.write("\n==== break: %s (%s)\n" % (brk["name"], where))
            if run(build_cmd, log) != 0:
                verdict = "caught (build)"
            else:
                status = run(test_cmd, log, timeout=a.test_timeout)
                verdict = "missed" if status == 0 else (
                    "caught (timeout)" if status is None else "caught")
                if a.matrix and status and os.path.exists(failed_list):
                    with open(failed_list) as f:  # lines "N:name"
                        names = [line.strip().split(":", 1)[-1] for line in f if line.strip()]
                    verdict += " by " + " ".join(names)
            restore(changed)
            verdict += " [%s, %ds]" % (where, time.time() - started)
        results.append((brk["name"], verdict))
        print("%-48s %s" % (brk["name"], verdict), flush=True)

    run(build_cmd, log)  # leave the scratch tree built as exported
    applicable = [v for _, v in results if not v.startswith("not applicable")]
    caught = [v for v in applicable if v.startswith("caught")]
    print("caught %d of %d (%d not applicable) at %s"
          % (len(caught), len(applicable), len(results) - len(applicable), rev), flush=True)


if __name__ == "__main__":
    main()
