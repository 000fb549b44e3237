/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * The board core: the flash driver's rules, once, for both boards. The preload
 * library and the kernel module are shells around it; each call on a node goes
 *
 *     lock, count the call against the fault rules, serve the request,
 *     then log its line or cut the power
 *
 * here and nowhere else. The core owns no memory and does no I/O: the shell hands
 * it the node's image, its lock, its clock, its log sink and the way to user memory
 * (struct zc_ops). Every call returns its result or minus an error number.
 */
#ifndef BOARD_CORE_H
#define BOARD_CORE_H

#include "core_shim.h"
#include "zelk_ioctl.h"

#define ZC_NAME_SIZE 64
#define ZC_OP_SIZE 16
#define ZC_LINE_SIZE 2048 /* a set with both fields escaped at 4 bytes a byte fits */

enum zc_env { ZC_ENV_NONE = -1, ZC_ENV_FLASH = 0, ZC_ENV_NVRAM = 1 };
enum zc_trigger { ZC_EVERY = 0, ZC_NTH = 1, ZC_FROM = 2, ZC_PROB = 3 };

/* A fault rule (a line of faults.txt) and the calls it has counted. */
struct zc_rule {
    char node[ZC_NAME_SIZE]; /* a node name or "*" */
    char op[ZC_OP_SIZE];     /* open, read, write, lseek, ioctl, close */
    int has_code;            /* ioctl only: the request code must match */
    uint32_t code;
    int trigger; /* enum zc_trigger */
    int id;
    int64_t n;          /* nth= or from= */
    uint64_t seed;      /* prob: the k-th call fires when splitmix(seed ^ splitmix(k)) >> 11 */
    uint64_t threshold; /*       is below threshold (prob * 2^53, rounded up) */
    int error;
    int power_cut;
    int silent;       /* a change reports success and stores its first `partial` bytes only */
    int64_t short_to; /* -1: none */
    int64_t partial;  /* bytes stored before the power goes, or by a silent change */
    int64_t hits;
};

/* What the rule that fired does to a call; fired 0: nothing. */
struct zc_fault {
    int fired;
    int id;
    int error;
    int64_t short_to;
    int power_cut;
    int silent;
    int64_t partial;
};

struct zc_conf {
    int log_on;
    int64_t program_ns_per_byte;
    int64_t erase_ms;
};

struct zc_node {
    const char* name; /* "flash_bios0", "nvram0" */
    int known;        /* the board has this node (the preload board's may have gone) */
    int flash;        /* programming ANDs; else bytes are taken as given */
    int env;          /* enum zc_env: the environment store it serves */
    struct zelk_device_info info;
    uint8_t* data; /* the image, set by ops->image */
    uint64_t size;
    int changed; /* set whenever the core writes the image */
};

/* A descriptor's view of a node. Reads and writes start at pos and move it; a
 * shell that serves pread/pwrite passes a copy. */
struct zc_file {
    int64_t pos;
    int readable;
    int writable;
};

struct zc_line {
    char text[ZC_LINE_SIZE];
    size_t used;
};

struct zc_board;

/* What a shell does for the core. User pointers are passed through as they came. */
struct zc_ops {
    /* 0, or the error number the call fails with, unlogged. */
    int (*lock)(struct zc_board* board);
    void (*unlock)(struct zc_board* board);
    /* Sets node->data and node->size; 0 or -EIO. */
    int (*map_image)(struct zc_board* board, struct zc_node* node, int writable);
    void (*pause_ns)(struct zc_board* board, int64_t ns);
    void (*log)(struct zc_board* board, const char* line, size_t length);
    void (*ids)(struct zc_board* board, int64_t* pid, int64_t* tid);
    /* Ends the process; where it comes back, the call returns what it returns. */
    long (*power_cut)(struct zc_board* board);
    int (*copy_in)(void* to, const void* from_user, size_t size);  /* 0 or -EFAULT */
    int (*copy_out)(void* to_user, const void* from, size_t size); /* 0 or -EFAULT */
    /* A buffer of size bytes held until unlock, or null. */
    void* (*borrow)(struct zc_board* board, size_t size);
    /* The driver's text of an error code; 0 when it has none. */
    int (*error_text)(struct zc_board* board, int32_t code, const char** text, size_t* length);
    /* An open the core accepted: the descriptor, or minus an error number. */
    long (*opened)(struct zc_board* board, int flags);
    /* A close, before the core's answer to it: 0 or minus an error number. */
    long (*closed)(struct zc_board* board);
};

/* A board as the core sees it while a call holds its lock: the rules and settings
 * may be (re)loaded by ops->lock. */
struct zc_board {
    const struct zc_ops* ops;
    void* shell;
    struct zc_rule* rules;
    unsigned int rule_count;
    int counted; /* a call was counted against a rule since the lock was taken */
    struct zc_conf conf;
    struct zc_line line, args; /* the request's log line, used under the lock */
};

long zc_open(struct zc_board* board, struct zc_node* node, int flags);
/* op: "read" or "pread", "write" or "pwrite", as logged and as rules name them. */
int64_t zc_read(struct zc_board* board, struct zc_node* node, struct zc_file* file, const char* op,
                void* buffer, size_t count);
int64_t zc_write(struct zc_board* board, struct zc_node* node, struct zc_file* file, const char* op,
                 const void* buffer, size_t count);
int64_t zc_lseek(struct zc_board* board, struct zc_node* node, struct zc_file* file, int64_t offset,
                 int whence);
long zc_ioctl(struct zc_board* board, struct zc_node* node, struct zc_file* file, uint32_t code,
              void* argument);
long zc_close(struct zc_board* board, struct zc_node* node);

/* Whether a rule fires at its current count (rule->hits). */
int zc_rule_fires(const struct zc_rule* rule);
/* CRC-32 (zlib's) of data. */
uint32_t zc_crc32(const uint8_t* data, size_t size);

#endif /* BOARD_CORE_H */
