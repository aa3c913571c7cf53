// The error-buffer writer with any message, capacity and buffer: it writes
// min(length, cap - 1) bytes and a NUL, never a byte more, and nothing at
// all for a null buffer or a capacity of 0.
#include <cstring>
#include <memory>
#include <string>

#include "common/check.h"
#include "common/input_reader.h"
#include "runtime/error_buffer.h"

namespace {
constexpr unsigned char fill = 0xA5;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    vl_fuzz::input_reader in(data, size);
    const bool null_buffer = in.flag();
    const std::size_t cap = in.u16() % 600;
    std::size_t n_message = 0;
    const std::uint8_t *raw = in.rest(n_message);
    // The message ends at its first NUL, as a C string does.
    const std::string message(reinterpret_cast<const char *>(raw), n_message);
    const std::size_t length = std::strlen(message.c_str());

    // Exactly cap bytes (one for cap 0, to see it stays untouched), so that
    // AddressSanitizer reports any write past the capacity.
    const std::size_t allocated = cap == 0 ? 1 : cap;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[allocated]);
    std::memset(buffer.get(), fill, allocated);

    char *err = null_buffer ? nullptr : reinterpret_cast<char *>(buffer.get());
    vl::write_error(err, cap, message.c_str());

    std::size_t written = 0;  // bytes expected to change, the NUL included
    if (err != nullptr && cap != 0) {
        const std::size_t n = length < cap - 1 ? length : cap - 1;
        VL_FUZZ_CHECK(std::memcmp(buffer.get(), message.data(), n) == 0, "message prefix copied");
        VL_FUZZ_CHECK(buffer[n] == '\0', "NUL right after the copied bytes");
        written = n + 1;
    }
    for (std::size_t i = written; i < allocated; ++i)
        VL_FUZZ_CHECK(buffer[i] == fill, "no byte written beyond the message and its NUL");
    return 0;
}
