// SPDX-License-Identifier: MIT
/* The agent's side of the line to the host: reply lines, data after them or in the
 * mailbox disk, and whole files. */
#define _GNU_SOURCE
#include "agent.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int serial = -1;

void write_all(int fd, const void* data, size_t size) {
    const char* p = data;
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        size -= (size_t)n;
    }
}

int read_exact(int fd, void* data, size_t size) {
    char* p = data;
    while (size > 0) {
        ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        size -= (size_t)n;
    }
    return 0;
}

void reply(const char* format, ...) {
    char line[1024] = "@@zb ";
    va_list ap;
    va_start(ap, format);
    vsnprintf(line + 5, sizeof line - 6, format, ap);
    va_end(ap);
    strcat(line, "\n");
    write_all(serial, line, strlen(line));
}

/* The mailbox: a virtio disk the host reads and writes as a plain file, for bulk data
 * (the serial line carries some tens of kB/s). The host's data for a command sits at the
 * offset its line names; ours goes from MAILBOX_OUT on, round the rest of the disk. */
#define MAILBOX_OUT (32u << 20)
#define MAILBOX_BLOCK 512u
static int mailbox = -1;
static uint64_t mailbox_size, mailbox_cursor = MAILBOX_OUT;

void mailbox_open(void) {
    /* O_DIRECT: neither side may see a stale cached copy. */
    mailbox = open("/dev/vda", O_RDWR | O_DIRECT | O_CLOEXEC);
    if (mailbox < 0)
        return;
    off_t end = lseek(mailbox, 0, SEEK_END);
    mailbox_size = end > 0 ? (uint64_t)end : 0;
    if (mailbox_size <= MAILBOX_OUT) {
        close(mailbox);
        mailbox = -1;
    }
}

static size_t round_up(size_t size) {
    return (size + MAILBOX_BLOCK - 1) / MAILBOX_BLOCK * MAILBOX_BLOCK;
}

static int mailbox_read(uint64_t offset, char* data, size_t size) {
    size_t length = round_up(size);
    void* buffer;
    if (mailbox < 0 || offset + length > mailbox_size ||
        posix_memalign(&buffer, 4096, length ? length : MAILBOX_BLOCK))
        return -1;
    ssize_t n = pread(mailbox, buffer, length, (off_t)offset);
    if (n == (ssize_t)length)
        memcpy(data, buffer, size);
    free(buffer);
    return n == (ssize_t)length ? 0 : -1;
}

static int mailbox_write(const char* data, size_t size, uint64_t* offset) {
    size_t length = round_up(size);
    void* buffer;
    if (mailbox < 0 || size < 512 || length > mailbox_size - MAILBOX_OUT ||
        posix_memalign(&buffer, 4096, length))
        return -1;
    if (mailbox_cursor + length > mailbox_size)
        mailbox_cursor = MAILBOX_OUT;
    memset((char*)buffer + size, 0, length - size);
    memcpy(buffer, data, size);
    ssize_t n = pwrite(mailbox, buffer, length, (off_t)mailbox_cursor);
    free(buffer);
    if (n != (ssize_t)length)
        return -1;
    *offset = mailbox_cursor;
    mailbox_cursor += length;
    return 0;
}

/* A reply line ending in the size of the data that follows it: "SIZE @OFFSET" when it went
 * through the mailbox, else "SIZE" and the bytes right after the line. */
void reply_data(const char* data, size_t size, const char* format, ...) {
    char head[900];
    va_list ap;
    va_start(ap, format);
    vsnprintf(head, sizeof head, format, ap);
    va_end(ap);
    uint64_t offset;
    if (mailbox_write(data, size, &offset) == 0) {
        reply("%s %zu @%llu", head, size, (unsigned long long)offset);
    } else {
        reply("%s %zu", head, size);
        write_all(serial, data, size);
    }
}

/* The data of a command ending in "SIZE [@OFFSET]" (offset_word NULL: none); NULL when
 * it cannot be had. */
char* read_payload(const char* size_word, const char* offset_word, size_t* size) {
    *size = strtoull(size_word, NULL, 10);
    char* data = malloc(*size ? *size : 1);
    int got = !data         ? -1
              : offset_word ? mailbox_read(strtoull(offset_word + 1, NULL, 10), data, *size)
                            : read_exact(serial, data, *size);
    if (got != 0) {
        free(data);
        return NULL;
    }
    return data;
}

char* read_file(const char* path, size_t* size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0)
        return NULL;
    char* data = fstat(fd, &st) == 0 ? malloc((size_t)st.st_size + 1) : NULL;
    if (data && read_exact(fd, data, (size_t)st.st_size) != 0) {
        free(data);
        data = NULL;
    }
    close(fd);
    if (data)
        *size = (size_t)st.st_size;
    return data;
}

int write_file(const char* path, const void* data, size_t size, unsigned mode) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    write_all(fd, data, size);
    fchmod(fd, mode);
    return close(fd);
}
