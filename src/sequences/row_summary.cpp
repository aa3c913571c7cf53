#include "sequences/row_summary.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vl {
namespace {

// Below this e^x is under 1.6e-38: nothing a sum of at least 1 can hold.
constexpr float lowest_exponent = -87.0f;

// e^x for x <= 0 in single precision, written so that the compiler can run
// it on every lane of a vector: x = n ln 2 + r with n whole and |r| <= ln 2 / 2,
// e^r from its Taylor series to the 7th power (truncation 5e-9), times 2^n
// built in the exponent bits. Below lowest_exponent (and for -inf, which a
// difference of two far-apart finite logits can be) it is 0.
inline float exp_nonpositive(float x) {
    const float clamped = x < lowest_exponent ? lowest_exponent : x;
    // Round to the nearest whole number: adding 1.5 * 2^23 leaves no
    // fraction bits, and subtracting it again gives the rounded value.
    constexpr float round_magic = 12582912.0f;
    const float n = (clamped * 1.44269504088896341f + round_magic) - round_magic;
    // ln 2 in two parts, the first exact in few bits, so n * ln2_high is exact.
    const float r = (clamped - n * 0.693359375f) - n * -2.12194440e-4f;
    float p = 1.0f / 5040.0f;
    p = p * r + 1.0f / 720.0f;
    p = p * r + 1.0f / 120.0f;
    p = p * r + 1.0f / 24.0f;
    p = p * r + 1.0f / 6.0f;
    p = p * r + 0.5f;
    p = p * r + 1.0f;
    p = p * r + 1.0f;
    // n lies in [-126, 0]: 2^n is a normal number.
    const std::int32_t bits = (static_cast<std::int32_t>(n) + 127) << 23;
    float scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return x < lowest_exponent ? 0.0f : p * scale;
}

}  // namespace

outcome vocab_row_summary(const float *row, std::size_t n, float &normaliser,
                          std::size_t &argmax) {
    if (row == nullptr || n == 0) return "empty vocabulary logits";
    float maximum = -std::numeric_limits<float>::infinity();
    std::uint32_t non_finite = 0;
#pragma omp simd reduction(max : maximum) reduction(| : non_finite)
    for (std::size_t i = 0; i < n; ++i) {
        // Tested on the bits, so that no floating-point option changes it.
        std::uint32_t bits;
        std::memcpy(&bits, &row[i], sizeof bits);
        non_finite |= (bits & 0x7f800000u) == 0x7f800000u ? 1u : 0u;
        maximum = row[i] > maximum ? row[i] : maximum;
    }
    if (non_finite != 0) return "non-finite vocabulary logit";
    std::size_t at = 0;
    while (row[at] != maximum) ++at;  // the maximum is one of the entries
    // The largest entry adds e^0 = 1, so the sum is at least 1 and finite.
    double sum = 0.0;
#pragma omp simd reduction(+ : sum)
    for (std::size_t i = 0; i < n; ++i) sum += static_cast<double>(exp_nonpositive(row[i] - maximum));
    normaliser = static_cast<float>(std::log(sum)) + maximum;
    argmax = at;
    return ok;
}

}  // namespace vl
