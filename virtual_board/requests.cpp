// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "requests.h"

#include "env_image.h"
#include "files.h"
#include "log_text.h"
#include "zelk/zelk_ioctl.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>

namespace vboard {

namespace {

// The store and operation of an environment request code; false for any other code.
bool env_request_of(uint32_t code, zelk_env_store& store, zelk_env_op& op) {
    static const uint32_t codes[ZELK_ENV_STORES][ZELK_ENV_OPS] = ZELK_ENV_REQUEST_CODES;
    for (int s = 0; s < ZELK_ENV_STORES; ++s)
        for (int o = 0; o < ZELK_ENV_OPS; ++o)
            if (codes[s][o] == code) {
                store = static_cast<zelk_env_store>(s);
                op = static_cast<zelk_env_op>(o);
                return true;
            }
    return false;
}

std::string field_text(const char (&field)[ZELK_ENV_FIELD_SIZE]) {
    return std::string(field, strnlen(field, sizeof field));
}

std::string quoted(const std::string& text) {
    return escape(text.data(), text.size());
}

// A key with "=" could never be found again: an entry's key ends at its first "=".
bool valid_env_key(const std::string& key) {
    return key.find('=') == std::string::npos;
}

// Writes a rebuilt environment image. A power cut in the middle leaves the
// store erased with the first `partial` bytes of the new image programmed.
long store_env(call_t& call, const image_t& image, const std::string& data) {
    if (call.fault.power_cut) {
        std::string erased(static_cast<size_t>(image.size()), '\xff');
        size_t k = std::min(static_cast<size_t>(call.fault.partial), data.size());
        erased.replace(0, k, data, 0, k);
        image.write(erased.data(), erased.size(), 0);
        call.cut_power();
    }
    return image.write(data.data(), data.size(), 0) ? 0 : -EIO;
}

long env_request(call_t& call, int fd, zelk_env_op op, void* argument) {
    auto* record = static_cast<zelk_env_request*>(argument);
    if (op != ZELK_ENV_CLEAR && record == nullptr)
        return -EFAULT;
    std::string key, value;
    if (op != ZELK_ENV_CLEAR) {
        key = field_text(record->key);
        call.args += " key=" + quoted(key);
    }
    if (op == ZELK_ENV_SET) {
        value = field_text(record->value);
        call.args += " value=" + quoted(value);
    }
    if (op != ZELK_ENV_GET && access_mode(fd) == O_RDONLY)
        return -EBADF;
    image_t image(call.ref, op != ZELK_ENV_GET);
    if (!image.ok())
        return -EIO;
    std::string data;
    if (!image.read_all(data))
        return -EIO;
    env_image_t env(data);
    if (op == ZELK_ENV_GET) {
        if (!env.get(key, value))
            return 0;
        std::memset(record->value, 0, sizeof record->value);
        std::memcpy(record->value, value.data(), std::min(value.size(), sizeof record->value));
        return 1;
    }
    if (op == ZELK_ENV_SET) {
        if (!valid_env_key(key))
            return -EINVAL;
        env.set(key, value);
    } else {
        env.clear();
    }
    std::string rebuilt;
    if (!env.build(data.size(), rebuilt))
        return -ENOSPC;
    call.session.program_delay(rebuilt.size());
    return store_env(call, image, rebuilt);
}

long error_text_request(const node_ref_t& ref, void* argument) {
    if (argument == nullptr)
        return -EFAULT;
    auto* record = static_cast<zelk_error_text*>(argument);
    std::string text;
    read_cached(ref.board + "/errors.txt", text);
    for (const std::string& line : split_lines(text)) {
        size_t space = line.find(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos)
            continue;
        if (to_number(line.substr(0, space), LLONG_MIN) != record->code)
            continue;
        std::string message = line.substr(space + 1);
        std::memset(record->text, 0, sizeof record->text);
        std::memcpy(record->text, message.data(),
                    std::min(message.size(), sizeof record->text - 1));
        break;
    }
    // An unknown code leaves the caller's text as it was.
    return 0;
}

long erase(call_t& call, int fd) {
    if (access_mode(fd) == O_RDONLY)
        return -EBADF;
    image_t image(call.ref, true);
    if (!image.ok())
        return -EIO;
    std::string erased(static_cast<size_t>(image.size()), static_cast<char>(ZELK_ERASED_BYTE));
    call.session.erase_delay();
    if (call.fault.power_cut) {
        size_t k = std::min(static_cast<size_t>(call.fault.partial), erased.size());
        image.write(erased.data(), k, 0);
        call.cut_power();
    }
    return image.write(erased.data(), erased.size(), 0) ? 0 : -EIO;
}

long device_info(const node_info_t& info, void* argument) {
    if (argument == nullptr)
        return -EFAULT;
    zelk_device_info record{};
    record.manufacturer_id = static_cast<int32_t>(info.manufacturer_id);
    record.device_id = static_cast<int32_t>(info.device_id);
    record.size_kbits = static_cast<int32_t>(info.size_kbits);
    std::memcpy(record.part_name, info.part_name.data(),
                std::min(info.part_name.size(), sizeof record.part_name - 1));
    std::memcpy(argument, &record, sizeof record);
    return 0;
}

} // namespace

long device_request(call_t& call, int fd, uint32_t code, void* argument) {
    if (call.session.error())
        return -call.session.error();
    node_info_t info;
    if (!load_info(call.ref, info))
        return -ENODEV;
    zelk_env_store store = ZELK_ENV_FLASH;
    zelk_env_op op = ZELK_ENV_GET;
    const bool env = env_request_of(code, store, op);
    if (code == ZELK_IOC_ERROR_TEXT && argument)
        call.args += " errcode=" + std::to_string(static_cast<zelk_error_text*>(argument)->code);
    // A power cut during a request that changes the device lands part-way
    // through it; any other request never completes. The line shows the
    // request as it arrived.
    if (call.fault.power_cut) {
        call.log_power_cut();
        if (!(code == FLASH_IOC_ERASE || (env && op != ZELK_ENV_GET)))
            call.cut_power();
    }
    if (long refused = call.refusal()) {
        // The record's key goes into the log even when a fault fails the call.
        if (env && op != ZELK_ENV_CLEAR && argument)
            call.args +=
                " key=" + quoted(field_text(static_cast<zelk_env_request*>(argument)->key));
        return refused;
    }
    if (code == ZELK_IOC_ERROR_TEXT)
        return error_text_request(call.ref, argument);
    if (code == FLASH_IOC_INFO && info.flash)
        return device_info(info, argument);
    if (code == FLASH_IOC_ERASE && info.flash)
        return erase(call, fd);
    if (env && info.env == (store == ZELK_ENV_FLASH ? "flash" : "nvram"))
        return env_request(call, fd, op, argument);
    return -ENOTTY;
}

} // namespace vboard
