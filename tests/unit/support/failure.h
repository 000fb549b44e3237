// SPDX-License-Identifier: MIT
// What a call threw, reduced to what the tests compare.
#pragma once

#include "posix/exception.h"

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

struct failure_t {
    std::string what;
    int number = -1; // error_number(), -1 for a plain qv::exception_t
    const std::type_info* type = nullptr;
};

template <typename F> failure_t failure_of(F&& call) {
    try {
        call();
    } catch (const qv::posix::posix_exception_t& e) {
        return {e.what(), e.error_number(), &typeid(e)};
    } catch (const qv::exception_t& e) {
        return {e.what(), -1, &typeid(e)};
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}
