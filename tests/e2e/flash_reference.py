# SPDX-License-Identifier: MIT
"""What the flash tests expect, computed from the images with zlib, never by romtool's code."""

import random
import struct
import zlib

BIOS_REGION = 0x40000
BIOS_CRC = 0x40
BIOS_BODY = 0x44
FPGA_CRC = 0x7FFFC

ENOENT_OPEN = b"open -- ENOENT: file/dir does not exist or is a dangling symbolic link"
# The environment of a fresh board, entries of the longest key and value, and each store:
# its node and the codes of set, get and clear.
DEFAULT = [b"serverip=192.168.1.1", b"ipaddr=192.168.1.20", b"netmask=255.255.255.0",
           b"hostname=zelk", b"bootdelay=3"]
K150, V150 = b"k" * 150, b"v" * 150
FLASH = ("flash_env0", "0x812cc002", "0x412cc003", "0x412cc004")
NVRAM = ("nvram0", "0x812cd104", "0xc12cd105", "0x2000d103")


def bios_sums(image):
    # (checksum, crc) of the body from 0x44 padded with 0xFF to the region, as big-endian
    # words and CRC-32.
    body = image[BIOS_BODY:]
    body += b"\xff" * (BIOS_REGION - BIOS_BODY - len(body))
    words = struct.unpack(">%dI" % (len(body) // 4), body)
    return sum(words) & 0xFFFFFFFF, zlib.crc32(body)


def bios_output(image):
    return b"checksum is 0x%x\ncrc is 0x%x\n" % bios_sums(image)


def bios_device(image, size):
    # An erased device of size bytes after programming image: the file as it is but for
    # the slot at 0x40, which holds as much of the big-endian CRC as the file covers.
    data = bytearray(image + b"\xff" * (size - len(image)))
    covered = max(0, min(len(image), BIOS_BODY) - BIOS_CRC)
    data[BIOS_CRC:BIOS_CRC + covered] = struct.pack(">I", bios_sums(image)[1])[:covered]
    return bytes(data)


def fpga_crc(images):
    data = b"".join(images)
    return zlib.crc32(data + b"\xff" * (FPGA_CRC - len(data)))


def fpga_device(images, size):
    data = b"".join(images)
    return (data + b"\xff" * (FPGA_CRC - len(data)) + struct.pack(">I", fpga_crc(images))
            + b"\xff" * (size - FPGA_CRC - 4))


def fatal(message):
    return b"\nromtool fatal error : " + message + b"\n\n"


def program_failed(count, message):
    return b"program failed after %d bytes were written: %s\n" % (count, message)


def random_bytes(count, seed):
    return random.Random(seed).randbytes(count)
