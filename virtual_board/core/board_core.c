// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The driver's calls on a node: open, read, write (NOR programming), lseek and
 * close, each as one call of the skeleton in board_call.c.
 */
#include "board_call.h"

long zc_open(struct zc_board* board, struct zc_node* node, int flags) {
    struct zc_call call;
    long result = zc_begin(&call, board, node, "open");

    if (result)
        return result;
    zc_put(&board->args, "flags=");
    zc_put_flags(&board->args, (unsigned int)flags);
    zc_check(&call, 0, 0);
    if (call.fault.power_cut) /* a call that changes nothing never starts */
        return zc_finish(&call, 0);
    result = zc_refusal(&call);
    if (result)
        ;
    else if (!node->known)
        result = -ENOENT;
    else if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL))
        result = -EEXIST;
    else if (flags & O_DIRECTORY)
        result = -ENOTDIR;
    else if ((flags & O_ACCMODE) == O_ACCMODE)
        result = -EINVAL;
    else
        result = board->ops->opened(board, flags);
    return zc_finish(&call, result);
}

/* Starts a read or a write: "off=<pos> len=<count>", counted against the rules. */
static int begin_transfer(struct zc_call* call, struct zc_board* board, struct zc_node* node,
                          const char* op, int64_t pos, size_t count) {
    int result = zc_begin(call, board, node, op);

    if (result)
        return result;
    zc_put(&board->args, "off=");
    zc_put_dec(&board->args, pos);
    zc_put(&board->args, " len=");
    zc_put_dec(&board->args, (int64_t)count);
    zc_check(call, 0, 0);
    return 0;
}

static int64_t read_node(struct zc_call* call, struct zc_file* file, void* buffer, size_t count) {
    struct zc_node* node = call->node;
    int64_t pos = file->pos;
    uint64_t n;
    long result = zc_refusal(call);

    if (result)
        return result;
    if (!file->readable)
        return -EBADF;
    if (pos < 0)
        return -EINVAL;
    if (call->board->ops->map_image(call->board, node, 0))
        return -EIO;
    n = (uint64_t)pos >= node->size ? 0 : node->size - (uint64_t)pos;
    if (n > count)
        n = count;
    if (call->fault.fired && call->fault.short_to >= 0 && n > (uint64_t)call->fault.short_to)
        n = (uint64_t)call->fault.short_to;
    if (n && call->board->ops->copy_out(buffer, node->data + pos, (size_t)n))
        return -EFAULT;
    file->pos = pos + (int64_t)n;
    return (int64_t)n;
}

int64_t zc_read(struct zc_board* board, struct zc_node* node, struct zc_file* file, const char* op,
                void* buffer, size_t count) {
    struct zc_call call;
    int result = begin_transfer(&call, board, node, op, file->pos, count);

    if (result)
        return result;
    /* a call that changes nothing never starts when the power goes at it */
    return zc_finish(&call, call.fault.power_cut ? 0 : read_node(&call, file, buffer, count));
}

static int64_t write_node(struct zc_call* call, struct zc_file* file, const void* buffer,
                          size_t count) {
    struct zc_board* board = call->board;
    struct zc_node* node = call->node;
    int64_t pos = file->pos;
    uint8_t cells[ZELK_WRITE_MAX];
    long result = zc_refusal(call);
    size_t i;

    if (result)
        return result;
    if (!file->writable)
        return -EBADF;
    if (count > ZELK_WRITE_MAX || pos < 0)
        return -EINVAL;
    if (!node->known)
        return -ENODEV;
    if (board->ops->map_image(board, node, 1))
        return -EIO;
    if (count == 0)
        return 0;
    if ((uint64_t)pos + count > node->size)
        return -ENOSPC; /* nothing is programmed past the end, not even in part */
    if (board->ops->copy_in(cells, buffer, count))
        return -EFAULT;
    /* NOR programming only clears bits; NVRAM takes the bytes as given. */
    if (node->flash)
        for (i = 0; i < count; i++)
            cells[i] &= node->data[pos + i];
    if (board->conf.program_ns_per_byte > 0)
        board->ops->pause_ns(board, board->conf.program_ns_per_byte * (int64_t)count);
    result = zc_store(call, cells, (uint64_t)pos, count, 0);
    if (call->cut)
        return result;
    file->pos = pos + (int64_t)count;
    return (int64_t)count;
}

int64_t zc_write(struct zc_board* board, struct zc_node* node, struct zc_file* file, const char* op,
                 const void* buffer, size_t count) {
    struct zc_call call;
    int result = begin_transfer(&call, board, node, op, file->pos, count);

    if (result)
        return result;
    /* a power cut lands part-way through programming, or when it is refused */
    return zc_finish(&call, write_node(&call, file, buffer, count));
}

int64_t zc_lseek(struct zc_board* board, struct zc_node* node, struct zc_file* file, int64_t offset,
                 int whence) {
    static const char* const names[] = {"SET", "CUR", "END"};
    struct zc_call call;
    int64_t base, target, result = zc_begin(&call, board, node, "lseek");

    if (result)
        return result;
    zc_put(&board->args, "off=");
    zc_put_dec(&board->args, offset);
    zc_put(&board->args, " whence=");
    if (whence >= 0 && whence <= 2)
        zc_put(&board->args, names[whence]);
    else
        zc_put_dec(&board->args, whence);
    zc_check(&call, 0, 0);
    if (call.fault.power_cut)
        return zc_finish(&call, 0);
    result = zc_refusal(&call);
    if (result)
        return zc_finish(&call, result);
    if (board->ops->map_image(board, node, 0))
        return zc_finish(&call, -EIO);
    base = whence == SEEK_SET   ? 0
           : whence == SEEK_CUR ? file->pos
           : whence == SEEK_END ? (int64_t)node->size
                                : -1;
    target = base + offset;
    if (base < 0 || target < 0 || (uint64_t)target > node->size)
        return zc_finish(&call, -EINVAL); /* a node is positioned within its device only */
    file->pos = target;
    return zc_finish(&call, target);
}

long zc_close(struct zc_board* board, struct zc_node* node) {
    struct zc_call call;
    long result = zc_begin(&call, board, node, "close");

    if (result)
        return result;
    zc_check(&call, 0, 0);
    if (call.fault.power_cut)
        return zc_finish(&call, 0);
    /* The descriptor goes whatever the driver says, as close() does on Linux. */
    result = board->ops->closed ? board->ops->closed(board) : 0;
    if (!result)
        result = zc_refusal(&call);
    return zc_finish(&call, result);
}
