// Reads a fuzz input as a stream of small integers; past the end it yields 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vl_fuzz {

class input_reader {
public:
    input_reader(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::size_t left() const { return empty() ? 0 : size_ - pos_; }

    std::uint8_t u8() { return empty() ? 0 : data_[pos_++]; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) | (static_cast<std::uint32_t>(u16()) << 16); }
    std::uint64_t u64() { return static_cast<std::uint64_t>(u32()) | (static_cast<std::uint64_t>(u32()) << 32); }
    bool flag() { return (u8() & 1) != 0; }

    // The remaining bytes, consumed.
    const std::uint8_t *rest(std::size_t &n) {
        n = left();
        const std::uint8_t *p = data_ + pos_;
        pos_ = size_;
        return p;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace vl_fuzz
