#include "tasks/python_random.h"

#include <cmath>
#include <unordered_set>

namespace vl_eval {
namespace {

constexpr std::size_t n_words = 624;
constexpr std::size_t m_words = 397;

// The reference generator's init_genrand and init_by_array, which CPython's
// random_seed calls with the seed's 32-bit words, least significant first.
void init_genrand(std::array<std::uint32_t, n_words> &mt, std::uint32_t s) {
    mt[0] = s;
    for (std::size_t i = 1; i < n_words; ++i)
        mt[i] = 1812433253U * (mt[i - 1] ^ (mt[i - 1] >> 30)) + static_cast<std::uint32_t>(i);
}

void init_by_array(std::array<std::uint32_t, n_words> &mt, const std::vector<std::uint32_t> &key) {
    init_genrand(mt, 19650218U);
    std::size_t i = 1, j = 0;
    for (std::size_t k = std::max(n_words, key.size()); k > 0; --k) {
        mt[i] = (mt[i] ^ ((mt[i - 1] ^ (mt[i - 1] >> 30)) * 1664525U)) + key[j] +
                static_cast<std::uint32_t>(j);
        if (++i >= n_words) {
            mt[0] = mt[n_words - 1];
            i = 1;
        }
        if (++j >= key.size()) j = 0;
    }
    for (std::size_t k = n_words - 1; k > 0; --k) {
        mt[i] = (mt[i] ^ ((mt[i - 1] ^ (mt[i - 1] >> 30)) * 1566083941U)) -
                static_cast<std::uint32_t>(i);
        if (++i >= n_words) {
            mt[0] = mt[n_words - 1];
            i = 1;
        }
    }
    mt[0] = 0x80000000U;
}

}  // namespace

python_random::python_random(std::int64_t seed) {
    // The absolute value without overflow at INT64_MIN.
    std::uint64_t magnitude = seed < 0 ? 0 - static_cast<std::uint64_t>(seed)
                                       : static_cast<std::uint64_t>(seed);
    std::vector<std::uint32_t> key;
    do {
        key.push_back(static_cast<std::uint32_t>(magnitude));
        magnitude >>= 32;
    } while (magnitude != 0);
    init_by_array(state_, key);
    index_ = n_words;
}

std::uint32_t python_random::next() {
    constexpr std::uint32_t upper = 0x80000000U, lower = 0x7fffffffU, matrix = 0x9908b0dfU;
    if (index_ >= n_words) {
        for (std::size_t k = 0; k < n_words; ++k) {
            const std::uint32_t y = (state_[k] & upper) | (state_[(k + 1) % n_words] & lower);
            state_[k] = state_[(k + m_words) % n_words] ^ (y >> 1) ^ ((y & 1U) ? matrix : 0U);
        }
        index_ = 0;
    }
    std::uint32_t y = state_[index_++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680U;
    y ^= (y << 15) & 0xefc60000U;
    y ^= y >> 18;
    return y;
}

std::uint64_t python_random::getrandbits(unsigned k) {
    if (k == 0) return 0;
    if (k <= 32) return next() >> (32 - k);
    // CPython fills the words least significant first, dropping the low
    // bits of the last one.
    const std::uint64_t low = next();
    const std::uint64_t high = next() >> (64 - k);
    return high << 32 | low;
}

std::uint64_t python_random::randbelow(std::uint64_t n) {
    unsigned bits = 0;
    for (std::uint64_t v = n; v != 0; v >>= 1) ++bits;
    std::uint64_t r = getrandbits(bits);
    while (r >= n) r = getrandbits(bits);
    return r;
}

std::vector<std::size_t> python_random::sample(std::size_t n, std::size_t k) {
    std::vector<std::size_t> result;
    result.reserve(k);
    // CPython keeps a list of the population where that takes less memory
    // than a set of the picks, by its own estimate of their sizes.
    double setsize = 21;
    if (k > 5) setsize += std::pow(4.0, std::ceil(std::log(static_cast<double>(k) * 3) / std::log(4.0)));
    if (static_cast<double>(n) <= setsize) {
        std::vector<std::size_t> pool(n);
        for (std::size_t i = 0; i < n; ++i) pool[i] = i;
        for (std::size_t i = 0; i < k; ++i) {
            const std::size_t j = static_cast<std::size_t>(randbelow(n - i));
            result.push_back(pool[j]);
            pool[j] = pool[n - i - 1];
        }
    } else {
        std::unordered_set<std::size_t> selected;
        for (std::size_t i = 0; i < k; ++i) {
            std::size_t j = static_cast<std::size_t>(randbelow(n));
            while (selected.count(j) != 0) j = static_cast<std::size_t>(randbelow(n));
            selected.insert(j);
            result.push_back(j);
        }
    }
    return result;
}

}  // namespace vl_eval
