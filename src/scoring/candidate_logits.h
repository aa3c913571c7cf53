// Picking candidate logits out of one vocabulary-wide row.
#pragma once

#include <cstddef>
#include <cstdint>

#include <llama.h>

#include "runtime/outcome.h"

namespace vl {

// out[j] = logits[candidate_ids[j]] for j in order, read in place. Stops at
// the first id not below the vocabulary size, leaving earlier entries written.
outcome copy_candidate_logits(const llama_vocab *vocab, const float *logits,
                              const std::uint32_t *candidate_ids, std::size_t candidate_count,
                              float *out);

}  // namespace vl
