// Scoring of one item's answers through the library: one prefill of the
// retained prefix, then vl_llama_score_suffix_sequences over the answers,
// which are split into prefix-free groups because a codebook cannot hold two
// equal answers or one that begins another. Consecutive items keep the
// longest token prefix they share decoded in the model's memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "prompts.h"

struct vl_llama_runtime;

namespace vl_eval {

// Answers in groups that can each be one codebook: every member has the same
// context, and no two members are equal or one the prefix of another. Equal
// answers are scored once: `copies` maps each later copy to its first.
struct answer_groups {
    std::vector<std::vector<std::size_t>> groups;   // answer indices
    std::vector<std::size_t> first_copy;            // per answer: itself or its equal
};
answer_groups group_answers(const item_prompt &prompt);

class item_scorer {
public:
    // share: keep prefixes across items; off, every item is prefilled whole.
    item_scorer(vl_llama_runtime *runtime, bool share);

    // Scores every answer of prompt (natural-log probabilities, in order).
    // next is the context of the item scored after this one, or null; the
    // prefix both share is what stays decoded. Returns an error message,
    // empty on success.
    std::string score(const item_prompt &prompt, const std::vector<std::uint32_t> *next,
                      std::vector<double> &logprobs);

    // Tokens decoded so far: prefills, suffixes and the answers' inner trie
    // nodes.
    std::uint64_t tokens_decoded() const { return decoded_; }
    // Tokens an evaluation that decodes every (context, answer) pair from
    // scratch would have decoded: context plus answer but its last token.
    std::uint64_t tokens_from_scratch() const { return from_scratch_; }

private:
    std::string prefill(const std::vector<std::uint32_t> &prefix);

    vl_llama_runtime *runtime_;
    bool share_;
    bool has_retained_ = false;
    std::vector<std::uint32_t> retained_;
    std::uint64_t decoded_ = 0;
    std::uint64_t from_scratch_ = 0;
};

}  // namespace vl_eval
