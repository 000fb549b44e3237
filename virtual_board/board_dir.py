# SPDX-License-Identifier: MIT
"""The board directory as the front end keeps it: its default contents, its lock,
its text files, its nodes and the stored environment image; and the board as the
drivers take it (nodes, fault rules, error texts, settings), read as the preload
library reads it. The kernel board's host gets the board from here and gives back
the images and fault counters that changed. README.md beside this module
describes the files.
"""

import contextlib
import ctypes
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
        with open(path, "r", encoding="utf-8", errors="surrogateescape", newline="") as f:
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
    for line in text.split("\n"):  # "\n" only, as the library splits
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


# ---- fault rules as `vboard fault` writes them ----

def parse_number(text):
    try:
        return int(text, 0)
    except ValueError:
        fail("not a number: %s" % text)


FAULT_HELP = """fault rules:
  vboard fault DIR add NODE OP [code=0x...] [nth=N|from=N|prob=P seed=S] ACTION [partial=K]
  vboard fault DIR missing NODE       open fails with ENOENT
  vboard fault DIR noperm NODE        open fails with EACCES
  vboard fault DIR error-text NODE [nth=N|from=N|prob=P seed=S] errno=E   the error-text request fails
  vboard fault DIR list
  vboard fault DIR clear [ID...]
NODE is a node name (flash_bios0, nvram0), a flash device name (bios0) or * for all;
OP is one of open read write lseek ioctl close, or erase (the erase request);
ACTION is errno=E, short=K (reads), powercut or silent (writes and erases);
partial=K goes with powercut or silent; without nth/from/prob every call fires."""

I63, U64 = (1 << 63) - 1, (1 << 64) - 1
# The numeric fields: the range the board takes, and its words for it. An error number
# above 4095 is no error to the kernel.
FAULT_NUMBERS = {"code": (0, 0xFFFFFFFF, "0 to 0xffffffff"), "nth": (1, I63, "1 to 2^63-1"),
                 "from": (1, I63, "1 to 2^63-1"), "seed": (0, U64, "0 to 2^64-1"),
                 "errno": (1, 4095, "1 to 4095"), "short": (0, I63, "0 to 2^63-1"),
                 "partial": (0, I63, "0 to 2^63-1")}
FAULT_FLAGS = ("powercut", "silent")
ACTIONS = ("errno", "short", "powercut", "silent")
# prob= as plain decimals only, so that Python and C's strtod read the same number.
_PROB = re.compile(r"(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\Z")


def rule_node(board, word):
    if word == "*":
        return word
    node = node_name(word)
    if node not in nodes(board):
        fail("board %s has no node %s" % (board, node))
    if len(node.encode()) > 63:  # the board's rules hold 63 bytes: it would never fire
        fail("node %s: a rule names nodes of at most 63 bytes" % node)
    return node


def fault_rule(board, action, words):
    """The faults.txt fields of a rule given on the command line; refuses one that would
    do nothing or not what it says."""
    if action in ("missing", "noperm"):
        if len(words) != 1:
            fail("fault %s takes one NODE" % action)
        return "node=%s op=open errno=%d" % (rule_node(board, words[0]),
                                             2 if action == "missing" else 13)
    if action == "error-text":
        if not words:
            fail("fault error-text needs NODE")
        words = [words[0], "ioctl", "code=0x%08x" % contract_number("ZELK_IOC_ERROR_TEXT")] + words[1:]
    if len(words) < 2:
        fail("fault add needs NODE OP")
    node, op = rule_node(board, words[0]), words[1]
    if op not in OPS + ("erase",):
        fail("unknown operation %s (one of %s erase)" % (op, " ".join(OPS)))
    given = {}
    for word in words[2:]:
        key, sep, value = word.partition("=")
        if key not in FAULT_FLAGS + tuple(FAULT_NUMBERS) + ("prob",) or (key in FAULT_FLAGS) == bool(sep):
            fail("bad fault field %s" % word)
        if key in given:
            fail("%s given twice" % key)
        if key in FAULT_NUMBERS:
            low, high, words_for_range = FAULT_NUMBERS[key]
            number = parse_number(value)
            if not low <= number <= high:
                fail("%s out of range (%s)" % (word, words_for_range))
            value = "0x%08x" % number if key == "code" else str(number)
        elif key == "prob" and not (_PROB.match(value) and float(value) <= 1):
            fail("%s is no probability (0 to 1)" % word)
        given[key] = value
    erase = op == "erase" or (op == "ioctl" and given.get("code") == "0x%08x" % contract_number(
        "FLASH_IOC_ERASE"))
    actions = [a for a in ACTIONS if a in given]
    if len(actions) != 1:
        fail("a fault needs exactly one of errno=E, short=K, powercut, silent")
    if len([t for t in ("nth", "from", "prob") if t in given]) > 1:
        fail("one trigger at most: nth=, from= or prob=")
    if ("prob" in given) != ("seed" in given):
        fail("prob= and seed= go together")
    if "code" in given and op != "ioctl":
        fail("erase names its request code itself" if op == "erase" else "code= is for ioctl rules")
    if "short" in given and op != "read":
        fail("short= applies to reads only")
    if "silent" in given and not (op == "write" or erase):
        fail("silent applies to writes and erases only")
    if "partial" in given and not ("silent" in given or ("powercut" in given and op in (
            "write", "ioctl", "erase"))):
        fail("partial= goes with silent, or with powercut at a write or an ioctl")
    fields = ["node=%s" % node]
    fields += ["op=ioctl", "code=0x%08x" % contract_number("FLASH_IOC_ERASE")] if op == "erase" \
        else ["op=%s" % op]
    fields += [k if k in FAULT_FLAGS else "%s=%s" % (k, v) for k, v in given.items()]
    return " ".join(fields)


# ---- the board as the drivers take it, read as the preload library reads it ----

_NUMBER = re.compile(r"[ \t\n\v\f\r]*([+-]?)(0[xX][0-9a-fA-F]+|0[0-7]*|[1-9][0-9]*)\Z")


def to_number(text, fallback):
    """A number in C notation (0x hex, 0 octal), the whole text; else fallback."""
    m = _NUMBER.match(text or "")
    if not m:
        return fallback
    digits = m.group(2)
    base = 16 if digits[1:2] in ("x", "X") else 8 if digits[0] == "0" else 10
    value = int(digits, base) * (-1 if m.group(1) == "-" else 1)
    return value if -(1 << 63) <= value < (1 << 63) else fallback


def to_double(text):
    """The number at the start of text as C's strtod reads it (0 when there is none)."""
    strtod = ctypes.CDLL(None).strtod
    strtod.restype, strtod.argtypes = ctypes.c_double, (ctypes.c_char_p, ctypes.c_void_p)
    return strtod((text or "").encode("utf-8", "surrogateescape"), None)


def node_settings(board, node):
    """What <node>.info says, typed."""
    conf = parse_conf(read_text(os.path.join(board, node + ".info")))
    out = {"flash": conf.get("type") != "nvram", "env": conf.get("env", ""),
           "part_name": conf.get("part_name", "")}
    for key in ("manufacturer_id", "device_id", "size_kbits"):
        out[key] = to_number(conf.get(key), 0)
    return out


def board_settings(board):
    conf = parse_conf(read_text(os.path.join(board, "board.conf")))
    return {"log": conf.get("log") == "on",
            "program_ns_per_byte": to_number(conf.get("program_ns_per_byte"), 0),
            "erase_ms": to_number(conf.get("erase_ms"), 0)}


def error_texts(board):
    """errors.txt as (code, text) in file order; a code beyond 32 bits matches nothing."""
    out = []
    for line in read_text(os.path.join(board, "errors.txt")).split("\n"):
        code, space, text = line.partition(" ")
        number = to_number(code, None) if space and not line.startswith("#") else None
        if number is not None and -(1 << 31) <= number < (1 << 31):
            out.append((number, text))
    return out


def fault_rules(board):
    """faults.txt: each rule its (key, value) fields in file order, "" for a bare word."""
    rules = []
    for line in read_text(os.path.join(board, "faults.txt")).split("\n"):
        fields = [tuple(w.split("=", 1)) if "=" in w else (w, "") for w in line.split(" ") if w]
        if fields and not fields[0][0].startswith("#"):
            rules.append(fields)
    return rules


def rule_field(rule, key):
    """The first value of key in the rule; None when absent."""
    return next((v for k, v in rule if k == key), None)


def write_hits(board, rules, hits):
    """The fault counters that moved into faults.txt, written as the library writes it."""
    moved = False
    for rule, count in zip(rules, hits):
        if count == to_number(rule_field(rule, "hits"), 0):
            continue
        moved = True
        at = next((i for i, (k, _) in enumerate(rule) if k == "hits"), len(rule))
        rule[at:at + 1] = [("hits", str(count))]
    if moved:
        write_text(os.path.join(board, "faults.txt"), "".join(
            " ".join(k + ("=" + v if v or k == "node" else "") for k, v in rule) + "\n"
            for rule in rules))


def write_image(board, node, data):
    write_in_place(os.path.join(board, node + ".img"), data)
