// SPDX-License-Identifier: MIT
/*
 * zelk_probe: puts the board's driver through its contract, one request per line of
 * output ("what -> result" or "what -> -1 ERRNO"), on a fresh default board. Run on
 * both stand-ins of the driver (the preload board and the kernel board) it must print
 * the same transcript and leave the same device images behind.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "zelk_ioctl.h"

static void result(const char* what, long long value) {
    if (value < 0)
        printf("%s -> -1 %s\n", what, strerrorname_np(errno));
    else
        printf("%s -> %lld\n", what, value);
}

static void hex(const char* what, const unsigned char* data, size_t size) {
    printf("%s:", what);
    for (size_t i = 0; i < size; i++)
        printf(" %02x", data[i]);
    printf("\n");
}

static int open_node(const char* path, int flags) {
    int fd = open(path, flags);
    printf("open %s %s -> %s\n", path, (flags & O_ACCMODE) == O_RDONLY ? "ro" : "rw",
           fd < 0 ? strerrorname_np(errno) : "fd");
    return fd;
}

static void flash(void) {
    unsigned char data[32], ones[16], zeros_high[16];
    int fd = open_node(ZELK_FLASH_NODE_PREFIX "bios0", O_RDWR);
    long long size = lseek(fd, 0, SEEK_END);
    result("seek end", size);
    result("seek past the end", lseek(fd, size + 1, SEEK_SET));
    result("seek before the start", lseek(fd, -1, SEEK_SET));
    result("seek 8 before the end", lseek(fd, size - 8, SEEK_SET));
    memset(ones, 0x0F, sizeof ones);
    result("write 16 across the end", write(fd, ones, 16));
    result("offset after it", lseek(fd, 0, SEEK_CUR));
    result("write 8 up to the end", write(fd, ones, 8));
    result("offset after it", lseek(fd, 0, SEEK_CUR));
    result("read at the end", read(fd, data, 16));
    result("write 0 at the end", write(fd, ones, 0));
    result("seek 0", lseek(fd, 0, SEEK_SET));
    result("write 17", write(fd, data, 17));
    result("write 16", write(fd, ones, 16));
    result("offset after it", lseek(fd, 0, SEEK_CUR));
    memset(zeros_high, 0xF3, sizeof zeros_high);
    result("write 5", write(fd, zeros_high, 5));
    result("seek 0", lseek(fd, 0, SEEK_SET));
    memset(zeros_high, 0x3C, sizeof zeros_high);
    result("write 16 again", write(fd, zeros_high, 16)); /* programming only clears bits */
    result("seek 0", lseek(fd, 0, SEEK_SET));
    result("read 32", read(fd, data, 32));
    hex("bytes", data, 32);
    result("seek from the current offset", lseek(fd, -2, SEEK_CUR));
    result("seek from the end", lseek(fd, -4, SEEK_END));
    result("read 32 at the end", read(fd, data, 32));
    hex("bytes", data, 4);

    struct zelk_device_info info;
    memset(&info, 0x55, sizeof info);
    result("info", ioctl(fd, FLASH_IOC_INFO, &info));
    printf("info: %d %d %d\n", (int)info.manufacturer_id, (int)info.device_id,
           (int)info.size_kbits);
    hex("info bytes", (const unsigned char*)&info, sizeof info);
    result("info without a record", ioctl(fd, FLASH_IOC_INFO, NULL));
    result("unknown request", ioctl(fd, 0x4040C0FFu, &info));
    result("environment get on a plain flash", ioctl(fd, FLASH_IOC_ENV_GET, data));

    struct zelk_error_text text;
    memset(&text, 'x', sizeof text);
    text.code = 129;
    result("error text 129", ioctl(fd, ZELK_IOC_ERROR_TEXT, &text));
    printf("text: %.*s\n", (int)sizeof text.text, text.text);
    text.code = 999;
    memcpy(text.text, "mine", 5);
    result("error text 999", ioctl(fd, ZELK_IOC_ERROR_TEXT, &text));
    printf("text: %s\n", text.text);
    result("erase", ioctl(fd, FLASH_IOC_ERASE, 0));
    result("seek 0", lseek(fd, 0, SEEK_SET));
    result("read 16", read(fd, data, 16));
    hex("bytes", data, 16);
    result("close", close(fd));

    fd = open_node(ZELK_FLASH_NODE_PREFIX "bios1", O_RDONLY | O_CLOEXEC);
    result("write on read-only", write(fd, ones, 16));
    result("erase on read-only", ioctl(fd, FLASH_IOC_ERASE, 0));
    result("close", close(fd));
    open_node(ZELK_FLASH_NODE_PREFIX "nosuch", O_RDONLY);
}

static void env(const char* node, unsigned set, unsigned get, unsigned clear) {
    struct zelk_env_request request;
    int fd = open_node(node, O_RDONLY);
    memset(&request, 0, sizeof request);
    strcpy(request.key, "serverip");
    memset(request.value, 'v', sizeof request.value);
    result("get serverip", ioctl(fd, get, &request));
    printf("value: %.*s\n", (int)sizeof request.value, request.value);
    result("set on read-only", ioctl(fd, set, &request));
    close(fd);

    fd = open_node(node, O_RDWR);
    strcpy(request.key, "a=b");
    result("set a key with =", ioctl(fd, set, &request));
    memset(&request, 0, sizeof request);
    strcpy(request.key, "probe");
    strcpy(request.value, "first");
    result("set probe", ioctl(fd, set, &request));
    strcpy(request.value, "second");
    result("set probe again", ioctl(fd, set, &request));
    memset(request.value, 0, sizeof request.value);
    result("get probe", ioctl(fd, get, &request));
    printf("value: %s\n", request.value);
    memset(request.key, 'k', sizeof request.key); /* a key that fills its field */
    memset(request.value, 'w', sizeof request.value);
    result("set a full field", ioctl(fd, set, &request));
    memset(request.value, 0, sizeof request.value);
    result("get it", ioctl(fd, get, &request));
    printf("value: %.*s\n", (int)sizeof request.value, request.value);
    int fits = 0;
    for (int i = 0; i < 200; i++) { /* fill the store up */
        snprintf(request.key, sizeof request.key, "fill%d", i);
        if (ioctl(fd, set, &request) != 0) {
            printf("fill stopped after %d -> %s\n", fits, strerrorname_np(errno));
            break;
        }
        fits++;
    }
    result("get without a record", ioctl(fd, get, NULL));
    result("clear", ioctl(fd, clear, 0));
    strcpy(request.key, "probe");
    result("get probe after clear", ioctl(fd, get, &request));
    strcpy(request.value, "last");
    result("set probe", ioctl(fd, set, &request));
    unsigned char head[24];
    result("seek 0", lseek(fd, 0, SEEK_SET));
    result("read 24", read(fd, head, sizeof head));
    hex("store", head, sizeof head);
    result("close", close(fd));
}

int main(void) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    flash();
    env(ZELK_FLASH_ENV_NODE, FLASH_IOC_ENV_SET, FLASH_IOC_ENV_GET, FLASH_IOC_ENV_CLEAR);
    env(ZELK_NVRAM_NODE, NVRAM_IOC_ENV_SET, NVRAM_IOC_ENV_GET, NVRAM_IOC_ENV_CLEAR);
    return 0;
}
