// The tokens a batch of sequence-scoring tasks decodes, as one forest: per
// task, its context as a chain of nodes, then its candidates as a trie below
// the last context token. Every node that has something below it is decoded
// once; the leaves of the decoded part are the branches, each of which needs
// a llama.cpp sequence of its own while it is decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include <llama.h>

namespace vl {

inline constexpr std::size_t no_node = static_cast<std::size_t>(-1);

struct forest_node {
    std::size_t parent = no_node;   // no_node: the top of its task
    std::size_t position = 0;       // llama.cpp position when decoded
    llama_token token = 0;
    bool decoded = false;           // has something below it, so it is decoded
    bool wants_row = false;         // its logits score the trie children below it
    bool context = false;           // a context token, not a candidate token
    // A task's root standing for the retained prefix's kept row (an empty
    // context): never decoded, its row is the runtime's shared_logits.
    bool kept_row = false;
    // Trie children (candidate tokens following this node) by token id; only
    // the last context token, a task's virtual root and trie nodes have them.
    std::map<std::uint32_t, std::size_t> children;
    std::size_t first_candidate = no_node;  // candidates ending here, linked
    std::size_t decoded_children = 0;
    // Filled while scoring: log P(the candidate tokens down to here | context)
    // and whether each of them was the most probable next token.
    float score = 0.0f;
    bool greedy = true;
};

struct sequence_forest {
    std::vector<forest_node> nodes;
    std::vector<std::size_t> next_candidate;   // per candidate: the next one on its node
    // Per task: the node whose logits score its first candidate tokens, and
    // whether that row is the retained prefix's kept row (empty context).
    std::vector<std::size_t> task_root;
    std::vector<bool> root_is_kept_row;
    // Decoded nodes in depth-first pre-order, children in ascending token
    // id, tasks in order; and the leaves among them, in the same order.
    std::vector<std::size_t> order;
    std::vector<std::size_t> branches;
};

// Builds the forest of tasks whose offsets and tokens have been checked.
// Contexts start at position prefix (the retained prefix's length, or 0).
void build_sequence_forest(const std::uint32_t *context_tokens, const std::size_t *context_offsets,
                           const std::uint32_t *sequence_tokens,
                           const std::size_t *sequence_offsets, const std::size_t *task_offsets,
                           std::size_t task_count, std::size_t prefix, sequence_forest &forest);

}  // namespace vl
