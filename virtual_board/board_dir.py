# SPDX-License-Identifier: MIT
"""The board directory as the front end keeps it: its default contents, its lock,
its text files, its nodes and the stored environment image. The preload library
reads the same files (README.md beside this module describes them).
"""

import contextlib
import fcntl
import os
import re
import struct
import sys
import zlib

PREFIX = "vboard: "

# name, manufacturer id, device id, size in bytes, part name, environment store
DEFAULT_FLASH = [
    ("fpga0", 0xC2, 0x22DA, 1 << 20, "MX29LV800CT", ""),
    ("fpga1", 0xC2, 0x22DA, 1 << 20, "MX29LV800CT", ""),
    ("bios0", 0xBF, 0xD7, 512 << 10, "SST39VF040", ""),
    ("bios1", 0xBF, 0xD7, 512 << 10, "SST39VF040", ""),
    ("booter", 0x01, 0x22BF, 256 << 10, "AM29LV200BB", ""),
    ("env0", 0xBF, 0xD4, 64 << 10, "SST39VF512", "flash"),
    ("env1", 0xBF, 0xD4, 64 << 10, "SST39VF512", ""),
]
NVRAM_SIZE = 8 << 10

DEFAULT_ENV = [
    ("serverip", "192.168.1.1"),
    ("ipaddr", "192.168.1.20"),
    ("netmask", "255.255.255.0"),
    ("hostname", "zelk"),
    ("bootdelay", "3"),
]

DEFAULT_ERRORS = [
    (128, "flash device busy"),
    (129, "flash program verify failed"),
    (130, "flash erase timeout"),
    (131, "flash sector write protected"),
    (132, "environment store corrupt"),
]

OPS = ("open", "read", "write", "lseek", "ioctl", "close")

# The driver contract, a C header shared with the tool and the library: installed
# beside this script, or in the source tree.
CONTRACT_PLACES = ("zelk_ioctl.h", os.path.join("..", "libs", "zelk", "zelk_ioctl.h"))


def contract_number(name):
    """The number that the driver contract #defines as NAME."""
    here = os.path.dirname(os.path.realpath(__file__))
    for place in CONTRACT_PLACES:
        path = os.path.join(here, place)
        if os.path.exists(path):
            m = re.search(r"^#define %s (0x[0-9A-Fa-f]+|\d+)u?\b" % re.escape(name),
                          read_text(path), re.M)
            if not m:
                fail("%s defines no %s" % (path, name))
            return int(m.group(1), 0)
    fail("no driver contract (zelk_ioctl.h) beside %s" % here)


def fail(message):
    sys.stderr.write(PREFIX + message + "\n")
    sys.exit(1)


@contextlib.contextmanager
def board_lock(board):
    """The library's lock: flock on DIR/lock, held for the whole change."""
    fd = os.open(os.path.join(board, "lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def need_board(board):
    if not os.path.isfile(os.path.join(board, "board.conf")):
        fail("no board at %s" % board)


def read_text(path):
    try:
        with open(path, "r", encoding="utf-8", errors="surrogateescape") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def write_text(path, text):
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(text)


def write_in_place(path, data):
    # In place, never by rename: open descriptors of the node keep the same file.
    with open(path, "r+b" if os.path.exists(path) else "wb") as f:
        f.write(data)
        f.truncate()


def parse_conf(text):
    conf = {}
    for line in text.splitlines():
        if not line or line.startswith("#") or "=" not in line:
            continue
        key, value = line.split("=", 1)
        conf[key] = value  # a later line overrides an earlier one
    return conf


def set_conf(board, key, value):
    path = os.path.join(board, "board.conf")
    lines = [l for l in read_text(path).splitlines() if not l.startswith(key + "=")]
    lines.append("%s=%s" % (key, value))
    write_text(path, "\n".join(lines) + "\n")


def nodes(board):
    out = []
    for name in sorted(os.listdir(board)):
        if name.endswith(".info") and os.path.exists(os.path.join(board, name[:-5] + ".img")):
            out.append(name[:-5])
    return out


def node_name(device):
    """Accepts a node ("flash_bios0", "nvram0") or a flash device name ("bios0")."""
    return device if device.startswith("flash_") or device.startswith("nvram") else "flash_" + device


# ---- environment image: CRC-32 (big-endian) of the rest, entries, empty entry, erased rest ----

def env_entries(image):
    entries = []
    pos = 4
    while pos < len(image):
        end = image.find(b"\0", pos)
        if end < 0 or end == pos:
            break
        entries.append(image[pos:end])
        pos = end + 1
    return entries


def env_build(entries, size):
    body = b"".join(e + b"\0" for e in entries) + b"\0"
    if 4 + len(body) > size:
        raise ValueError("environment does not fit")
    body += b"\xff" * (size - 4 - len(body))
    return struct.pack(">I", zlib.crc32(body)) + body


def env_store_node(board, store):
    for node in nodes(board):
        if parse_conf(read_text(os.path.join(board, node + ".info"))).get("env") == store:
            return node
    fail("board %s has no %s environment store" % (board, store))


def info_text(node_type, manufacturer, device, size, part, env):
    lines = ["type=%s" % node_type]
    if node_type == "flash":
        lines += [
            "manufacturer_id=0x%02x" % manufacturer,
            "device_id=0x%04x" % device,
            "size_kbits=%d" % (size * 8 // 1024),
            "part_name=%s" % part,
        ]
    if env:
        lines.append("env=%s" % env)
    return "\n".join(lines) + "\n"


def device_path(board, device):
    node = node_name(device)
    path = os.path.join(board, node + ".img")
    if not os.path.exists(path):
        fail("board %s has no device %s" % (board, node))
    return path
