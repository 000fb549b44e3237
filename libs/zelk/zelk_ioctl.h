/* SPDX-License-Identifier: MIT */
/*
 * The board's flash driver contract: node names, request codes and records, as the
 * driver and its users exchange them. The one definition of it: the tool's library,
 * the virtual board and the kernel driver all include this header, so it is C.
 *
 * Request codes follow the Linux PowerPC encoding: direction (bits 31-29: 1 none,
 * 2 read, 4 write, 6 both), record size (28-16), type (15-8), number (7-0). They are
 * written out as numbers, not built with _IOWR: the x86 kernel encodes directions in
 * other bits, and the board's numbers must be the same on every host. A driver takes
 * each code as it stands, whatever its direction and size bits say.
 *
 * Integers in records are in the board's native order (big-endian on the board).
 */
#ifndef ZELK_IOCTL_H
#define ZELK_IOCTL_H

#ifdef __KERNEL__
#include <linux/stddef.h>
#include <linux/types.h>
#else
#include <stddef.h>
#include <stdint.h>
#endif

/* Nodes: one per flash device ("/dev/zelk/flash_" + name) and the NVRAM store. */
#define ZELK_NODE_DIR "/dev/zelk/"
#define ZELK_FLASH_NODE_PREFIX "/dev/zelk/flash_"
#define ZELK_FLASH_ENV_NODE "/dev/zelk/flash_env0"
#define ZELK_NVRAM_NODE "/dev/zelk/nvram0"

/* A write programs at most this many bytes at the current offset (AND into the
 * flash: programming only clears bits); erase sets every byte to 0xFF. */
#define ZELK_WRITE_MAX 16
#define ZELK_ERASED_BYTE 0xFF

/* errno values above this are the driver's own codes; ZELK_IOC_ERROR_TEXT gives
 * their text. */
#define ZELK_ERRNO_MAX_SYSTEM 127

/* Device requests. */
#define FLASH_IOC_INFO 0x4040C000u      /* read, 0xC0, 0, 64: struct zelk_device_info */
#define FLASH_IOC_ERASE 0x2000C001u     /* none, 0xC0, 1: argument 0 */
#define ZELK_IOC_ERROR_TEXT 0xC0CCD00Au /* read/write, 0xD0, 10, 204: struct zelk_error_text */

/* Environment requests, by store. "set" and "get" carry a struct zelk_env_request,
 * "clear" the argument 0. */
#define FLASH_IOC_ENV_SET 0x812CC002u   /* write, 0xC0, 2, 300 */
#define FLASH_IOC_ENV_GET 0x412CC003u   /* read, 0xC0, 3, 300 */
#define FLASH_IOC_ENV_CLEAR 0x412CC004u /* read, 0xC0, 4, 300 */
#define NVRAM_IOC_ENV_SET 0x812CD104u   /* write, 0xD1, 4, 300 */
#define NVRAM_IOC_ENV_GET 0xC12CD105u   /* read/write, 0xD1, 5, 300 */
#define NVRAM_IOC_ENV_CLEAR 0x2000D103u /* none, 0xD1, 3, 0 */

enum zelk_env_store { ZELK_ENV_FLASH = 0, ZELK_ENV_NVRAM = 1, ZELK_ENV_STORES };
enum zelk_env_op { ZELK_ENV_SET = 0, ZELK_ENV_GET = 1, ZELK_ENV_CLEAR = 2, ZELK_ENV_OPS };

/* The request code of an operation on a store, indexed [store][op]. */
#define ZELK_ENV_REQUEST_CODES                                                         \
    {                                                                                  \
        {FLASH_IOC_ENV_SET, FLASH_IOC_ENV_GET, FLASH_IOC_ENV_CLEAR},                   \
        {NVRAM_IOC_ENV_SET, NVRAM_IOC_ENV_GET, NVRAM_IOC_ENV_CLEAR},                   \
    }

#define ZELK_PART_NAME_SIZE 52
#define ZELK_ERROR_TEXT_SIZE 200
#define ZELK_ENV_FIELD_SIZE 150

/* FLASH_IOC_INFO: filled by the driver. */
struct zelk_device_info {
    int32_t manufacturer_id;
    int32_t device_id;
    int32_t size_kbits;
    char part_name[ZELK_PART_NAME_SIZE]; /* NUL-ended within the field */
};

/* ZELK_IOC_ERROR_TEXT, sent to the node that reported the error. */
struct zelk_error_text {
    int32_t code;                         /* in: the driver code */
    char text[ZELK_ERROR_TEXT_SIZE];      /* in: a text of the caller's; out: the driver's,
                                             NUL-ended within the field */
};

/* Environment "set" and "get". A text shorter than its field is NUL-padded; one that
 * fills it has no terminator. "get" returns 0 for a missing key, else the value is in
 * `value`, NUL-ended. */
struct zelk_env_request {
    char key[ZELK_ENV_FIELD_SIZE];
    char value[ZELK_ENV_FIELD_SIZE];
};

/* Layout checks, on every side that includes this. */
#ifdef __cplusplus
#define ZELK_LAYOUT_CHECK(condition) static_assert(condition, #condition)
#else
#define ZELK_LAYOUT_CHECK(condition) _Static_assert(condition, #condition)
#endif
ZELK_LAYOUT_CHECK(sizeof(struct zelk_device_info) == 64);
ZELK_LAYOUT_CHECK(offsetof(struct zelk_device_info, device_id) == 4);
ZELK_LAYOUT_CHECK(offsetof(struct zelk_device_info, size_kbits) == 8);
ZELK_LAYOUT_CHECK(offsetof(struct zelk_device_info, part_name) == 12);
ZELK_LAYOUT_CHECK(sizeof(struct zelk_error_text) == 204);
ZELK_LAYOUT_CHECK(offsetof(struct zelk_error_text, text) == 4);
ZELK_LAYOUT_CHECK(sizeof(struct zelk_env_request) == 300);
ZELK_LAYOUT_CHECK(offsetof(struct zelk_env_request, value) == 150);
/* The size bits of each code agree with its record. */
ZELK_LAYOUT_CHECK(((FLASH_IOC_INFO >> 16) & 0x1FFF) == sizeof(struct zelk_device_info));
ZELK_LAYOUT_CHECK(((ZELK_IOC_ERROR_TEXT >> 16) & 0x1FFF) == sizeof(struct zelk_error_text));
ZELK_LAYOUT_CHECK(((FLASH_IOC_ENV_SET >> 16) & 0x1FFF) == sizeof(struct zelk_env_request));
ZELK_LAYOUT_CHECK(((NVRAM_IOC_ENV_GET >> 16) & 0x1FFF) == sizeof(struct zelk_env_request));
#undef ZELK_LAYOUT_CHECK

#endif /* ZELK_IOCTL_H */
