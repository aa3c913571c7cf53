// Scoring of items' answers through the library. Runs of consecutive items
// keep the token prefix they share decoded in the model's memory (one
// prefill), as the call plan says. The batch scorer then scores several items in one
// vl_llama_score_sequence_batch call, packed into few decodes; the walk
// scores one item at a time with vl_llama_score_suffix_sequences, whose
// codebooks cannot hold two equal answers or one that begins another, so
// the answers are split into prefix-free groups.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "prompts/prompts.h"
#include "scoring/call_plan.h"

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

// Prefills and token counts that both scorers share.
class retained_prefix {
public:
    explicit retained_prefix(vl_llama_runtime *runtime) : runtime_(runtime) {}

    // Makes prefix the retained prefix, decoding it unless it already is.
    // Returns an error message, empty on success.
    std::string ensure(const std::vector<std::uint32_t> &prefix);

    vl_llama_runtime *runtime() const { return runtime_; }
    std::uint64_t decoded = 0;
    std::uint64_t from_scratch = 0;

private:
    vl_llama_runtime *runtime_;
    bool has_retained_ = false;
    std::vector<std::uint32_t> retained_;
};

// The batch scorer: every answer of a group of items in one
// vl_llama_score_sequence_batch call after the prefix they share.
class batch_scorer {
public:
    explicit batch_scorer(vl_llama_runtime *runtime) : state_(runtime) {}

    // Scores every answer of every prompt (natural-log probabilities, in
    // order, one vector per prompt) after the first prefix_length tokens of
    // the first prompt's context (no_shared_prefix or more: its whole
    // context). Each distinct answer context that continues the prefix is
    // one task; an answer whose context does not (its tokenization changed
    // the context's own tokens) is scored after a prefill of its own
    // context. Returns an error message for the whole group, empty on
    // success.
    std::string score(const std::vector<const item_prompt *> &prompts, std::size_t prefix_length,
                      std::vector<std::vector<double>> &logprobs);

    // As item_scorer's.
    std::uint64_t tokens_decoded() const { return state_.decoded; }
    std::uint64_t tokens_from_scratch() const { return state_.from_scratch; }

private:
    retained_prefix state_;
};

class item_scorer {
public:
    explicit item_scorer(vl_llama_runtime *runtime) : state_(runtime) {}

    // Scores every answer of prompt (natural-log probabilities, in order)
    // after the first prefix_length tokens of its context (no_shared_prefix
    // or more: the whole context). The prefix stays decoded for the next
    // item that asks for the same one. Returns an error message, empty on
    // success.
    std::string score(const item_prompt &prompt, std::size_t prefix_length,
                      std::vector<double> &logprobs);

    // Tokens decoded so far: prefills, suffixes and the answers' inner trie
    // nodes.
    std::uint64_t tokens_decoded() const { return state_.decoded; }
    // Tokens an evaluation that decodes every (context, answer) pair from
    // scratch would have decoded: context plus answer but its last token.
    std::uint64_t tokens_from_scratch() const { return state_.from_scratch; }

private:
    retained_prefix state_;
};

}  // namespace vl_eval
