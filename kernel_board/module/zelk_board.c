// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * zelk_board: the board's flash driver as a kernel module, for the kernel board.
 *
 * Every flash device is a misc device /dev/zelk/flash_<name>, the NVRAM store
 * /dev/zelk/nvram0; their contents live in kernel memory. What the driver does with
 * a request is the board core's (virtual_board/core/, shared with the preload board): this
 * file only adapts it to misc devices and file_operations, with one mutex as the
 * board's lock; the control node (zb_control.c) lets the guest's agent load the board
 * and read it back.
 *
 * The module is one translation unit: kboard.py builds this file alone, and the core
 * and the control node come in below by include (found through -I kernel_board).
 */
#include <linux/delay.h>
#include <linux/fdtable.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/mm.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/sched/signal.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <linux/wait.h>

#include "../virtual_board/core/board_core.h"
#include "zelk_board_control.h"
#include "zelk_ioctl.h"

#define ZB_MAX_NODES 32
#define ZB_LOG_MAX (64u << 20)

struct zb_node {
    struct miscdevice misc;
    char name[ZB_NAME_SIZE];
    char nodename[ZB_NAME_SIZE + 8];
    struct zc_node core;
};

static DEFINE_MUTEX(board_lock);
static struct zb_node* nodes[ZB_MAX_NODES];
static struct zb_error_record* errors;
static unsigned int error_count;
static void* borrowed; /* the core's buffer of one call, freed at its unlock */

static char* log_buffer;
static size_t log_used, log_capacity;
static DECLARE_WAIT_QUEUE_HEAD(log_wait);

/* ---- the core's shell ---- */

/* The board lock; a process that is being killed (by a power cut of one of its
 * threads, or a signal) gets no more requests through. */
static int zb_lock(struct zc_board* board) {
    if (mutex_lock_killable(&board_lock))
        return EINTR;
    if (fatal_signal_pending(current)) {
        mutex_unlock(&board_lock);
        return EINTR;
    }
    return 0;
}

static void zb_unlock(struct zc_board* board) {
    kvfree(borrowed);
    borrowed = NULL;
    mutex_unlock(&board_lock);
}

static int zb_map_image(struct zc_board* board, struct zc_node* node, int writable) {
    return 0; /* always in kernel memory: nothing to map */
}

static void zb_pause_ns(struct zc_board* board, int64_t ns) {
    if (ns >= 20 * NSEC_PER_MSEC)
        msleep(div_u64(ns, NSEC_PER_MSEC));
    else
        usleep_range(div_u64(ns, NSEC_PER_USEC), div_u64(ns, NSEC_PER_USEC) + 10);
}

/* Lines are appended under the board lock: lines of threads never mix. */
static void zb_log(struct zc_board* board, const char* line, size_t length) {
    size_t need = log_used + length;

    if (need > ZB_LOG_MAX)
        return;
    if (need > log_capacity) {
        size_t capacity = max_t(size_t, need, max_t(size_t, 2 * log_capacity, 65536));
        char* bigger = kvmalloc(capacity, GFP_KERNEL);

        if (!bigger)
            return;
        if (log_used)
            memcpy(bigger, log_buffer, log_used);
        kvfree(log_buffer);
        log_buffer = bigger;
        log_capacity = capacity;
    }
    memcpy(log_buffer + log_used, line, length);
    log_used += length;
    wake_up_interruptible(&log_wait);
}

static void zb_ids(struct zc_board* board, int64_t* pid, int64_t* tid) {
    *pid = task_tgid_vnr(current);
    *tid = task_pid_vnr(current);
}

/* The power goes: the whole process dies on its way out of this call, and nothing
 * it still has in flight reaches the board (see zb_lock). */
static long zb_power_cut(struct zc_board* board) {
    send_sig(SIGKILL, current, 1);
    return -EINTR;
}

static int zb_copy_in(void* to, const void* from, size_t size) {
    return copy_from_user(to, (const void __user*)from, size) ? -EFAULT : 0;
}

static int zb_copy_out(void* to, const void* from, size_t size) {
    return copy_to_user((void __user*)to, from, size) ? -EFAULT : 0;
}

static void* zb_borrow(struct zc_board* board, size_t size) {
    kvfree(borrowed);
    borrowed = kvmalloc(size, GFP_KERNEL);
    return borrowed;
}

static int zb_error_text(struct zc_board* board, int32_t code, const char** text, size_t* length) {
    unsigned int i;

    for (i = 0; i < error_count; i++) {
        if (errors[i].code == code) {
            *text = errors[i].text;
            *length = min_t(size_t, max(errors[i].length, 0), sizeof(errors[i].text));
            return 1;
        }
    }
    return 0;
}

/* The descriptor open() is about to return: reserved in the table, not yet filled; its
 * close-on-exec bit is already set for O_CLOEXEC, which never reaches a driver otherwise. */
static int pending_descriptor(bool* cloexec) {
    struct files_struct* files = current->files;
    struct fdtable* fdt;
    unsigned int fd;
    int found = -1;

    spin_lock(&files->file_lock);
    fdt = files_fdtable(files);
    for (fd = 0; fd < fdt->max_fds; fd++) {
        if (test_bit(fd, fdt->open_fds) && !rcu_access_pointer(fdt->fd[fd])) {
            found = fd;
            *cloexec = close_on_exec(fd, fdt);
            break;
        }
    }
    spin_unlock(&files->file_lock);
    return found;
}

static long zb_opened(struct zc_board* board, int flags) {
    bool cloexec;

    return pending_descriptor(&cloexec);
}

static const struct zc_ops zb_ops = {
    .lock = zb_lock,
    .unlock = zb_unlock,
    .map_image = zb_map_image,
    .pause_ns = zb_pause_ns,
    .log = zb_log,
    .ids = zb_ids,
    .power_cut = zb_power_cut,
    .copy_in = zb_copy_in,
    .copy_out = zb_copy_out,
    .borrow = zb_borrow,
    .error_text = zb_error_text,
    .opened = zb_opened,
    .closed = NULL, /* the kernel lets the descriptor go */
};

/* Rules and settings as the control node loads them; used under board_lock. */
static struct zc_board zb_board = {.ops = &zb_ops};

/* ---- node requests ---- */

static struct zb_node* node_of(struct file* file) {
    return container_of(file->private_data, struct zb_node, misc);
}

static struct zc_file file_of(struct file* file, loff_t pos) {
    struct zc_file out = {pos, !!(file->f_mode & FMODE_READ), !!(file->f_mode & FMODE_WRITE)};

    return out;
}

static int zb_open(struct inode* inode, struct file* file) {
    bool cloexec = false;
    unsigned int flags = file->f_flags & ~(__force unsigned int)FMODE_NONOTIFY;
    long result;

    pending_descriptor(&cloexec);
    result = zc_open(&zb_board, &node_of(file)->core, flags | (cloexec ? O_CLOEXEC : 0));
    if (result < 0)
        return result;
    file->f_mode |= FMODE_LSEEK | FMODE_PREAD | FMODE_PWRITE;
    return 0;
}

static ssize_t zb_read(struct file* file, char __user* buffer, size_t count, loff_t* ppos) {
    struct zc_file at = file_of(file, *ppos);
    int64_t result =
        zc_read(&zb_board, &node_of(file)->core, &at, "read", (void __force*)buffer, count);

    if (result >= 0)
        *ppos = at.pos;
    return result;
}

static ssize_t zb_write(struct file* file, const char __user* buffer, size_t count, loff_t* ppos) {
    struct zc_file at = file_of(file, *ppos);
    int64_t result =
        zc_write(&zb_board, &node_of(file)->core, &at, "write", (const void __force*)buffer, count);

    if (result >= 0)
        *ppos = at.pos;
    return result;
}

static loff_t zb_llseek(struct file* file, loff_t offset, int whence) {
    struct zc_file at = file_of(file, file->f_pos);
    int64_t result = zc_lseek(&zb_board, &node_of(file)->core, &at, offset, whence);

    if (result >= 0)
        file->f_pos = at.pos;
    return result;
}

static long zb_ioctl(struct file* file, unsigned int cmd, unsigned long arg) {
    struct zc_file at = file_of(file, file->f_pos);

    return zc_ioctl(&zb_board, &node_of(file)->core, &at, cmd, (void*)arg);
}

/* close(): every close of a descriptor, not the implicit ones of an exiting process. */
static int zb_flush(struct file* file, fl_owner_t id) {
    if (current->flags & PF_EXITING)
        return 0;
    return zc_close(&zb_board, &node_of(file)->core);
}

static int zb_mmap(struct file* file, struct vm_area_struct* vma) {
    return -ENODEV;
}

static int zb_fsync(struct file* file, loff_t start, loff_t end, int datasync) {
    return 0; /* the board writes through */
}

static const struct file_operations node_fops = {
    .owner = THIS_MODULE,
    .open = zb_open,
    .read = zb_read,
    .write = zb_write,
    .llseek = zb_llseek,
    .unlocked_ioctl = zb_ioctl,
    .flush = zb_flush,
    .mmap = zb_mmap,
    .fsync = zb_fsync,
};

#include "module/zb_control.c"

#include "../virtual_board/core/board_call.c"
#include "../virtual_board/core/board_core.c"
#include "../virtual_board/core/board_env.c"
#include "../virtual_board/core/board_requests.c"
#include "../virtual_board/core/board_text.c"

MODULE_LICENSE("Dual MIT/GPL");
MODULE_DESCRIPTION("zelk board flash driver for the kernel board");
