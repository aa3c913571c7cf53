// The greedy decoder's choice from one row of logits.
#pragma once

#include <cstddef>

#include <llama.h>

#include "runtime/outcome.h"

namespace vl {

// The index of the row's largest entry, the lowest among equal maxima.
// A NaN or infinite entry fails with "non-finite vocabulary logit": no
// choice is sound then.
outcome greedy_token(const float *row, std::size_t n, llama_token &token);

}  // namespace vl
