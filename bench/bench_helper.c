// SPDX-License-Identifier: MIT
/*
 * flash_bench's measure, on the host and in the kernel board's guest (which has neither
 * /usr/bin/time nor dd; built static there, it brings no libraries of its own). The CPU
 * time wait4 reports is to the microsecond where time(1) prints hundredths.
 *
 *   bench_helper time PROGRAM ARG...  runs the program (stdout to /dev/null) and prints
 *                                     "WALL_S CPU_S PEAK_RSS_KIB" of that process alone
 *   bench_helper copy SOURCE TARGET BS [fsync]
 *                                     the floor: dd's loop, BS bytes a read and a write
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(struct timeval t) {
    return (double)t.tv_sec + (double)t.tv_usec / 1e6;
}

static int measure(char** argv) {
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execvp(argv[0], argv);
        perror(argv[0]);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
        perror("bench_helper");
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "bench_helper: %s ended with status %#x\n", argv[0], status);
        return 1;
    }
    double wall = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    printf("%.6f %.6f %ld\n", wall, seconds(usage.ru_utime) + seconds(usage.ru_stime),
           usage.ru_maxrss);
    return 0;
}

static int copy(const char* source, const char* target, size_t size, int sync) {
    char buffer[4096];
    int in = open(source, O_RDONLY);
    int out = open(target, O_WRONLY | O_CREAT, 0644); /* dd's conv=notrunc */
    if (in < 0 || out < 0 || size == 0 || size > sizeof buffer) {
        perror("bench_helper copy");
        return 1;
    }
    ssize_t n;
    while ((n = read(in, buffer, size)) > 0)
        if (write(out, buffer, (size_t)n) != n) {
            perror("bench_helper copy: write");
            return 1;
        }
    if (n < 0 || (sync && fsync(out) != 0) || close(out) != 0) {
        perror("bench_helper copy");
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 2 && strcmp(argv[1], "time") == 0)
        return measure(argv + 2);
    if ((argc == 5 || argc == 6) && strcmp(argv[1], "copy") == 0)
        return copy(argv[2], argv[3], strtoul(argv[4], NULL, 10),
                    argc == 6 && strcmp(argv[5], "fsync") == 0);
    fprintf(stderr, "usage: bench_helper time PROGRAM ARG... | copy SOURCE TARGET BS [fsync]\n");
    return 2;
}
