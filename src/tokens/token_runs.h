// Teacher forcing: every token of many sequences scored from the row before
// it, the sequences packed into as few llama_decode calls as the batch, the
// scratch sequences and the context window allow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <llama.h>

#include "runtime/outcome.h"
#include "runtime/runtime.h"

namespace vl {

// One sequence of a request whose checks have passed.
struct token_run {
    const std::uint32_t *tokens;
    std::size_t length;
    // Tokens before this index are context only; from it on each token is
    // scored. 0 only after a retained prefix, whose kept row scores token 0.
    std::size_t first_scored;
    float *log_probs;       // one entry per token
    std::uint8_t *greedy;   // one entry per token, or null
};

// Tokens of a run that are decoded: all but the last, when the run has a
// token to score that a decoded row predicts; else none.
inline std::size_t decoded_tokens(const token_run &run) {
    if (run.first_scored >= run.length || run.length < 2) return 0;
    return run.length - 1;
}

// Writes log P(token k | what comes before it) of row, a vocabulary-wide
// logits row, and the greedy flag (the row's argmax, the lowest id among
// equal maxima, is the token).
outcome score_token(const float *row, std::int32_t n_vocab, const token_run &run, std::size_t k);

// Decodes every run's tokens after the retained prefix (or from position 0
// when none is retained) in scratch sequences 1 .. n_seq_max - 1 and scores
// the tokens from first_scored on (token 0 of a run is the caller's). Runs
// start in order while a scratch sequence is free, the decode has room and
// the window holds every started run whole; a started run continues in the
// next decode where the last one ended. A run's sequence is removed as soon
// as it is done; the caller removes them all on a failure.
outcome decode_token_runs(vl_llama_runtime &runtime, llama_memory_t memory,
                          const std::vector<token_run> &runs, std::int32_t n_vocab);

}  // namespace vl
