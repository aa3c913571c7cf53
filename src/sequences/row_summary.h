// The normaliser and greedy token of one vocabulary-wide logits row, as the
// sequence batch scorer needs them for every row it scores.
#pragma once

#include <cstddef>

#include "runtime/outcome.h"

namespace vl {

// log(sum(exp(row))) and the index of the row's largest entry (the lowest
// index among equal maxima: the token a greedy decoder would pick).
//
// Vectorised: the maximum and the finiteness check in one pass, then e^x of
// every difference to the maximum from a single-precision polynomial
// (relative error about 2e-7), summed in double precision. At Qwen2's
// 151,936 entries a row takes a fraction of what the walk's normaliser
// (vocab_logsumexp: glibc's double exp, one entry at a time) takes, and
// agrees with it to 1e-6, or to one step of single precision where the
// normaliser is larger than 8 (the rounding both end with).
//
// Fails with "empty vocabulary logits" (no row or no entries) or
// "non-finite vocabulary logit" (an entry is infinite or NaN).
outcome vocab_row_summary(const float *row, std::size_t n, float &normaliser,
                          std::size_t &argmax);

}  // namespace vl
