// SPDX-License-Identifier: MIT
/*
 * The kernel board's control node (/dev/zelk_control): how the guest's agent loads a
 * board into the driver module and reads its state back. Records hold fixed-width
 * fields only, so the agent and the module agree on every layout.
 */
#ifndef ZELK_BOARD_CONTROL_H
#define ZELK_BOARD_CONTROL_H

#ifdef __KERNEL__
#include <linux/ioctl.h>
#include <linux/types.h>
#else
#include <stdint.h>
#include <sys/ioctl.h>
#endif

#define ZB_CONTROL_NODE "/dev/zelk_control"
#define ZB_NAME_SIZE 64
#define ZB_OP_SIZE 16
#define ZB_MAX_RULES 256
#define ZB_MAX_ERRORS 256

enum zb_env { ZB_ENV_NONE = -1, ZB_ENV_FLASH = 0, ZB_ENV_NVRAM = 1 };
enum zb_trigger { ZB_EVERY = 0, ZB_NTH = 1, ZB_FROM = 2, ZB_PROB = 3 };

/* A node and its contents: created, or replaced when the name exists. */
struct zb_node_record {
    char name[ZB_NAME_SIZE]; /* "flash_bios0", "nvram0" */
    int32_t flash;           /* programming ANDs; else bytes are taken as given */
    int32_t env;             /* enum zb_env */
    int32_t manufacturer_id;
    int32_t device_id;
    int32_t size_kbits;
    char part_name[52];
    uint64_t data;   /* user pointer to the contents */
    uint64_t size;   /* the device size */
    int32_t changed; /* out, ZB_CTL_GET_NODE: written since it was loaded or last read;
                        with data 0 only size and changed are filled in */
    int32_t reserved;
};

struct zb_rule {
    char node[ZB_NAME_SIZE]; /* a node name or "*" */
    char op[ZB_OP_SIZE];     /* open, read, write, lseek, ioctl, close */
    int32_t has_code;
    uint32_t code;
    int32_t trigger; /* enum zb_trigger */
    int32_t id;
    int64_t n;          /* nth= or from= */
    uint64_t seed;      /* prob: the k-th call fires when splitmix(seed ^ splitmix(k)) >> 11 */
    uint64_t threshold; /*       is below threshold (prob * 2^53, rounded up) */
    int32_t error;
    int32_t powercut;
    int32_t silent;   /* a write or erase reports success, changes partial bytes only */
    int32_t reserved; /* keeps the 64-bit fields aligned */
    int64_t short_to; /* -1: none */
    int64_t partial;
    int64_t hits;
};

struct zb_error_record {
    int32_t code;
    int32_t length;
    char text[200];
};

struct zb_table {
    uint64_t items; /* user pointer to the array */
    uint32_t count;
    uint32_t reserved;
};

struct zb_conf {
    int32_t log_on;
    int32_t reserved;
    int64_t program_ns_per_byte;
    int64_t erase_ms;
};

#define ZB_CTL_SET_NODE _IOW('z', 1, struct zb_node_record)
#define ZB_CTL_GET_NODE _IOWR('z', 2, struct zb_node_record)   /* data/size: a buffer */
#define ZB_CTL_REMOVE_NODE _IOW('z', 3, struct zb_node_record) /* by name */
#define ZB_CTL_SET_RULES _IOW('z', 4, struct zb_table)         /* hits restart from the records */
#define ZB_CTL_GET_HITS _IOW('z', 5, struct zb_table)          /* int64_t per rule */
#define ZB_CTL_SET_ERRORS _IOW('z', 6, struct zb_table)
#define ZB_CTL_SET_CONF _IOW('z', 7, struct zb_conf)
/* read() of the control node takes the request log lines written so far. */

#endif /* ZELK_BOARD_CONTROL_H */
