// SPDX-License-Identifier: MIT
/*
 * The kernel board's /init: loads the board driver module, mounts the kernel's file
 * systems and serves the host over the serial console. The host reads the board folder
 * and sends the driver's records ready made (zelk_board_control.h); this side hands them
 * to the control node and sends back what a run changed.
 *
 * The guest keeps a copy of the host's work folder in /work. Commands from the host, one
 * line each (words separated by blanks, texts as hex); one that ends in "SIZE [@OFFSET]"
 * carries that many bytes, raw after the line or in the mailbox disk at OFFSET:
 *
 *   put NAME MODE SIZE [@OFFSET]  /work/NAME := the bytes
 *   dir NAME MODE                 /work/NAME is an (empty) folder
 *   del NAME                      /work/NAME goes
 *   load SIZE [@OFFSET]           the driver takes the board: chunks of a 32-bit kind
 *                                 (the number of a ZB_CTL_ request), a 32-bit length and
 *                                 the data: SET_NODE a record then its contents,
 *                                 REMOVE_NODE a record, SET_RULES and SET_ERRORS the
 *                                 items, SET_CONF the record
 *   start ID LIMIT FSIZE BLOCKED IGNORED CLOSED PROGRAM ARG...
 *                                 runs a program in /work with that many seconds' time
 *                                 limit, file size limit (-1: none), blocked and ignored
 *                                 signals (bit N-1 for signal N), and the standard
 *                                 descriptors to close (bit N for descriptor N)
 *   signal ID SIGNAL
 *   quit                          powers off
 *
 * Every reply is a line beginning "@@zb "; one that ends in a SIZE carries data the same
 * way as a command:
 *
 *   ok | error TEXT | started ID PID
 *   out ID FD SIZE               output of the running program (FD 1 or 2)
 *   log SIZE                     request log lines
 *   image SIZE                   a node the run wrote: its record (ZB_CTL_GET_NODE's),
 *                                then its contents
 *   hits SIZE                    the fault rules' counters, 64 bits each
 *   file NAME MODE SIZE, gone NAME: what the run changed in /work
 *   exit ID code N | exit ID signal N    last, after its output and changes
 */
#define _GNU_SOURCE
#include "agent.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include "zelk_board_control.h"

/* The host packs the records with these sizes (kboard_protocol.py passes them in). */
_Static_assert(sizeof(struct zb_node_record) == KBOARD_NODE_RECORD_SIZE, "node record");
_Static_assert(sizeof(struct zb_rule) == KBOARD_RULE_SIZE, "rule");
_Static_assert(sizeof(struct zb_error_record) == KBOARD_ERROR_RECORD_SIZE, "error record");
_Static_assert(sizeof(struct zb_conf) == KBOARD_CONF_SIZE, "conf");

#define MAX_NODES 64

int control = -1;

/* ---- the board in the driver ---- */

static char loaded[MAX_NODES][ZB_NAME_SIZE]; /* the nodes set, for reading them back */
static int loaded_count;
static uint32_t rule_count;

static void note_node(const char* name, int present) {
    int at = 0;
    while (at < loaded_count && strncmp(loaded[at], name, ZB_NAME_SIZE) != 0)
        at++;
    if (!present && at < loaded_count)
        memcpy(loaded[at], loaded[--loaded_count], ZB_NAME_SIZE);
    else if (present && at == loaded_count && loaded_count < MAX_NODES)
        memcpy(loaded[loaded_count++], name, ZB_NAME_SIZE);
}

/* One chunk of a load: its records to the control node. */
static int apply(uint32_t kind, char* data, size_t size) {
    struct zb_node_record record;
    struct zb_table table = {(uintptr_t)data, 0, 0};
    switch (kind) {
    case _IOC_NR(ZB_CTL_SET_NODE):
    case _IOC_NR(ZB_CTL_REMOVE_NODE):
        if (size < sizeof record)
            return errno = EINVAL, -1;
        memcpy(&record, data, sizeof record);
        if (kind == _IOC_NR(ZB_CTL_REMOVE_NODE)) {
            note_node(record.name, 0);
            return ioctl(control, ZB_CTL_REMOVE_NODE, &record);
        }
        if (record.size != size - sizeof record || loaded_count == MAX_NODES)
            return errno = EINVAL, -1;
        record.data = (uintptr_t)(data + sizeof record);
        if (ioctl(control, ZB_CTL_SET_NODE, &record) < 0)
            return -1;
        note_node(record.name, 1);
        return 0;
    case _IOC_NR(ZB_CTL_SET_RULES):
        table.count = (uint32_t)(size / sizeof(struct zb_rule));
        rule_count = table.count;
        return ioctl(control, ZB_CTL_SET_RULES, &table);
    case _IOC_NR(ZB_CTL_SET_ERRORS):
        table.count = (uint32_t)(size / sizeof(struct zb_error_record));
        return ioctl(control, ZB_CTL_SET_ERRORS, &table);
    case _IOC_NR(ZB_CTL_SET_CONF):
        return size == sizeof(struct zb_conf) ? ioctl(control, ZB_CTL_SET_CONF, data)
                                              : (errno = EINVAL, -1);
    }
    return errno = EINVAL, -1;
}

static void load(char* data, size_t size) {
    for (size_t at = 0; at + 8 <= size;) {
        uint32_t head[2]; /* kind, length: big-endian, as this machine */
        memcpy(head, data + at, sizeof head);
        at += sizeof head;
        if (head[1] > size - at || apply(head[0], data + at, head[1]) < 0) {
            reply("error load: request %u: %s", (unsigned)head[0],
                  head[1] > size - at ? "short data" : strerror(errno));
            return;
        }
        at += head[1];
    }
    reply("ok");
}

void send_log(void) {
    char buffer[65536];
    for (;;) {
        ssize_t n = read(control, buffer, sizeof buffer);
        if (n <= 0)
            return;
        reply_data(buffer, (size_t)n, "log");
    }
}

/* The nodes the run wrote, then every rule's counter. */
void send_board_changes(void) {
    for (int i = 0; i < loaded_count; i++) {
        struct zb_node_record record;
        memset(&record, 0, sizeof record);
        memcpy(record.name, loaded[i], ZB_NAME_SIZE);
        if (ioctl(control, ZB_CTL_GET_NODE, &record) != 0 || !record.changed)
            continue;
        char* data = malloc(sizeof record + record.size);
        record.data = (uintptr_t)(data + sizeof record);
        if (data && ioctl(control, ZB_CTL_GET_NODE, &record) == 0) {
            memcpy(data, &record, sizeof record);
            reply_data(data, sizeof record + record.size, "image");
        }
        free(data);
    }
    static int64_t hits[ZB_MAX_RULES];
    struct zb_table table = {(uintptr_t)hits, rule_count, 0};
    if (rule_count > 0 && ioctl(control, ZB_CTL_GET_HITS, &table) >= 0)
        reply_data((const char*)hits, rule_count * sizeof hits[0], "hits");
}

/* ---- commands ---- */

static void command(char* line) {
    char* words[80];
    int count = 0;
    for (char* w = strtok(line, " "); w && count < 80; w = strtok(NULL, " "))
        words[count++] = w;
    if (count == 0)
        return;
    char path[600];
    if (count >= 2)
        snprintf(path, sizeof path, "/work/%s", words[1]);
    if (strcmp(words[0], "put") == 0 && (count == 4 || count == 5)) {
        size_t size;
        char* data = read_payload(words[3], count == 5 ? words[4] : NULL, &size);
        if (!data) {
            reply("error put: no data");
            return;
        }
        int failed = write_file(path, data, size, (unsigned)strtoul(words[2], NULL, 8));
        free(data);
        if (failed)
            reply("error put %s: %s", path, strerror(errno));
        else
            reply("ok");
    } else if (strcmp(words[0], "dir") == 0 && count == 3) {
        mkdir(path, (mode_t)strtoul(words[2], NULL, 8));
        reply("ok");
    } else if (strcmp(words[0], "del") == 0 && count == 2) {
        if (unlink(path) != 0 && (errno == EISDIR || errno == EPERM))
            rmdir(path);
        reply("ok");
    } else if (strcmp(words[0], "load") == 0 && (count == 2 || count == 3)) {
        size_t size;
        char* data = read_payload(words[1], count == 3 ? words[2] : NULL, &size);
        if (data)
            load(data, size);
        else
            reply("error load: no data");
        free(data);
    } else if (strcmp(words[0], "start") == 0) {
        start(words, count);
    } else if (strcmp(words[0], "signal") == 0 && count == 3) {
        signal_child(words[1], atoi(words[2]));
    } else if (strcmp(words[0], "quit") == 0) {
        sync();
        reboot(RB_POWER_OFF);
    } else if (strcmp(words[0], "ping") == 0) {
        reply("ok");
    } else {
        reply("error unknown command %s", words[0]);
    }
}

static void setup(void) {
    mkdir("/dev", 0755);
    mount("devtmpfs", "/dev", "devtmpfs", 0, NULL);
    mkdir("/proc", 0755);
    mount("proc", "/proc", "proc", 0, NULL);
    mkdir("/sys", 0755);
    mount("sysfs", "/sys", "sysfs", 0, NULL);
    mkdir("/tmp", 01777);
    mount("tmpfs", "/tmp", "tmpfs", 0, NULL);
    mkdir("/work", 0755);

    serial = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (serial < 0)
        serial = open("/dev/console", O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t;
    if (tcgetattr(serial, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(serial, TCSANOW, &t);
    }
    mailbox_open();
    int fd = open("/lib/modules/zelk_board.ko", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || syscall(SYS_finit_module, fd, "", 0) != 0)
        reply("error cannot load the driver module: %s", strerror(errno));
    if (fd >= 0)
        close(fd);
    control = open(ZB_CONTROL_NODE, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (control < 0)
        reply("error cannot open %s: %s", ZB_CONTROL_NODE, strerror(errno));
}

int main(void) {
    setup();
    int sigchld_fd = sigchld_descriptor();
    reply("ready");
    static char line[1 << 20];
    size_t used = 0;
    for (;;) {
        struct pollfd fds[5] = {
            {serial, POLLIN, 0},       {sigchld_fd, POLLIN, 0}, {child_out[1], POLLIN, 0},
            {child_out[2], POLLIN, 0}, {control, POLLIN, 0},
        };
        if (poll(fds, 5, running() ? 1000 : -1) < 0 && errno != EINTR)
            continue;
        if (child_out[1] >= 0 && (fds[2].revents & (POLLIN | POLLHUP)))
            forward(1);
        if (child_out[2] >= 0 && (fds[3].revents & (POLLIN | POLLHUP)))
            forward(2);
        if (fds[4].revents & POLLIN)
            send_log();
        if (fds[1].revents & POLLIN)
            reap();
        check_deadline();
        if (fds[0].revents & POLLIN) {
            /* One byte at a time up to the end of a line: a command's data follows it. */
            char c;
            if (read(serial, &c, 1) <= 0 || c == '\r')
                continue;
            if (c != '\n') {
                if (used < sizeof line - 1)
                    line[used++] = c;
                continue;
            }
            line[used] = 0;
            used = 0;
            command(line);
        }
    }
}
