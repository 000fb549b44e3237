// SPDX-License-Identifier: MIT
// What a load sends to make a store hold exactly a text's entries: as few sets as possible,
// and a clear only when keys must go, since the driver has no request that removes a key.
#pragma once

#include "zelk/zelk_env_text.h"

#include <cstddef>
#include <string>
#include <vector>

namespace qv::zelk {

// A store as its node holds it: the device's size, and the entries from offset 4 up to the
// first empty entry, as they stand (a key's leading white space kept, entries without "="
// too). An unterminated last entry is no entry: the driver drops it.
struct env_image_t {
    std::size_t size = 0;
    std::vector<std::string> entries;
};

// The entries of the stored image bytes (the whole node from offset 0).
env_image_t env_image_of(const std::string& bytes);

// The bytes a store needs for these entries: the 4-byte header, each entry with its NUL,
// and the empty entry that ends them.
std::size_t env_stored_size(const std::vector<std::string>& entries);

struct env_plan_t {
    bool clear = false;            // sent first: some stored key is not in the text
    std::vector<env_entry_t> sets; // in the order they are sent
    // What changes, by key: in the text's order, removed ones in the store's.
    std::vector<std::string> added, changed, removed;
    std::size_t needed = 0;        // bytes the store needs afterwards, and at any point before
    std::size_t overflow_line = 0; // the text's line from which it does not fit; 0: it fits
};

// The requests that turn store into the text's entries (a later line of a key wins; a key
// keeps the place of its first line). Without a clear, a set goes only to a key whose value
// differs or that is missing (or, when stale copies of a key leave no room otherwise, to that
// key with its own value), and sets that shrink the store go first, so the store never holds
// more than it does before or after. With one, every key is set, in the text's order.
env_plan_t plan_load(const env_image_t& store, const std::vector<env_text_line_t>& text);

// The bytes the store needs once set is stored: the driver keeps one entry of its key.
std::size_t env_size_after_set(const env_image_t& store, const env_entry_t& set);

} // namespace qv::zelk
