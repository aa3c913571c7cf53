// Candidate sequence codebooks for tests, in the flat layout the library takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vl_test {

struct codebook {
    std::vector<uint32_t> tokens;
    std::vector<std::size_t> offsets{0};

    codebook() = default;
    codebook(std::initializer_list<std::vector<uint32_t>> candidates) {
        for (const auto &c : candidates) add(c);
    }
    void add(const std::vector<uint32_t> &candidate) {
        tokens.insert(tokens.end(), candidate.begin(), candidate.end());
        offsets.push_back(tokens.size());
    }
    std::size_t size() const { return offsets.size() - 1; }
    std::vector<uint32_t> candidate(std::size_t i) const {
        return {tokens.begin() + offsets[i], tokens.begin() + offsets[i + 1]};
    }
};

}  // namespace vl_test
