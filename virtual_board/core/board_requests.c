// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The driver's control requests (ioctl) on a node: device information, erase,
 * error text and the environment stores (board_env.c).
 */
#include "board_call.h"

/* The store and operation of an environment request code; 0 for any other code. */
static int env_request_of(uint32_t code, int* store, int* op) {
    static const uint32_t codes[ZELK_ENV_STORES][ZELK_ENV_OPS] = ZELK_ENV_REQUEST_CODES;
    int s, o;

    for (s = 0; s < ZELK_ENV_STORES; s++)
        for (o = 0; o < ZELK_ENV_OPS; o++)
            if (codes[s][o] == code) {
                *store = s;
                *op = o;
                return 1;
            }
    return 0;
}

/* A code without a text gets one naming it: the caller's text in the record is often
 * its own message, which it would print twice. */
#define NO_TEXT "driver error "

static long error_text_request(struct zc_call* call, void* argument) {
    struct zc_board* board = call->board;
    struct zelk_error_text record;
    const char* text;
    size_t length;

    if (!argument || board->ops->copy_in(&record, argument, sizeof(record)))
        return -EFAULT;
    memset(record.text, 0, sizeof(record.text));
    if (board->ops->error_text(board, record.code, &text, &length)) {
        if (length > sizeof(record.text) - 1)
            length = sizeof(record.text) - 1;
        memcpy(record.text, text, length);
    } else {
        memcpy(record.text, NO_TEXT, sizeof(NO_TEXT) - 1);
        zc_dec(record.text + sizeof(NO_TEXT) - 1, record.code);
    }
    return board->ops->copy_out(argument, &record, sizeof(record)) ? -EFAULT : 0;
}

static long erase(struct zc_call* call, struct zc_file* file) {
    struct zc_board* board = call->board;
    long result;

    if (!file->writable)
        return -EBADF;
    if (board->ops->map_image(board, call->node, 1))
        return -EIO;
    if (board->conf.erase_ms > 0)
        board->ops->pause_ns(board, board->conf.erase_ms * 1000000);
    result = zc_store(call, NULL, 0, call->node->size, 0);
    return call->cut ? result : 0;
}

long zc_device_request(struct zc_call* call, struct zc_file* file, uint32_t code, void* argument) {
    struct zc_board* board = call->board;
    struct zc_node* node = call->node;
    struct zc_line* args = &board->args;
    int store = ZELK_ENV_FLASH, op = ZELK_ENV_GET;
    const int env = env_request_of(code, &store, &op);
    int32_t errcode;
    long refused;

    if (!node->known)
        return -ENODEV;
    if (code == ZELK_IOC_ERROR_TEXT && argument &&
        !board->ops->copy_in(&errcode, argument, sizeof(errcode))) {
        zc_put(args, " errcode=");
        zc_put_dec(args, errcode);
    }
    /* A power cut during a request that changes the device lands part-way through
     * it; any other request never completes. The line shows the request as it
     * arrived. */
    if (call->fault.power_cut) {
        zc_log_cut(call);
        if (!(code == FLASH_IOC_ERASE || (env && op != ZELK_ENV_GET)))
            return zc_cut(call);
    }
    refused = zc_refusal(call);
    if (refused) {
        /* The record's key goes into the log even when a fault fails the call. */
        char key[ZELK_ENV_FIELD_SIZE];

        if (env && op != ZELK_ENV_CLEAR && argument &&
            !board->ops->copy_in(key, argument, sizeof(key))) {
            zc_put(args, " key=");
            zc_put_quoted(args, key, strnlen(key, sizeof(key)));
        }
        return refused;
    }
    if (code == ZELK_IOC_ERROR_TEXT)
        return error_text_request(call, argument);
    if (code == FLASH_IOC_INFO && node->flash) {
        if (!argument)
            return -EFAULT;
        return board->ops->copy_out(argument, &node->info, sizeof(node->info)) ? -EFAULT : 0;
    }
    if (code == FLASH_IOC_ERASE && node->flash)
        return erase(call, file);
    if (env && node->env == (store == ZELK_ENV_FLASH ? ZC_ENV_FLASH : ZC_ENV_NVRAM))
        return zc_env_request(call, file, op, argument);
    return -ENOTTY;
}

long zc_ioctl(struct zc_board* board, struct zc_node* node, struct zc_file* file, uint32_t code,
              void* argument) {
    struct zc_call call;
    long result = zc_begin(&call, board, node, "ioctl");

    if (result)
        return result;
    zc_put(&board->args, "code=0x");
    zc_put_hex(&board->args, code, 8);
    zc_check(&call, 1, code);
    return zc_finish(&call, zc_device_request(&call, file, code, argument));
}
