// Scoring a candidate sequence codebook after a context already decoded.
#pragma once

#include <cstddef>
#include <cstdint>

#include <llama.h>

#include "runtime/outcome.h"
#include "runtime/runtime.h"

namespace vl {

// Builds the codebook's trie and walks it in scoring_seq, whose first
// base_pos positions hold the context; root_logits (root_count floats) are
// the next-token logits after the context. out_scores[i] receives
// log P(candidate i | context). out_scores is untouched when the checks or
// the build fail; after a failed walk the sequence still holds the tokens of
// the path the walk was on.
outcome score_sequence_trie(const vl_llama_runtime *runtime, llama_seq_id scoring_seq,
                            std::size_t base_pos, const float *root_logits,
                            std::size_t root_count, const std::uint32_t *sequence_tokens,
                            const std::size_t *sequence_offsets, std::size_t n_sequences,
                            float *out_scores);

}  // namespace vl
