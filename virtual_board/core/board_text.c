// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The text of a request log line, built without printf so that the kernel and the
 * C library write the same bytes (and no 64-bit division is needed on 32 bits).
 */
#include "board_call.h"

static void put_char(struct zc_line* line, char c) {
    if (line->used + 1 < sizeof(line->text))
        line->text[line->used++] = c;
    line->text[line->used] = 0;
}

void zc_put(struct zc_line* line, const char* text) {
    while (*text)
        put_char(line, *text++);
}

size_t zc_dec(char* to, int64_t value) {
    uint64_t rest = value < 0 ? 0 - (uint64_t)value : (uint64_t)value;
    uint64_t power = 1;
    size_t used = 0;
    int digits = 1;

    if (value < 0)
        to[used++] = '-';
    while (digits < 20 && rest >= power * 10) { /* 10^19 is the last power of ten a u64 holds */
        power *= 10;
        digits++;
    }
    for (; digits > 0; digits--) {
        char digit = '0';
        uint64_t next = 1;
        int i;

        while (rest >= power) {
            rest -= power;
            digit++;
        }
        to[used++] = digit;
        for (i = 2; i < digits; i++) /* power / 10, without a division */
            next *= 10;
        power = next;
    }
    to[used] = 0;
    return used;
}

void zc_put_dec(struct zc_line* line, int64_t value) {
    char digits[ZC_DEC_SIZE];

    zc_dec(digits, value);
    zc_put(line, digits);
}

/* At least `digits` digits, lower case. */
void zc_put_hex(struct zc_line* line, uint32_t value, int digits) {
    static const char hex[] = "0123456789abcdef";
    int width = 8;

    while (width > digits && width > 1 && (value >> (4 * (width - 1))) == 0)
        width--;
    while (width-- > 0)
        put_char(line, hex[(value >> (4 * width)) & 0xF]);
}

void zc_put_quoted(struct zc_line* line, const char* text, size_t size) {
    size_t i;

    put_char(line, '"');
    for (i = 0; i < size; i++) {
        unsigned char c = (unsigned char)text[i];

        if (c == '"' || c == '\\') {
            put_char(line, '\\');
            put_char(line, (char)c);
        } else if (c < 0x20 || c >= 0x7F) {
            zc_put(line, "\\x");
            zc_put_hex(line, c, 2);
        } else {
            put_char(line, (char)c);
        }
    }
    put_char(line, '"');
}

void zc_put_flags(struct zc_line* line, unsigned int flags) {
    static const struct {
        unsigned int bit;
        const char* name;
    } names[] = {
        {O_SYNC, "O_SYNC"},           {O_DSYNC, "O_DSYNC"},       {O_CLOEXEC, "O_CLOEXEC"},
        {O_CREAT, "O_CREAT"},         {O_EXCL, "O_EXCL"},         {O_TRUNC, "O_TRUNC"},
        {O_APPEND, "O_APPEND"},       {O_NONBLOCK, "O_NONBLOCK"}, {O_NOCTTY, "O_NOCTTY"},
        {O_DIRECTORY, "O_DIRECTORY"}, {O_NOFOLLOW, "O_NOFOLLOW"},
    };
    static const char* const modes[] = {"O_RDONLY", "O_WRONLY", "O_RDWR", "O_ACCMODE"};
    unsigned int rest = flags & ~(unsigned int)O_ACCMODE & ~(unsigned int)O_LARGEFILE;
    size_t i;

    zc_put(line, modes[flags & O_ACCMODE]);
    for (i = 0; i < sizeof(names) / sizeof(names[0]); i++) {
        if ((rest & names[i].bit) == names[i].bit) {
            zc_put(line, "|");
            zc_put(line, names[i].name);
            rest &= ~names[i].bit;
        }
    }
    if (rest) {
        zc_put(line, "|0x");
        zc_put_hex(line, rest, 1);
    }
}
