// Python's random.Random, as far as the common harness uses it to draw
// few-shot examples: the same Mersenne Twister seeded the way CPython seeds
// it from an integer, and random.sample over a population of indices, so
// that a draw here picks the very examples the harness picks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vl_eval {

class python_random {
public:
    // random.Random(seed): CPython seeds from the absolute value of an int.
    explicit python_random(std::int64_t seed);

    // random.getrandbits(k), for k up to 64.
    std::uint64_t getrandbits(unsigned k);

    // random.Random._randbelow(n): uniform in [0, n), n > 0.
    std::uint64_t randbelow(std::uint64_t n);

    // random.sample(range(n), k): k distinct indices below n in selection
    // order, by the same one of CPython's two algorithms and the same draws.
    // k must not exceed n.
    std::vector<std::size_t> sample(std::size_t n, std::size_t k);

private:
    std::uint32_t next();

    static constexpr std::size_t state_size = 624;
    std::array<std::uint32_t, state_size> state_{};
    std::size_t index_ = state_size;
};

}  // namespace vl_eval
