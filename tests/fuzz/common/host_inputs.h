// Host arguments made from fuzz input: arrays of exactly the length the call
// is told (so AddressSanitizer sees any access past them), token ids that
// are mostly inside the vocabulary with the interesting edges mixed in, and
// error buffers whose convention is checked after the call.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/check.h"
#include "common/input_reader.h"

namespace vl_fuzz {

// A token id: usually a valid one, now and then an edge of the vocabulary
// or of the llama.cpp range.
inline std::uint32_t read_id(input_reader &in, std::int32_t n_vocab) {
    const std::uint16_t raw = in.u16();
    const std::uint32_t v = static_cast<std::uint32_t>(n_vocab);
    if (raw < 0xFFF0) return raw % v;
    const std::uint32_t edges[] = {v, v - 1, 0, v + 1, 2147483647u, 2147483648u, 0xFFFFFFFFu, 1};
    return edges[raw % 8];
}

inline std::vector<std::uint32_t> read_ids(input_reader &in, std::size_t n, std::int32_t n_vocab) {
    std::vector<std::uint32_t> ids(n);
    for (std::uint32_t &id : ids) id = read_id(in, n_vocab);
    return ids;
}

// Ids from a small alphabet (300 .. 300 + alphabet - 1), so that equal,
// shared and prefix-related sequences are common, and now and then an edge
// of the vocabulary or of the llama.cpp range.
inline std::vector<std::uint32_t> read_alphabet_ids(input_reader &in, std::size_t n, std::uint32_t n_vocab,
                                                    std::uint32_t alphabet) {
    const std::uint32_t edges[] = {n_vocab - 1, n_vocab, 2147483648u, 0xFFFFFFFFu};
    std::vector<std::uint32_t> ids(n);
    for (std::uint32_t &id : ids) {
        const std::uint8_t b = in.u8();
        id = b < 0xF0 ? 300 + b % alphabet : edges[b % 4];
    }
    return ids;
}

// count + 1 offsets: mostly small steps (0 to max_step) from 0, now and then
// a first offset other than 0, or any value at all (out of order, huge).
inline std::vector<std::size_t> read_offsets(input_reader &in, std::size_t count, unsigned max_step) {
    std::vector<std::size_t> off(count + 1);
    const std::uint8_t first = in.u8();
    off[0] = first >= 0xF0 ? first % 3 : 0;
    for (std::size_t i = 1; i <= count; ++i) {
        const std::uint8_t step = in.u8();
        if (step >= 0xF8) off[i] = static_cast<std::size_t>(step == 0xFF ? in.u64() : in.u16());
        else off[i] = off[i - 1] + step % (max_step + 1);
    }
    return off;
}

// A NUL-terminated text of up to max bytes.
inline std::string read_text(input_reader &in, std::size_t max) {
    const std::size_t n = in.u8() % (max + 1);
    std::string text;
    for (std::size_t i = 0; i < n && !in.empty(); ++i) {
        const char c = static_cast<char>(in.u8());
        if (c != '\0') text.push_back(c);
    }
    return text;
}

// An error buffer of a fuzzed capacity (or none), filled with a pattern.
class error_buffer {
public:
    explicit error_buffer(input_reader &in) {
        const std::uint8_t b = in.u8();
        null_ = (b & 0x80) != 0 && (b & 0x40) != 0;  // one call in four without a buffer
        cap_ = b % 48;
        bytes_.assign(cap_ == 0 ? 1 : cap_, fill);
    }
    char *err() { return null_ ? nullptr : reinterpret_cast<char *>(bytes_.data()); }
    std::size_t cap() const { return cap_; }

    // A success writes nothing; a failure writes a NUL-terminated, non-empty
    // message within the capacity and nothing after its NUL.
    void check(bool failed) const {
        if (!failed || null_ || cap_ == 0) {
            for (unsigned char c : bytes_) VL_FUZZ_CHECK(c == fill, "error buffer untouched");
            return;
        }
        std::size_t nul = 0;
        while (nul < cap_ && bytes_[nul] != '\0') ++nul;
        VL_FUZZ_CHECK(nul < cap_, "message NUL-terminated within the capacity");
        VL_FUZZ_CHECK(cap_ == 1 || nul > 0, "a failure has a message");
        for (std::size_t i = nul + 1; i < cap_; ++i)
            VL_FUZZ_CHECK(bytes_[i] == fill, "nothing written after the message's NUL");
    }
    std::string message() const {
        if (null_ || cap_ == 0) return {};
        return std::string(reinterpret_cast<const char *>(bytes_.data()),
                           strnlen(reinterpret_cast<const char *>(bytes_.data()), cap_));
    }

private:
    static constexpr unsigned char fill = 0x5A;
    bool null_ = false;
    std::size_t cap_ = 0;
    std::vector<unsigned char> bytes_;
};

}  // namespace vl_fuzz
