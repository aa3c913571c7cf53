// Runs an export's body so that its outcome, and never an exception,
// reaches the C caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "runtime/error_buffer.h"
#include "runtime/outcome.h"

namespace vl {

// For exports returning a 0/-1 status. Exhausted memory (or any exception
// escaping llama.cpp) fails the call without a message.
template <class Body>
std::int32_t status_export(char *err, std::size_t err_cap, Body &&body) noexcept {
    try {
        outcome failure = body();
        if (failure == ok) return 0;
        write_error(err, err_cap, failure);
        return -1;
    } catch (...) {
        return -1;
    }
}

// For exports returning a count or -1. The body sets count on success.
template <class Body>
std::int64_t count_export(char *err, std::size_t err_cap, Body &&body) noexcept {
    try {
        std::int64_t count = 0;
        outcome failure = body(count);
        if (failure == ok) return count;
        write_error(err, err_cap, failure);
        return -1;
    } catch (...) {
        return -1;
    }
}

}  // namespace vl
