// SPDX-License-Identifier: MIT
/*
 * The kernel board's /init: loads the board driver module, mounts the kernel's file
 * systems and serves the host over the serial console.
 *
 * The guest keeps a copy of the host's board folder in /board and of the work folder in
 * /work. Commands from the host, one line each (words separated by blanks, texts as hex):
 *
 *   put AREA NAME MODE SIZE [@OFFSET]
 *                                /AREA/NAME := SIZE bytes: raw after the line, or in the
 *                                mailbox disk at OFFSET
 *   dir AREA NAME MODE           /AREA/NAME is an (empty) folder
 *   del AREA NAME                /AREA/NAME goes
 *   load                         the driver takes the board in /board
 *   start ID LIMIT FSIZE BLOCKED IGNORED PROGRAM ARG...
 *                                runs a program in /work with that many seconds' time
 *                                limit, file size limit (-1: none), blocked and ignored
 *                                signals (bit N-1 for signal N)
 *   signal ID SIGNAL
 *   quit                         powers off
 *
 * Every reply is a line beginning "@@zb "; one that ends in a SIZE carries data, right
 * after the line or, with "@OFFSET" after the size, in the mailbox disk:
 *
 *   ok | error TEXT | started ID PID
 *   out ID FD SIZE  + bytes      output of the running program (FD 1 or 2)
 *   log SIZE + bytes             request log lines
 *   file AREA NAME MODE SIZE + bytes, gone AREA NAME: what the run changed
 *   exit ID code N | exit ID signal N    last, after its output and changes
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "zelk_board_control.h"

#define MAX_FILES 512
#define MAX_NODES 32

static int serial = -1;
static int control = -1;

/* ---- small helpers ---- */

static void write_all(int fd, const void* data, size_t size) {
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

static __attribute__((format(printf, 1, 2))) void reply(const char* format, ...) {
    char line[1024] = "@@zb ";
    va_list ap;
    va_start(ap, format);
    vsnprintf(line + 5, sizeof line - 6, format, ap);
    va_end(ap);
    strcat(line, "\n");
    write_all(serial, line, strlen(line));
}

static int read_exact(int fd, void* data, size_t size) {
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

/* The mailbox: a virtio disk the host reads and writes as a plain file, for bulk data
 * (the serial line carries some tens of kB/s). The host's data for a put sits at the
 * offset its line names; ours goes from MAILBOX_OUT on, round the rest of the disk. */
#define MAILBOX_OUT (32u << 20)
#define MAILBOX_BLOCK 512u
static int mailbox = -1;
static uint64_t mailbox_size, mailbox_cursor = MAILBOX_OUT;

static size_t round_up(size_t size) {
    return (size + MAILBOX_BLOCK - 1) / MAILBOX_BLOCK * MAILBOX_BLOCK;
}

/* O_DIRECT: neither side may see a stale cached copy. */
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
static __attribute__((format(printf, 3, 4))) void reply_data(const char* data, size_t size,
                                                             const char* format, ...) {
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

static char* read_file(const char* path, size_t* size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0)
        return NULL;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return NULL;
    }
    char* data = malloc((size_t)st.st_size + 1);
    if (data && read_exact(fd, data, (size_t)st.st_size) != 0) {
        free(data);
        data = NULL;
    }
    close(fd);
    if (data) {
        data[st.st_size] = 0;
        if (size)
            *size = (size_t)st.st_size;
    }
    return data;
}

static int write_file(const char* path, const void* data, size_t size, mode_t mode) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    write_all(fd, data, size);
    fchmod(fd, mode);
    return close(fd);
}

static int unhex(const char* hex, char* out, size_t capacity) {
    size_t n = strlen(hex) / 2;
    if (n >= capacity)
        return -1;
    for (size_t i = 0; i < n; i++) {
        unsigned v;
        if (sscanf(hex + 2 * i, "%2x", &v) != 1)
            return -1;
        out[i] = (char)v;
    }
    out[n] = 0;
    return (int)n;
}

/* Numbers as the board reads them: C notation, the whole text, else the fallback. */
static long long to_number(const char* text, long long fallback) {
    if (!text || !*text)
        return fallback;
    char* end = NULL;
    errno = 0;
    long long v = strtoll(text, &end, 0);
    if (errno != 0 || end == text || *end != 0)
        return fallback;
    return v;
}

/* The value of key in "key=value" lines, a later line winning; '#' lines skipped. */
static void config_value(const char* text, const char* key, char* out, size_t capacity) {
    size_t key_length = strlen(key);
    out[0] = 0;
    while (text && *text) {
        const char* end = strchr(text, '\n');
        size_t length = end ? (size_t)(end - text) : strlen(text);
        if (length > key_length && text[0] != '#' && strncmp(text, key, key_length) == 0 &&
            text[key_length] == '=') {
            size_t n = length - key_length - 1;
            if (n >= capacity)
                n = capacity - 1;
            memcpy(out, text + key_length + 1, n);
            out[n] = 0;
        } else if (length == key_length + 1 && strncmp(text, key, key_length) == 0 &&
                   text[key_length] == '=') {
            out[0] = 0;
        }
        text = end ? end + 1 : text + length;
    }
}

/* ---- the files the host sent since the last load ---- */

static char* changed[MAX_FILES];
static int changed_count;

static void note_changed(const char* name) {
    for (int i = 0; i < changed_count; i++)
        if (strcmp(changed[i], name) == 0)
            return;
    if (changed_count < MAX_FILES)
        changed[changed_count++] = strdup(name);
}

static int was_changed(const char* name) {
    for (int i = 0; i < changed_count; i++)
        if (strcmp(changed[i], name) == 0)
            return 1;
    return 0;
}

/* ---- loading the board into the driver ---- */

static char loaded[MAX_NODES][ZB_NAME_SIZE];
static int loaded_count;

struct rule_line {
    char* text; /* the rule's line as read, fields in file order */
    int64_t hits;
};
static struct rule_line rule_lines[ZB_MAX_RULES];
static int rule_line_count;

static int load_node(const char* name) {
    char path[600], value[256];
    snprintf(path, sizeof path, "/board/%s.info", name);
    char* info = read_file(path, NULL);
    size_t size = 0;
    snprintf(path, sizeof path, "/board/%s.img", name);
    char* data = read_file(path, &size);
    if (!info || !data) {
        free(info);
        free(data);
        return -1;
    }
    struct zb_node_record record;
    memset(&record, 0, sizeof record);
    snprintf(record.name, sizeof record.name, "%s", name);
    config_value(info, "type", value, sizeof value);
    record.flash = strcmp(value, "nvram") != 0;
    config_value(info, "env", value, sizeof value);
    record.env = strcmp(value, "flash") == 0   ? ZB_ENV_FLASH
                 : strcmp(value, "nvram") == 0 ? ZB_ENV_NVRAM
                                               : ZB_ENV_NONE;
    config_value(info, "manufacturer_id", value, sizeof value);
    record.manufacturer_id = (int32_t)to_number(value, 0);
    config_value(info, "device_id", value, sizeof value);
    record.device_id = (int32_t)to_number(value, 0);
    config_value(info, "size_kbits", value, sizeof value);
    record.size_kbits = (int32_t)to_number(value, 0);
    config_value(info, "part_name", value, sizeof value);
    size_t part_length = strlen(value);
    memcpy(record.part_name, value,
           part_length < sizeof record.part_name ? part_length : sizeof record.part_name - 1);
    record.data = (uintptr_t)data;
    record.size = size;
    int result = ioctl(control, ZB_CTL_SET_NODE, &record);
    free(info);
    free(data);
    return result;
}

/* A rule line's field: its value, "" for a field without one; NULL when absent. */
static const char* rule_field(const char* line, const char* key, char* out, size_t capacity) {
    size_t key_length = strlen(key);
    const char* p = line;
    while (*p) {
        while (*p == ' ')
            p++;
        const char* end = strchr(p, ' ');
        size_t length = end ? (size_t)(end - p) : strlen(p);
        if (length >= key_length && strncmp(p, key, key_length) == 0 &&
            (length == key_length || p[key_length] == '=')) {
            size_t n = length == key_length ? 0 : length - key_length - 1;
            if (n >= capacity)
                n = capacity - 1;
            memcpy(out, p + length - n, n);
            out[n] = 0;
            return out;
        }
        p += length;
    }
    return NULL;
}

static void parse_rule(const char* line, struct zb_rule* rule) {
    char value[256];
    memset(rule, 0, sizeof *rule);
    snprintf(rule->node, sizeof rule->node, "%s",
             rule_field(line, "node", value, sizeof value) ? value : "");
    snprintf(rule->op, sizeof rule->op, "%s",
             rule_field(line, "op", value, sizeof value) ? value : "");
    if (rule_field(line, "code", value, sizeof value)) {
        rule->has_code = 1;
        rule->code = (uint32_t)to_number(value, -1);
    }
    rule->id = (int32_t)to_number(rule_field(line, "id", value, sizeof value), 0);
    if (rule_field(line, "nth", value, sizeof value)) {
        rule->trigger = ZB_NTH;
        rule->n = to_number(value, 0);
    } else if (rule_field(line, "from", value, sizeof value)) {
        rule->trigger = ZB_FROM;
        rule->n = to_number(value, INT64_MAX);
    } else if (rule_field(line, "prob", value, sizeof value)) {
        /* fires when (x >> 11) * 2^-53 < p, that is (x >> 11) < ceil(p * 2^53) */
        double t = strtod(value, NULL) * 9007199254740992.0;
        rule->trigger = ZB_PROB;
        rule->threshold = !(t > 0) ? 0 : t >= 9007199254740992.0 ? (1ull << 53) : (uint64_t)ceil(t);
        rule->seed = (uint64_t)to_number(rule_field(line, "seed", value, sizeof value), 0);
    }
    rule->error = (int32_t)to_number(rule_field(line, "errno", value, sizeof value), 0);
    rule->short_to = to_number(rule_field(line, "short", value, sizeof value), -1);
    rule->powercut = rule_field(line, "powercut", value, sizeof value) != NULL;
    rule->partial = to_number(rule_field(line, "partial", value, sizeof value), 0);
    rule->hits = to_number(rule_field(line, "hits", value, sizeof value), 0);
}

static void load_rules(void) {
    static struct zb_rule rules[ZB_MAX_RULES];
    for (int i = 0; i < rule_line_count; i++)
        free(rule_lines[i].text);
    rule_line_count = 0;
    char* text = read_file("/board/faults.txt", NULL);
    for (char *line = text, *next; line && *line; line = next) {
        next = strchr(line, '\n');
        if (next)
            *next++ = 0;
        else
            next = line + strlen(line);
        const char* first = line;
        while (*first == ' ')
            first++;
        if (!*first || *first == '#' || rule_line_count == ZB_MAX_RULES)
            continue;
        parse_rule(line, &rules[rule_line_count]);
        rule_lines[rule_line_count].text = strdup(line);
        rule_lines[rule_line_count].hits = rules[rule_line_count].hits;
        rule_line_count++;
    }
    free(text);
    struct zb_table table = {(uintptr_t)rules, (uint32_t)rule_line_count, 0};
    ioctl(control, ZB_CTL_SET_RULES, &table);
}

static void load_errors(void) {
    static struct zb_error_record records[ZB_MAX_ERRORS];
    int count = 0;
    char* text = read_file("/board/errors.txt", NULL);
    for (char *line = text, *next; line && *line; line = next) {
        next = strchr(line, '\n');
        if (next)
            *next++ = 0;
        else
            next = line + strlen(line);
        char* space = strchr(line, ' ');
        if (!*line || *line == '#' || !space || count == ZB_MAX_ERRORS)
            continue;
        *space = 0;
        long long code = to_number(line, INT64_MIN);
        if (code < INT32_MIN || code > INT32_MAX)
            continue;
        records[count].code = (int32_t)code;
        size_t length = strlen(space + 1);
        records[count].length = (int32_t)length;
        memset(records[count].text, 0, sizeof records[count].text);
        memcpy(records[count].text, space + 1,
               length < sizeof records[count].text ? length : sizeof records[count].text);
        count++;
    }
    free(text);
    struct zb_table table = {(uintptr_t)records, (uint32_t)count, 0};
    ioctl(control, ZB_CTL_SET_ERRORS, &table);
}

static void load_conf(void) {
    char value[64];
    char* text = read_file("/board/board.conf", NULL);
    struct zb_conf conf;
    memset(&conf, 0, sizeof conf);
    config_value(text, "log", value, sizeof value);
    conf.log_on = strcmp(value, "on") == 0;
    config_value(text, "program_ns_per_byte", value, sizeof value);
    conf.program_ns_per_byte = to_number(value, 0);
    config_value(text, "erase_ms", value, sizeof value);
    conf.erase_ms = to_number(value, 0);
    free(text);
    ioctl(control, ZB_CTL_SET_CONF, &conf);
}

static int load_board(char* error, size_t capacity) {
    char present[MAX_NODES][ZB_NAME_SIZE];
    int present_count = 0;
    DIR* dir = opendir("/board");
    struct dirent* entry;
    while (dir && (entry = readdir(dir)) != NULL) {
        size_t n = strlen(entry->d_name);
        if (n <= 5 || n - 5 >= ZB_NAME_SIZE || strcmp(entry->d_name + n - 5, ".info") != 0)
            continue;
        char name[ZB_NAME_SIZE], image[ZB_NAME_SIZE + 8];
        snprintf(name, sizeof name, "%.*s", (int)(n - 5), entry->d_name);
        snprintf(image, sizeof image, "/board/%s.img", name);
        if (access(image, F_OK) != 0 || present_count == MAX_NODES)
            continue;
        snprintf(present[present_count++], ZB_NAME_SIZE, "%s", name);
    }
    if (dir)
        closedir(dir);
    /* Nodes that are gone, then new and changed ones. */
    for (int i = 0; i < loaded_count; i++) {
        int kept = 0;
        for (int j = 0; j < present_count; j++)
            kept |= strcmp(loaded[i], present[j]) == 0;
        if (!kept) {
            struct zb_node_record record;
            memset(&record, 0, sizeof record);
            snprintf(record.name, sizeof record.name, "%s", loaded[i]);
            ioctl(control, ZB_CTL_REMOVE_NODE, &record);
        }
    }
    for (int j = 0; j < present_count; j++) {
        int known = 0;
        for (int i = 0; i < loaded_count; i++)
            known |= strcmp(loaded[i], present[j]) == 0;
        char info[ZB_NAME_SIZE + 8], image[ZB_NAME_SIZE + 8];
        snprintf(info, sizeof info, "%s.info", present[j]);
        snprintf(image, sizeof image, "%s.img", present[j]);
        if ((!known || was_changed(info) || was_changed(image)) && load_node(present[j]) != 0) {
            snprintf(error, capacity, "cannot load node %s: %s", present[j], strerror(errno));
            return -1;
        }
    }
    memcpy(loaded, present, sizeof present);
    loaded_count = present_count;
    load_conf();
    load_errors();
    load_rules();
    for (int i = 0; i < changed_count; i++)
        free(changed[i]);
    changed_count = 0;
    return 0;
}

/* ---- reporting a run's changes ---- */

static void send_file(const char* area, const char* name, const char* data, size_t size,
                      mode_t mode) {
    reply_data(data, size, "file %s %s %o", area, name, (unsigned)mode);
}

static void send_log(void) {
    char buffer[65536];
    for (;;) {
        ssize_t n = read(control, buffer, sizeof buffer);
        if (n <= 0)
            return;
        reply_data(buffer, (size_t)n, "log");
    }
}

/* Rule lines with their new counts, in the board's own format. */
static void save_rules(void) {
    int64_t hits[ZB_MAX_RULES];
    struct zb_table table = {(uintptr_t)hits, (uint32_t)rule_line_count, 0};
    if (rule_line_count == 0 || ioctl(control, ZB_CTL_GET_HITS, &table) < 0)
        return;
    int any = 0;
    for (int i = 0; i < rule_line_count; i++)
        any |= hits[i] != rule_lines[i].hits;
    if (!any)
        return;
    size_t capacity = 64;
    for (int i = 0; i < rule_line_count; i++)
        capacity += strlen(rule_lines[i].text) + 32;
    char* text = malloc(capacity);
    size_t used = 0;
    for (int i = 0; i < rule_line_count; i++) {
        /* field by field: "k=v", "k" for a field without a value (node= always has "=") */
        int first = 1, had_hits = 0;
        for (char* p = rule_lines[i].text; *p;) {
            while (*p == ' ')
                p++;
            char* end = strchr(p, ' ');
            size_t length = end ? (size_t)(end - p) : strlen(p);
            if (length == 0)
                break;
            char field[512];
            snprintf(field, sizeof field, "%.*s", (int)length, p);
            char* eq = strchr(field, '=');
            if (!first)
                text[used++] = ' ';
            first = 0;
            if (strncmp(field, "hits", 4) == 0 && (field[4] == 0 || field[4] == '=')) {
                used += (size_t)sprintf(text + used, "hits=%" PRId64, hits[i]);
                had_hits = 1;
            } else if (eq && eq[1] == 0 && !(eq - field == 4 && strncmp(field, "node", 4) == 0)) {
                used += (size_t)sprintf(text + used, "%.*s", (int)(eq - field), field);
            } else {
                used += (size_t)sprintf(text + used, "%s", field);
            }
            p += length;
        }
        if (!had_hits && hits[i] != rule_lines[i].hits)
            used += (size_t)sprintf(text + used, "%shits=%" PRId64, first ? "" : " ", hits[i]);
        text[used++] = '\n';
        rule_lines[i].hits = hits[i];
    }
    write_file("/board/faults.txt", text, used, 0644);
    send_file("board", "faults.txt", text, used, 0644);
    free(text);
}

static void save_images(void) {
    for (int i = 0; i < loaded_count; i++) {
        struct zb_node_record record;
        memset(&record, 0, sizeof record);
        snprintf(record.name, sizeof record.name, "%s", loaded[i]);
        if (ioctl(control, ZB_CTL_GET_NODE, &record) != 0 || !record.changed)
            continue;
        char* data = malloc(record.size ? record.size : 1);
        record.data = (uintptr_t)data;
        if (ioctl(control, ZB_CTL_GET_NODE, &record) == 0) {
            char path[ZB_NAME_SIZE + 16], name[ZB_NAME_SIZE + 8];
            snprintf(name, sizeof name, "%s.img", loaded[i]);
            snprintf(path, sizeof path, "/board/%s", name);
            write_file(path, data, record.size, 0644);
            send_file("board", name, data, record.size, 0644);
        }
        free(data);
    }
}

/* The work folder as it was when the program started. */
struct work_file {
    char name[256];
    struct stat st;
};
static struct work_file before[MAX_FILES];
static int before_count;

static int snapshot(struct work_file* files) {
    int count = 0;
    DIR* dir = opendir("/work");
    struct dirent* entry;
    while (dir && (entry = readdir(dir)) != NULL && count < MAX_FILES) {
        char path[300];
        snprintf(path, sizeof path, "/work/%s", entry->d_name);
        if (entry->d_name[0] == '.' || lstat(path, &files[count].st) != 0 ||
            !S_ISREG(files[count].st.st_mode))
            continue;
        snprintf(files[count].name, sizeof files[count].name, "%s", entry->d_name);
        count++;
    }
    if (dir)
        closedir(dir);
    return count;
}

static void save_work(void) {
    static struct work_file after[MAX_FILES];
    int count = snapshot(after);
    for (int i = 0; i < count; i++) {
        const struct stat* now = &after[i].st;
        int same = 0;
        for (int j = 0; j < before_count && !same; j++) {
            const struct stat* old = &before[j].st;
            same = strcmp(before[j].name, after[i].name) == 0 && old->st_ino == now->st_ino &&
                   old->st_size == now->st_size && old->st_mode == now->st_mode &&
                   old->st_mtim.tv_sec == now->st_mtim.tv_sec &&
                   old->st_mtim.tv_nsec == now->st_mtim.tv_nsec;
        }
        if (same)
            continue;
        char path[300];
        size_t size = 0;
        snprintf(path, sizeof path, "/work/%s", after[i].name);
        char* data = read_file(path, &size);
        if (data)
            send_file("work", after[i].name, data, size, now->st_mode & 07777);
        free(data);
    }
    for (int j = 0; j < before_count; j++) {
        int kept = 0;
        for (int i = 0; i < count; i++)
            kept |= strcmp(before[j].name, after[i].name) == 0;
        if (!kept)
            reply("gone work %s", before[j].name);
    }
}

/* ---- the running program ---- */

static pid_t child = -1;
static char child_id[64];
static int child_out[3] = {-1, -1, -1}; /* [1] stdout, [2] stderr */
static struct timespec child_deadline;
static int sigchld_fd = -1;

static void forward(int which) {
    char buffer[4096];
    ssize_t n = read(child_out[which], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        close(child_out[which]);
        child_out[which] = -1;
        return;
    }
    reply_data(buffer, (size_t)n, "out %s %d", child_id, which);
}

static void start(char** words, int count) {
    /* start ID LIMIT FSIZE MASK IGNORED PROGRAM ARG... */
    if (count < 7 || child > 0) {
        reply("error %s", child > 0 ? "a program is running" : "bad start");
        return;
    }
    static char args[64][4096];
    char* argv[65];
    int argc = 0;
    for (int i = 6; i < count && argc < 64; i++, argc++) {
        if (unhex(words[i], args[argc], sizeof args[argc]) < 0) {
            reply("error bad argument");
            return;
        }
        argv[argc] = args[argc];
    }
    argv[argc] = NULL;
    snprintf(child_id, sizeof child_id, "%s", words[1]);
    long limit = atol(words[2]);
    long long fsize = atoll(words[3]);
    unsigned long long mask = strtoull(words[4], NULL, 16);
    unsigned long long ignored = strtoull(words[5], NULL, 16);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        reply("error pipe: %s", strerror(errno));
        return;
    }
    before_count = snapshot(before);
    /* The host's blocked signals, blocked from the fork on: a signal sent at once
     * is held as it would be for a program the host started itself. */
    sigset_t blocked, saved;
    sigemptyset(&blocked);
    for (int s = 1; s < 64; s++)
        if (mask & (1ull << (s - 1)))
            sigaddset(&blocked, s);
    sigaddset(&blocked, SIGCHLD);
    sigprocmask(SIG_BLOCK, &blocked, &saved);
    pid_t pid = fork();
    if (pid == 0) {
        sigdelset(&blocked, SIGCHLD);
        if (!(mask & (1ull << (SIGCHLD - 1))))
            sigprocmask(SIG_SETMASK, &blocked, NULL);
        for (int s = 1; s < 65; s++)
            signal(s, s <= 64 && (ignored & (1ull << (s - 1))) ? SIG_IGN : SIG_DFL);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (fsize >= 0) {
            struct rlimit r = {(rlim_t)fsize, RLIM_INFINITY};
            setrlimit(RLIMIT_FSIZE, &r);
        }
        if (chdir("/work") != 0)
            _exit(126);
        char* env[] = {"PATH=/usr/bin:/bin", "HOME=/work", NULL};
        execve(argv[0], argv, env);
        dprintf(2, "agent: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    sigprocmask(SIG_SETMASK, &saved, NULL);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        reply("error fork: %s", strerror(errno));
        return;
    }
    child = pid;
    child_out[1] = out[0];
    child_out[2] = err[0];
    clock_gettime(CLOCK_MONOTONIC, &child_deadline);
    child_deadline.tv_sec += limit > 0 ? limit : 3600;
    reply("started %s %d", child_id, (int)pid);
}

static void finish(int status) {
    /* All its output first, then what it changed, then how it ended. */
    while (child_out[1] >= 0)
        forward(1);
    while (child_out[2] >= 0)
        forward(2);
    send_log();
    save_images();
    save_rules();
    save_work();
    send_log();
    if (WIFSIGNALED(status))
        reply("exit %s signal %d", child_id, WTERMSIG(status));
    else
        reply("exit %s code %d", child_id, WEXITSTATUS(status));
    child = -1;
}

static void reap(void) {
    struct signalfd_siginfo info;
    while (read(sigchld_fd, &info, sizeof info) > 0) {
    }
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        if (pid == child)
            finish(status);
}

/* ---- commands ---- */

static void command(char* line) {
    char* words[80];
    int count = 0;
    for (char* w = strtok(line, " "); w && count < 80; w = strtok(NULL, " "))
        words[count++] = w;
    if (count == 0)
        return;
    if (strcmp(words[0], "put") == 0 && (count == 5 || count == 6)) {
        char path[600];
        size_t size = strtoull(words[4], NULL, 10);
        char* data = malloc(size ? size : 1);
        int got = !data        ? -1
                  : count == 6 ? mailbox_read(strtoull(words[5] + 1, NULL, 10), data, size)
                               : read_exact(serial, data, size);
        if (got != 0) {
            free(data);
            reply("error put: no data");
            return;
        }
        snprintf(path, sizeof path, "/%s/%s", words[1], words[2]);
        mode_t mode = (mode_t)strtoul(words[3], NULL, 8);
        int failed = write_file(path, data, size, mode);
        free(data);
        if (strcmp(words[1], "board") == 0)
            note_changed(words[2]);
        if (failed)
            reply("error put %s: %s", path, strerror(errno));
        else
            reply("ok");
    } else if (strcmp(words[0], "dir") == 0 && count == 4) {
        char path[600];
        snprintf(path, sizeof path, "/%s/%s", words[1], words[2]);
        mkdir(path, (mode_t)strtoul(words[3], NULL, 8));
        reply("ok");
    } else if (strcmp(words[0], "del") == 0 && count == 3) {
        char path[600];
        snprintf(path, sizeof path, "/%s/%s", words[1], words[2]);
        if (unlink(path) != 0 && (errno == EISDIR || errno == EPERM))
            rmdir(path);
        if (strcmp(words[1], "board") == 0)
            note_changed(words[2]);
        reply("ok");
    } else if (strcmp(words[0], "load") == 0) {
        char error[300];
        if (load_board(error, sizeof error) == 0)
            reply("ok");
        else
            reply("error %s", error);
    } else if (strcmp(words[0], "start") == 0) {
        start(words, count);
    } else if (strcmp(words[0], "signal") == 0 && count == 3) {
        if (child > 0 && strcmp(words[1], child_id) == 0)
            kill(child, atoi(words[2]));
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
    mkdir("/board", 0755);
    mkdir("/work", 0755);

    serial = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (serial < 0)
        serial = open("/dev/console", O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t;
    if (tcgetattr(serial, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(serial, TCSANOW, &t);
    }
    mailbox = open("/dev/vda", O_RDWR | O_DIRECT | O_CLOEXEC);
    if (mailbox >= 0) {
        off_t end = lseek(mailbox, 0, SEEK_END);
        mailbox_size = end > 0 ? (uint64_t)end : 0;
        if (mailbox_size <= MAILBOX_OUT) {
            close(mailbox);
            mailbox = -1;
        }
    }
    int fd = open("/lib/modules/zelk_board.ko", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || syscall(SYS_finit_module, fd, "", 0) != 0)
        reply("error cannot load the driver module: %s", strerror(errno));
    if (fd >= 0)
        close(fd);
    control = open(ZB_CONTROL_NODE, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (control < 0)
        reply("error cannot open %s: %s", ZB_CONTROL_NODE, strerror(errno));

    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, NULL);
    sigchld_fd = signalfd(-1, &chld, SFD_NONBLOCK | SFD_CLOEXEC);
}

int main(void) {
    setup();
    reply("ready");
    static char line[1 << 20];
    size_t used = 0;
    for (;;) {
        struct pollfd fds[5] = {
            {serial, POLLIN, 0},       {sigchld_fd, POLLIN, 0}, {child_out[1], POLLIN, 0},
            {child_out[2], POLLIN, 0}, {control, POLLIN, 0},
        };
        int timeout = child > 0 ? 1000 : -1;
        if (poll(fds, 5, timeout) < 0 && errno != EINTR)
            continue;
        if (child_out[1] >= 0 && (fds[2].revents & (POLLIN | POLLHUP)))
            forward(1);
        if (child_out[2] >= 0 && (fds[3].revents & (POLLIN | POLLHUP)))
            forward(2);
        if (fds[4].revents & POLLIN)
            send_log();
        if (fds[1].revents & POLLIN)
            reap();
        if (child > 0) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > child_deadline.tv_sec)
                kill(child, SIGKILL); /* over its time limit */
        }
        if (fds[0].revents & POLLIN) {
            /* One byte at a time up to the end of a line: a put's data follows it. */
            char c;
            ssize_t n = read(serial, &c, 1);
            if (n <= 0)
                continue;
            if (c == '\r')
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
