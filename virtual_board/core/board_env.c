// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The environment stores. A store's image is 4 bytes (a big-endian CRC-32 of the rest
 * of the device), then NUL-ended "key=value" entries, then an empty entry; the rest
 * of the device stays erased. Reading the node returns exactly this image.
 */
#include "board_call.h"

#define ENV_HEADER 4

uint32_t zc_crc32(const uint8_t* data, size_t size) {
    uint32_t crc = ~0u;
    size_t i;
    int bit;

    for (i = 0; i < size; i++) {
        crc ^= data[i];
        for (bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

/* The next entry from *pos, as a reader of the node takes them: from offset 4 up to
 * the first empty entry or the end of the device; an unterminated last entry (an
 * erased device is one) is dropped. */
static int next_entry(const uint8_t* image, uint64_t size, uint64_t* pos, const uint8_t** entry,
                      size_t* length) {
    const uint8_t* end;

    if (*pos >= size)
        return 0;
    end = memchr(image + *pos, 0, size - *pos);
    if (!end || end == image + *pos)
        return 0;
    *entry = image + *pos;
    *length = (size_t)(end - *entry);
    *pos += *length + 1;
    return 1;
}

/* An entry's key ends at its first "="; one without "=" has none. */
static int has_key(const uint8_t* entry, size_t length, const char* key, size_t key_length) {
    const uint8_t* eq = memchr(entry, '=', length);

    return eq && (size_t)(eq - entry) == key_length && memcmp(entry, key, key_length) == 0;
}

struct builder {
    uint8_t* image;
    uint64_t size, used;
    int fits;
};

static void put(struct builder* b, const void* data, size_t length) {
    if (!b->fits || length > b->size - b->used) {
        b->fits = 0;
        return;
    }
    memcpy(b->image + b->used, data, length);
    b->used += length;
}

static void put_entry(struct builder* b, const char* key, size_t key_length, const char* value,
                      size_t value_length) {
    put(b, key, key_length);
    put(b, "=", 1);
    put(b, value, value_length);
    put(b, "", 1);
}

/* The store of `old` with the key set (in its first entry, later ones dropped; a new
 * key at the end), or cleared when key is null. 0 when the entries do not fit. */
static int build(const uint8_t* old, uint8_t* image, uint64_t size,
                 const struct zelk_env_request* record, size_t key_length, size_t value_length) {
    struct builder b = {image, size, ENV_HEADER, size >= ENV_HEADER};
    uint64_t pos = ENV_HEADER;
    const uint8_t* entry;
    size_t length;
    int placed = 0;
    uint32_t crc;

    while (record && next_entry(old, size, &pos, &entry, &length)) {
        if (!has_key(entry, length, record->key, key_length)) {
            put(&b, entry, length);
            put(&b, "", 1);
        } else if (!placed) {
            put_entry(&b, record->key, key_length, record->value, value_length);
            placed = 1;
        }
    }
    if (record && !placed)
        put_entry(&b, record->key, key_length, record->value, value_length);
    put(&b, "", 1);
    if (!b.fits)
        return 0;
    memset(image + b.used, ZELK_ERASED_BYTE, size - b.used);
    crc = zc_crc32(image + ENV_HEADER, size - ENV_HEADER);
    image[0] = (uint8_t)(crc >> 24);
    image[1] = (uint8_t)(crc >> 16);
    image[2] = (uint8_t)(crc >> 8);
    image[3] = (uint8_t)crc;
    return 1;
}

/* "get": the last entry of the key wins, as for a reader of the image. */
static long get(struct zc_call* call, struct zelk_env_request* record, size_t key_length,
                void* argument) {
    struct zc_node* node = call->node;
    const uint8_t *entry, *found = NULL;
    size_t length, found_length = 0;
    uint64_t pos = ENV_HEADER;

    while (next_entry(node->data, node->size, &pos, &entry, &length)) {
        if (has_key(entry, length, record->key, key_length)) {
            found = entry + key_length + 1;
            found_length = length - key_length - 1;
        }
    }
    if (!found)
        return 0;
    if (found_length > sizeof(record->value))
        found_length = sizeof(record->value);
    memset(record->value, 0, sizeof(record->value));
    memcpy(record->value, found, found_length);
    if (call->board->ops->copy_out((char*)argument + offsetof(struct zelk_env_request, value),
                                   record->value, sizeof(record->value)))
        return -EFAULT;
    return 1;
}

long zc_env_request(struct zc_call* call, struct zc_file* file, int op, void* argument) {
    struct zc_board* board = call->board;
    struct zc_node* node = call->node;
    struct zc_line* args = &board->args;
    struct zelk_env_request record;
    size_t key_length = 0, value_length = 0;
    uint8_t* image;
    long result;

    if (op != ZELK_ENV_CLEAR) {
        if (!argument || board->ops->copy_in(&record, argument, sizeof(record)))
            return -EFAULT;
        key_length = strnlen(record.key, sizeof(record.key));
        zc_put(args, " key=");
        zc_put_quoted(args, record.key, key_length);
    }
    if (op == ZELK_ENV_SET) {
        value_length = strnlen(record.value, sizeof(record.value));
        zc_put(args, " value=");
        zc_put_quoted(args, record.value, value_length);
    }
    if (op != ZELK_ENV_GET && !file->writable)
        return -EBADF;
    if (board->ops->map_image(board, node, op != ZELK_ENV_GET))
        return -EIO;
    if (op == ZELK_ENV_GET)
        return get(call, &record, key_length, argument);
    /* A key with "=" could never be found again. */
    if (op == ZELK_ENV_SET && memchr(record.key, '=', key_length))
        return -EINVAL;
    image = board->ops->borrow(board, node->size ? node->size : 1);
    if (!image)
        return -ENOMEM;
    if (!build(node->data, image, node->size, op == ZELK_ENV_SET ? &record : NULL, key_length,
               value_length))
        return -ENOSPC;
    if (board->conf.program_ns_per_byte > 0)
        board->ops->pause_ns(board, board->conf.program_ns_per_byte * (int64_t)node->size);
    /* A power cut in the middle leaves the store erased with the first bytes of the
     * new image programmed. */
    result = zc_store(call, image, 0, node->size, 1);
    return call->cut ? result : 0;
}
