# SPDX-License-Identifier: MIT
"""The kernel board's line to its guest (agent/agent.c describes the commands and
replies) and the driver's records (zelk_board_control.h), packed for the 32-bit
big-endian guest from the board folder as board_dir.py reads it."""

import math
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "virtual_board"))
import board_dir  # noqa: E402  pylint: disable=wrong-import-position,import-error

PREFIX = b"@@zb "
MAILBOX_SIZE = 64 << 20
MAILBOX_OUT = 32 << 20  # the guest's data from here on, the host's below

with open(os.path.join(HERE, "zelk_board_control.h")) as _f:
    _HEADER = _f.read()
# The header's numbers: sizes and enums, and each control request's number (a load's kinds).
C = {name: int(value) for name, value in re.findall(r"\b(ZB_\w+) (?:= )?(-?\d+)\b", _HEADER)}
KIND = {name: int(nr) for name, nr in re.findall(r"#define ZB_CTL_(\w+) _IO\w*\('z', (\d+)", _HEADER)}

# The records with explicit sizes and no padding: the agent's build checks each size
# against the header's structs (SIZES become its -D flags).
NODE_RECORD = struct.Struct(">%ds5i52sQQii" % C["ZB_NAME_SIZE"])
RULE = struct.Struct(">%ds%dsiIiiqQQiiiiqqq" % (C["ZB_NAME_SIZE"], C["ZB_OP_SIZE"]))
ERROR_RECORD = struct.Struct(">ii200s")
CONF = struct.Struct(">iiqq")
SIZES = {"NODE_RECORD": NODE_RECORD.size, "RULE": RULE.size,
         "ERROR_RECORD": ERROR_RECORD.size, "CONF": CONF.size}
ENV = {"flash": C["ZB_ENV_FLASH"], "nvram": C["ZB_ENV_NVRAM"]}


def _text(value, width):
    # NUL-ended within the field, as the C side reads it
    return value.encode("utf-8", "surrogateescape")[:width - 1]


def _int32(value):
    return (value + (1 << 31)) % (1 << 32) - (1 << 31)


def node_name(record):
    return record[:C["ZB_NAME_SIZE"]].split(b"\0")[0].decode("utf-8", "surrogateescape")


def node_record(name, settings, size):
    return NODE_RECORD.pack(
        _text(name, C["ZB_NAME_SIZE"]), 1 if settings["flash"] else 0,
        ENV.get(settings["env"], C["ZB_ENV_NONE"]), _int32(settings["manufacturer_id"]),
        _int32(settings["device_id"]), _int32(settings["size_kbits"]),
        _text(settings["part_name"], 52), 0, size, 0, 0)


def _threshold(prob):
    # the k-th call fires when (x >> 11) * 2^-53 < prob, that is (x >> 11) < ceil(prob * 2^53)
    t = board_dir.to_double(prob) * 9007199254740992.0
    return 0 if not t > 0 else 1 << 53 if t >= 9007199254740992.0 else math.ceil(t)


def rule_record(rule):
    def number(key, fallback):
        return board_dir.to_number(board_dir.rule_field(rule, key), fallback)

    trigger, n, seed, threshold = C["ZB_EVERY"], 0, 0, 0
    if board_dir.rule_field(rule, "nth") is not None:
        trigger, n = C["ZB_NTH"], number("nth", 0)
    elif board_dir.rule_field(rule, "from") is not None:
        trigger, n = C["ZB_FROM"], number("from", (1 << 63) - 1)
    elif board_dir.rule_field(rule, "prob") is not None:
        trigger, threshold = C["ZB_PROB"], _threshold(board_dir.rule_field(rule, "prob"))
        seed = number("seed", 0) % (1 << 64)
    code = board_dir.rule_field(rule, "code")
    return RULE.pack(
        _text(board_dir.rule_field(rule, "node") or "", C["ZB_NAME_SIZE"]),
        _text(board_dir.rule_field(rule, "op") or "", C["ZB_OP_SIZE"]),
        code is not None, 0 if code is None else board_dir.to_number(code, -1) % (1 << 32), trigger,
        _int32(number("id", 0)), n, seed, threshold, _int32(number("errno", 0)),
        board_dir.rule_field(rule, "powercut") is not None,
        board_dir.rule_field(rule, "silent") is not None, 0, number("short", -1),
        number("partial", 0), number("hits", 0))


def _chunk(kind, data):
    return struct.pack(">II", KIND[kind], len(data)) + data


def set_node(name, settings, image):
    return _chunk("SET_NODE", node_record(name, settings, len(image)) + image)


def remove_node(name):
    return _chunk("REMOVE_NODE", NODE_RECORD.pack(_text(name, C["ZB_NAME_SIZE"]), *[0] * 5,
                                                  b"", 0, 0, 0, 0))


def set_tables(board, rules):
    """The board's settings, error texts and fault rules (at most the driver's count)."""
    settings = board_dir.board_settings(board)
    conf = CONF.pack(settings["log"], 0, settings["program_ns_per_byte"], settings["erase_ms"])
    errors = [ERROR_RECORD.pack(code, len(text.encode("utf-8", "surrogateescape")),
                                text.encode("utf-8", "surrogateescape"))
              for code, text in board_dir.error_texts(board)[:C["ZB_MAX_ERRORS"]]]
    return (_chunk("SET_CONF", conf) + _chunk("SET_ERRORS", b"".join(errors))
            + _chunk("SET_RULES", b"".join(rule_record(r) for r in rules)))


def hits(data):
    return [v for (v,) in struct.iter_unpack(">q", data)]
