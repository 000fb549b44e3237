/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * Inside the board core: one call on a node from the lock to its log line, and the
 * text of that line. Not for the shells.
 */
#ifndef BOARD_CALL_H
#define BOARD_CALL_H

#include "board_core.h"

struct zc_call {
    struct zc_board* board;
    struct zc_node* node;
    const char* op;
    struct zc_fault fault;
    int cut_logged; /* the power cut's line is out */
    int cut;        /* the power cut has happened (a kernel process dies on its way out) */
};

/* Takes the board's lock and starts the call's arguments; 0 or minus an error number. */
int zc_begin(struct zc_call* call, struct zc_board* board, struct zc_node* node, const char* op);
/* Counts the call against every rule it matches; the first rule that fires decides.
 * code: the request of an ioctl, which alone a rule's code= can match. */
void zc_check(struct zc_call* call, int is_ioctl, uint32_t code);
/* The error of a fault that fails the call, 0 when none does (a power cut wins). */
long zc_refusal(const struct zc_call* call);
/* Logs the power cut's line now, with the arguments known so far. */
void zc_log_cut(struct zc_call* call);
/* The power cut, after its line; what the call returns if the shell comes back. */
long zc_cut(struct zc_call* call);
/* The call's end, which releases the lock: a power cut still due takes the
 * process; otherwise the call's line is logged. */
int64_t zc_finish(struct zc_call* call, int64_t result);
/* Programs data[0..size) (null: erased bytes) at `at` of the image. A power cut keeps
 * the fault's first `partial` bytes of it, on an image erased whole first when `erase`,
 * and returns the cut's result (call->cut set); else 0, a silent fault having let its
 * first `partial` bytes through. */
long zc_store(struct zc_call* call, const uint8_t* data, uint64_t at, uint64_t size, int erase);

/* A sign, 20 digits and the NUL. */
#define ZC_DEC_SIZE 22
/* value in decimal, NUL-ended, into to[ZC_DEC_SIZE]; the length without the NUL. */
size_t zc_dec(char* to, int64_t value);
void zc_put(struct zc_line* line, const char* text);
void zc_put_dec(struct zc_line* line, int64_t value);
void zc_put_hex(struct zc_line* line, uint32_t value, int digits);
/* In double quotes; '"' and '\' escaped, bytes outside 0x20-0x7E as \xHH. */
void zc_put_quoted(struct zc_line* line, const char* text, size_t size);
/* "O_RDWR|O_SYNC|O_CLOEXEC": symbolic, O_LARGEFILE left out, unknown bits as |0x... */
void zc_put_flags(struct zc_line* line, unsigned int flags);

long zc_device_request(struct zc_call* call, struct zc_file* file, uint32_t code, void* argument);
long zc_env_request(struct zc_call* call, struct zc_file* file, int op, void* argument);

#endif /* BOARD_CALL_H */
