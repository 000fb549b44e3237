// SPDX-License-Identifier: MIT
// env_t: one environment store of the board (store 0: the environment flash, 1: the
// NVRAM), reached through the driver's environment requests. Every get and set is one
// request; nothing is cached, so what one env_t writes the next get anywhere reads.
#pragma once

#include "zelk/zelk_env_plan.h"
#include "zelk/zelk_ioctl.h"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>

namespace qv::zelk {

// The record of every "set" and "get" request (zelk_ioctl.h). A text shorter than a
// field is NUL-padded; one that fills the field has no terminator. "get": the driver's
// answer in `value`, NUL-ended when shorter.
constexpr std::size_t ENV_FIELD_SIZE = ZELK_ENV_FIELD_SIZE;
using env_request_t = ::zelk_env_request;

// The request code of an operation on a store. A constant table: threads look codes up
// without a lock.
constexpr unsigned int env_request_code(zelk_env_store store, zelk_env_op op) {
    constexpr unsigned int codes[ZELK_ENV_STORES][ZELK_ENV_OPS] = ZELK_ENV_REQUEST_CODES;
    return codes[store][op];
}

class env_impl_t;

// How a store is opened: read-write with synchronous writes, or only to read it.
enum class env_access_t { read_write, read_only };

// One thread at a time per object; every thread builds its own.
class env_t {
public:
    // Opens the store's node (read-write with synchronous writes, unless read_only).
    // Throws qv::exception_t for a selector other than 0 and 1 (nothing opened), else what
    // the open throws.
    explicit env_t(int store, env_access_t access = env_access_t::read_write);
    explicit env_t(zelk_env_store store, env_access_t access = env_access_t::read_write)
        : env_t(static_cast<int>(store), access) {}
    ~env_t();
    env_t(const env_t&) = delete;
    env_t& operator=(const env_t&) = delete;

    // Keys and values longer than a field are refused with qv::exception_t before
    // any request: cut short they would store or read some other key. So is an entry
    // that a listing would not print back as it was (env_entry_problem). A failed
    // request throws posix_exception_t, or driver_exception_t for driver codes.

    // False, value untouched, when the key does not exist.
    bool get(const std::string& key, std::string& value);
    // Throws qv::exception_t "no such key, <key>\n" when the key does not exist.
    std::string get(const std::string& key);
    void set(const std::string& key, const std::string& value);
    // "env_t::<caller>() -- <reason>" for what set() (or, for the key alone, get()) refuses.
    static void check(const char* caller, const std::string& key, const std::string* value);

    // A whole-store load is: parse_env_text() of the text, read_image(), plan_load(), and
    // apply(). How far apply() came: a failure with `checked` unset changed nothing; after
    // the clear (`cleared`) the store holds the plan's first `stored` sets.
    struct load_progress_t {
        bool checked = false;
        bool cleared = false;
        std::size_t stored = 0;
    };
    // The whole node, read in large pieces: the store's size and its entries.
    env_image_t read_image();
    // Sends the plan: the clear if it has one, then its sets in order, counted in progress.
    void apply(const env_plan_t& plan, load_progress_t* progress = nullptr);

    // The stored entries as they stand, one byte per read from offset 4 up to the first
    // empty entry; an unterminated last entry is dropped. each may throw to stop early.
    void read_entries(const std::function<void(const std::string& entry)>& each);
    // The stored image's entries as env_entry_of() takes them; a later entry of a key
    // wins. An entry without "=" throws qv::exception_t "Parse error in <entry>", with
    // the entries before it kept.
    void read_all(std::map<std::string, std::string>& entries);
    // "key=value" lines in byte order of the keys.
    void print(std::ostream& out);
    bool exists(const std::string& key);
    // Sets an existing key's value to the empty text; a missing key stays missing.
    void erase(const std::string& key);

private:
    std::unique_ptr<env_impl_t> impl;
};

} // namespace qv::zelk
