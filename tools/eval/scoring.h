// Scoring of one item's answers through the library: one prefill of the
// retained prefix, then vl_llama_score_suffix_sequences over the answers,
// which are split into prefix-free groups because a codebook cannot hold two
// equal answers or one that begins another. Runs of consecutive items keep
// the token prefix they share decoded in the model's memory.
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

// How many leading tokens a and b share.
std::size_t common_prefix(const std::vector<std::uint32_t> &a, const std::vector<std::uint32_t> &b);

// The prefix length each item is scored after, chosen once for the whole
// task file so that every shard and every resumed run scores an item after
// the same decoded prefix, and so gets the same scores to the bit.
// common[i] is the number of leading context tokens items i and i + 1 share
// (0 where either cannot be scored). Consecutive items form runs that keep
// the tokens all of them share decoded once; the runs are chosen to decode
// the fewest tokens. An item alone in its run gets no_shared_prefix: it is
// prefilled whole.
constexpr std::size_t no_shared_prefix = static_cast<std::size_t>(-1);
std::vector<std::size_t> plan_shared_prefixes(const std::vector<std::size_t> &common);

class item_scorer {
public:
    explicit item_scorer(vl_llama_runtime *runtime);

    // Scores every answer of prompt (natural-log probabilities, in order)
    // after the first prefix_length tokens of its context (no_shared_prefix
    // or more: the whole context). The prefix stays decoded for the next
    // item that asks for the same one. Returns an error message, empty on
    // success.
    std::string score(const item_prompt &prompt, std::size_t prefix_length,
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
    bool has_retained_ = false;
    std::vector<std::uint32_t> retained_;
    std::uint64_t decoded_ = 0;
    std::uint64_t from_scratch_ = 0;
};

}  // namespace vl_eval
