// The error-buffer convention of every fallible export.
#pragma once

#include <cstddef>

namespace vl {

// Copies min(strlen(message), cap - 1) bytes and a NUL into err; writes
// nothing when err is null or cap is 0.
void write_error(char *err, std::size_t cap, const char *message) noexcept;

}  // namespace vl
