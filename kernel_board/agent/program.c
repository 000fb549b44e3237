// SPDX-License-Identifier: MIT
/* The program the host runs in the guest, one at a time: started in /work as the host
 * would start it, its output forwarded, its end reported after what it changed. */
#define _GNU_SOURCE
#include "agent.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_FILES 512

static pid_t child = -1;
static char child_id[64];
int child_out[3] = {-1, -1, -1};
static struct timespec child_deadline;
static int sigchld_fd = -1;

int running(void) {
    return child > 0;
}

/* ---- the work folder ---- */

struct work_file {
    char name[256];
    struct stat st;
};
static struct work_file before[MAX_FILES]; /* as it was when the program started */
static int before_count;

static int snapshot(struct work_file* files) {
    int count = 0;
    DIR* dir = opendir("/work");
    struct dirent* entry;
    while (dir && (entry = readdir(dir)) != NULL && count < MAX_FILES) {
        char path[300];
        snprintf(path, sizeof path, "/work/%s", entry->d_name);
        /* Hidden files too: a dump's temporary copy must show when it is left behind. */
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0 ||
            lstat(path, &files[count].st) != 0 || !S_ISREG(files[count].st.st_mode))
            continue;
        snprintf(files[count].name, sizeof files[count].name, "%s", entry->d_name);
        count++;
    }
    if (dir)
        closedir(dir);
    return count;
}

static void send_work_changes(void) {
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
            reply_data(data, size, "file %s %o", after[i].name, (unsigned)(now->st_mode & 07777));
        free(data);
    }
    for (int j = 0; j < before_count; j++) {
        int kept = 0;
        for (int i = 0; i < count; i++)
            kept |= strcmp(before[j].name, after[i].name) == 0;
        if (!kept)
            reply("gone %s", before[j].name);
    }
}

/* ---- the program ---- */

void forward(int which) {
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

static void run_child(char** argv, const sigset_t* blocked, unsigned long long mask,
                      unsigned long long ignored, unsigned closed, long long fsize, int out,
                      int err) {
    if (!(mask & (1ull << (SIGCHLD - 1))))
        sigprocmask(SIG_SETMASK, blocked, NULL);
    for (int s = 1; s < 65; s++)
        signal(s, s <= 64 && (ignored & (1ull << (s - 1))) ? SIG_IGN : SIG_DFL);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out, 1);
    dup2(err, 2);
    /* A program started with a standard stream closed, as a shell's >&- starts it. */
    for (int fd = 0; fd <= 2; fd++)
        if (closed & (1u << fd))
            close(fd);
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

void start(char** words, int count) {
    /* start ID LIMIT FSIZE MASK IGNORED CLOSED PROGRAM ARG... */
    if (count < 8 || child > 0) {
        reply("error %s", child > 0 ? "a program is running" : "bad start");
        return;
    }
    static char args[64][4096];
    char* argv[65];
    int argc = 0;
    for (int i = 7; i < count && argc < 64; i++, argc++) {
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
    unsigned closed = (unsigned)strtoul(words[6], NULL, 16);

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
        run_child(argv, &blocked, mask, ignored, closed, fsize, out[1], err[1]);
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
    send_board_changes();
    send_work_changes();
    send_log();
    if (WIFSIGNALED(status))
        reply("exit %s signal %d", child_id, WTERMSIG(status));
    else
        reply("exit %s code %d", child_id, WEXITSTATUS(status));
    child = -1;
}

void reap(void) {
    struct signalfd_siginfo info;
    while (read(sigchld_fd, &info, sizeof info) > 0) {
    }
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        if (pid == child)
            finish(status);
}

void signal_child(const char* id, int number) {
    if (child > 0 && strcmp(id, child_id) == 0)
        kill(child, number);
}

void check_deadline(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (child > 0 && now.tv_sec > child_deadline.tv_sec)
        kill(child, SIGKILL); /* over its time limit */
}

int sigchld_descriptor(void) {
    if (sigchld_fd < 0) {
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        sigprocmask(SIG_BLOCK, &chld, NULL);
        sigchld_fd = signalfd(-1, &chld, SFD_NONBLOCK | SFD_CLOEXEC);
    }
    return sigchld_fd;
}
