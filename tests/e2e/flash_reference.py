"""What the flash tests expect, computed here from the images with zlib, never by romtool's
own code: BIOS and FPGA sums and the device contents after programming, the error texts,
and the report lines."""

import os
import random
import struct
import zlib

BIOS_REGION = 0x40000
BIOS_CRC = 0x40
BIOS_BODY = 0x44
FPGA_CRC = 0x7FFFC

ENOENT_OPEN = b"open -- ENOENT: file/dir does not exist or is a dangling symbolic link"


def bios_sums(image):
    """(checksum, crc) of a BIOS image: the body from 0x44, padded with 0xFF to the region
    (a short last word is padded the same way), as big-endian words and CRC-32."""
    body = image[BIOS_BODY:]
    body += b"\xff" * (BIOS_REGION - BIOS_BODY - len(body))
    words = struct.unpack(">%dI" % (len(body) // 4), body)
    return sum(words) & 0xFFFFFFFF, zlib.crc32(body)


def bios_output(image):
    checksum, crc = bios_sums(image)
    return b"checksum is 0x%x\ncrc is 0x%x\n" % (checksum, crc)


def bios_device(image, size):
    """The device after programming image into an erased device of size bytes: the file
    as it is, but for the slot at 0x40, which holds as much of the CRC as the file covers."""
    crc = struct.pack(">I", bios_sums(image)[1])
    data = bytearray(image + b"\xff" * (size - len(image)))
    covered = max(0, min(len(image), BIOS_BODY) - BIOS_CRC)
    data[BIOS_CRC:BIOS_CRC + covered] = crc[:covered]
    return bytes(data)


def fpga_crc(images):
    data = b"".join(images)
    return zlib.crc32(data + b"\xff" * (FPGA_CRC - len(data)))


def fpga_device(images, size):
    data = b"".join(images)
    return (data + b"\xff" * (FPGA_CRC - len(data)) + struct.pack(">I", fpga_crc(images))
            + b"\xff" * (size - FPGA_CRC - 4))


def fatal(message):
    """What main prints for a failure a command lets out."""
    return b"\nromtool fatal error : " + message + b"\n\n"


def program_failed(count, message):
    return b"program failed after %d bytes were written: %s\n" % (count, message)


def system_text(op, errno):
    """The text of a failed system call on a node or file, as the tool words it."""
    known = {
        ("read", 5): b"EIO: an I/O error occurred.",
        ("write", 5): b"EIO: an I/O error occurred.",
    }
    text = known.get((op, errno)) or os.strerror(errno).encode()
    return op.encode() + b" -- " + text


def random_bytes(count, seed):
    """Reproducible bytes with no pattern of the image layout in them."""
    return random.Random(seed).randbytes(count)
