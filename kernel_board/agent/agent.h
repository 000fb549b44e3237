// SPDX-License-Identifier: MIT
/* The parts of the kernel board's /init (see agent.c for the protocol). */
#ifndef AGENT_H
#define AGENT_H

#include <stddef.h>
#include <stdint.h>

extern int serial;  /* the console line to the host */
extern int control; /* the driver's control node */

/* wire.c: replies to the host, data from it */
void write_all(int fd, const void* data, size_t size);
int read_exact(int fd, void* data, size_t size);
void reply(const char* format, ...) __attribute__((format(printf, 1, 2)));
void reply_data(const char* data, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
char* read_payload(const char* size_word, const char* offset_word, size_t* size);
void mailbox_open(void);
char* read_file(const char* path, size_t* size);
int write_file(const char* path, const void* data, size_t size, unsigned mode);

/* program.c: the one program running at a time */
extern int child_out[3]; /* [1] its stdout, [2] its stderr; -1 when closed */
int running(void);
void start(char** words, int count);
void forward(int which);
void reap(void);
void signal_child(const char* id, int number);
void check_deadline(void);
int sigchld_descriptor(void);

/* agent.c: the board in the driver */
void send_log(void);
void send_board_changes(void);

#endif /* AGENT_H */
