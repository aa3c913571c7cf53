#include "runtime/error_buffer.h"

#include <cstring>

namespace vl {

void write_error(char *err, std::size_t cap, const char *message) noexcept {
    if (err == nullptr || cap == 0) return;
    std::size_t n = std::strlen(message);
    if (n > cap - 1) n = cap - 1;
    std::memcpy(err, message, n);
    err[n] = '\0';
}

}  // namespace vl
