// The depth-first walk that scores every candidate of a trie as the sum of
// its tokens' log-probabilities, decoding each shared prefix once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <llama.h>

#include "runtime/outcome.h"
#include "runtime/runtime.h"
#include "sequences/sequence_trie.h"

namespace vl {

// Not infinite and not NaN: the exponent bits are not all set. Tested on the
// bits so that no floating-point compile option can change the answer.
bool is_finite(float x);

// log(sum(exp(row))) over a vocabulary-wide row: the maximum in single
// precision, each difference to it formed in single precision, exp and the
// sum in double precision in index order, the log narrowed to single
// precision before the maximum is added back. The fixed order makes scores
// reproducible to the bit; do not reorder or vectorise the sum.
outcome vocab_logsumexp(const float *row, std::size_t n, float &normaliser);

// What every step of one walk shares.
struct trie_walk {
    const vl_llama_runtime &runtime;        // ctx and n_ctx
    llama_memory_t memory;                  // for removing a subtree's tokens again
    llama_seq_id scoring_seq;               // the sequence the trie tokens go into
    std::size_t base_pos;                   // tokens the sequence already holds
    std::int32_t n_vocab;                   // length of every logits row
    const std::vector<trie_node> &nodes;
    float *out_scores;                      // one entry per candidate
};

// Scores the subtree below node, whose prefix (depth tokens after the
// context, log-probability score) is followed by the n_vocab logits given.
// Each child's score is (score + logit) - normaliser in single precision;
// a child with children of its own is decoded as one token at base_pos +
// depth, its subtree scored from a private copy of the new logits, and its
// position removed from the sequence again. After a failure the tokens of
// the path being explored stay in the sequence.
outcome score_trie_node(const trie_walk &walk, std::size_t node, std::size_t depth, float score,
                        const float *logits);

// The whole walk from the root: scores start at negative infinity, and a
// candidate left without a finite score fails the walk.
outcome walk_sequence_trie(const trie_walk &walk, const float *root_logits,
                           std::size_t n_sequences);

}  // namespace vl
