// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The one skeleton of every call on a node: lock, fault check, the request, then its
 * log line or the power cut.
 */
#include "board_call.h"

static uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

int zc_rule_fires(const struct zc_rule* rule) {
    switch (rule->trigger) {
    case ZC_NTH:
        return rule->hits == rule->n;
    case ZC_FROM:
        return rule->hits >= rule->n;
    case ZC_PROB:
        /* Whether the k-th call fires depends on the seed and k only. */
        return (splitmix64(rule->seed ^ splitmix64((uint64_t)rule->hits)) >> 11) < rule->threshold;
    default:
        return 1; /* every call */
    }
}

/* pread and pwrite are reads and writes at the driver. */
static int op_matches(const char* rule_op, const char* op) {
    return strcmp(rule_op, op) == 0 || (strcmp(rule_op, "read") == 0 && strcmp(op, "pread") == 0) ||
           (strcmp(rule_op, "write") == 0 && strcmp(op, "pwrite") == 0);
}

void zc_check(struct zc_call* call, int is_ioctl, uint32_t code) {
    struct zc_board* board = call->board;
    struct zc_fault* out = &call->fault;
    unsigned int i;

    for (i = 0; i < board->rule_count; i++) {
        struct zc_rule* rule = &board->rules[i];

        if (strcmp(rule->node, "*") != 0 && strcmp(rule->node, call->node->name) != 0)
            continue;
        if (!op_matches(rule->op, call->op))
            continue;
        if (rule->has_code && (!is_ioctl || rule->code != code))
            continue;
        rule->hits++;
        board->counted = 1;
        if (out->fired || !zc_rule_fires(rule))
            continue;
        out->fired = 1;
        out->id = rule->id;
        out->error = rule->error;
        out->short_to = rule->short_to;
        out->power_cut = rule->power_cut;
        out->silent = rule->silent;
        out->partial = rule->partial;
    }
}

int zc_begin(struct zc_call* call, struct zc_board* board, struct zc_node* node, const char* op) {
    int error = board->ops->lock(board);

    memset(call, 0, sizeof(*call));
    call->board = board;
    call->node = node;
    call->op = op;
    call->fault.short_to = -1;
    board->args.used = 0;
    board->args.text[0] = 0;
    return error ? -error : 0;
}

long zc_refusal(const struct zc_call* call) {
    if (call->fault.fired && call->fault.error && !call->fault.power_cut)
        return -call->fault.error;
    return 0;
}

/* One line per call: "pid= tid= node= op= ARGS result=[ errno=][ fault=][ powercut| silent]". */
static void log_line(struct zc_call* call, int64_t result, int64_t error) {
    struct zc_board* board = call->board;
    struct zc_line* line = &board->line;
    int64_t pid = 0, tid = 0;

    if (!board->conf.log_on)
        return;
    board->ops->ids(board, &pid, &tid);
    line->used = 0;
    zc_put(line, "pid=");
    zc_put_dec(line, pid);
    zc_put(line, " tid=");
    zc_put_dec(line, tid);
    zc_put(line, " node=");
    zc_put(line, call->node->name);
    zc_put(line, " op=");
    zc_put(line, call->op);
    if (board->args.used) {
        zc_put(line, " ");
        zc_put(line, board->args.text);
    }
    zc_put(line, " result=");
    zc_put_dec(line, result);
    if (result < 0) {
        zc_put(line, " errno=");
        zc_put_dec(line, error);
    }
    if (call->fault.fired) {
        zc_put(line, " fault=");
        zc_put_dec(line, call->fault.id);
    }
    if (call->fault.power_cut)
        zc_put(line, " powercut");
    else if (call->fault.silent)
        zc_put(line, " silent");
    zc_put(line, "\n");
    board->ops->log(board, line->text, line->used);
}

void zc_log_cut(struct zc_call* call) {
    if (!call->cut_logged)
        log_line(call, -1, 0); /* the call never returns: no error */
    call->cut_logged = 1;
}

long zc_cut(struct zc_call* call) {
    zc_log_cut(call);
    call->cut = 1;
    return call->board->ops->power_cut(call->board);
}

int64_t zc_finish(struct zc_call* call, int64_t result) {
    if (call->fault.power_cut) {
        /* refused before it changed anything: the power goes all the same */
        if (!call->cut)
            result = zc_cut(call);
    } else {
        log_line(call, result < 0 ? -1 : result, -result);
    }
    call->board->ops->unlock(call->board);
    return result;
}

/* data null: erased bytes. */
static void put_bytes(struct zc_node* node, uint64_t at, const uint8_t* data, uint64_t size) {
    if (!size)
        return;
    if (data)
        memcpy(node->data + at, data, size);
    else
        memset(node->data + at, ZELK_ERASED_BYTE, size);
}

long zc_store(struct zc_call* call, const uint8_t* data, uint64_t at, uint64_t size, int erase) {
    struct zc_node* node = call->node;
    uint64_t partial = (uint64_t)call->fault.partial;

    node->changed = 1;
    if (!call->fault.power_cut) {
        /* silent: the part reports success and takes the first `partial` bytes only */
        put_bytes(node, at, data, call->fault.silent && size > partial ? partial : size);
        return 0;
    }
    /* The power goes part-way through: only the first bytes are in. */
    if (erase)
        put_bytes(node, 0, NULL, node->size);
    put_bytes(node, at, data, partial < size ? partial : size);
    return zc_cut(call);
}
