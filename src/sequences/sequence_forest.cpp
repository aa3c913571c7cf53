#include "sequences/sequence_forest.h"

namespace vl {
namespace {

std::size_t add_node(sequence_forest &forest, std::size_t parent, std::size_t position,
                     std::uint32_t token, bool context) {
    forest.nodes.emplace_back();
    forest_node &node = forest.nodes.back();
    node.parent = parent;
    node.position = position;
    node.token = static_cast<llama_token>(token);
    node.context = context;
    return forest.nodes.size() - 1;
}

// A node with something below it is decoded, and so is every node above it
// up to its task's top (a virtual root is never decoded).
void mark_decoded(sequence_forest &forest, std::size_t at) {
    while (at != no_node && !forest.nodes[at].decoded && !forest.nodes[at].kept_row) {
        forest.nodes[at].decoded = true;
        const std::size_t parent = forest.nodes[at].parent;
        if (parent != no_node) ++forest.nodes[parent].decoded_children;
        at = parent;
    }
}

// Depth-first pre-order of one task's decoded nodes from top, context chain
// first, trie children in ascending token id; leaves are its branches.
void order_task(sequence_forest &forest, std::size_t top,
                const std::vector<std::size_t> &context_next) {
    std::vector<std::size_t> stack{top};
    while (!stack.empty()) {
        const std::size_t at = stack.back();
        stack.pop_back();
        const forest_node &node = forest.nodes[at];
        forest.order.push_back(at);
        if (node.decoded_children == 0) {
            forest.branches.push_back(at);
            continue;
        }
        if (context_next[at] != no_node) {
            stack.push_back(context_next[at]);
            continue;
        }
        for (auto it = node.children.rbegin(); it != node.children.rend(); ++it)
            if (forest.nodes[it->second].decoded) stack.push_back(it->second);
    }
}

}  // namespace

void build_sequence_forest(const std::uint32_t *context_tokens, const std::size_t *context_offsets,
                           const std::uint32_t *sequence_tokens,
                           const std::size_t *sequence_offsets, const std::size_t *task_offsets,
                           std::size_t task_count, std::size_t prefix, sequence_forest &forest) {
    forest = sequence_forest{};
    forest.task_root.resize(task_count);
    forest.root_is_kept_row.resize(task_count);
    forest.next_candidate.assign(task_offsets[task_count], no_node);
    std::vector<std::size_t> context_next;  // per node: the next context token
    std::vector<std::size_t> task_top(task_count, no_node);

    for (std::size_t t = 0; t < task_count; ++t) {
        const std::size_t context_begin = context_offsets[t];
        const std::size_t context_len = context_offsets[t + 1] - context_begin;
        std::size_t root = no_node;
        for (std::size_t k = 0; k < context_len; ++k) {
            const std::size_t at =
                add_node(forest, root, prefix + k, context_tokens[context_begin + k], true);
            if (root != no_node) context_next[root] = at;
            context_next.push_back(no_node);
            if (root == no_node) task_top[t] = at;
            root = at;
        }
        if (root == no_node) {
            // An empty context: the kept row after the retained prefix scores
            // the first candidate tokens, and nothing is decoded for it.
            root = add_node(forest, no_node, prefix == 0 ? 0 : prefix - 1, 0, true);
            context_next.push_back(no_node);
            forest.nodes[root].kept_row = true;
            forest.root_is_kept_row[t] = true;
        } else {
            forest.nodes[root].wants_row = true;
            mark_decoded(forest, root);
        }
        forest.task_root[t] = root;

        // The candidates as a trie below the root; equal candidates share a
        // node, and a candidate may end on a node that others go through.
        const std::size_t first_position = prefix + context_len;
        for (std::size_t i = task_offsets[t]; i < task_offsets[t + 1]; ++i) {
            std::size_t at = root;
            for (std::size_t j = sequence_offsets[i]; j < sequence_offsets[i + 1]; ++j) {
                const std::uint32_t token = sequence_tokens[j];
                auto found = forest.nodes[at].children.find(token);
                if (found != forest.nodes[at].children.end()) {
                    at = found->second;
                    continue;
                }
                const std::size_t depth = j - sequence_offsets[i];
                const std::size_t child = add_node(forest, at, first_position + depth, token, false);
                context_next.push_back(no_node);
                forest.nodes[at].children.emplace(token, child);
                forest.nodes[at].wants_row = true;
                mark_decoded(forest, at);
                at = child;
            }
            forest.next_candidate[i] = forest.nodes[at].first_candidate;
            forest.nodes[at].first_candidate = i;
        }
        // Trie nodes below a virtual root start their own decoded subtrees.
        if (forest.root_is_kept_row[t]) {
            for (const auto &edge : forest.nodes[root].children)
                if (forest.nodes[edge.second].decoded) order_task(forest, edge.second, context_next);
        } else {
            order_task(forest, task_top[t], context_next);
        }
    }
}

}  // namespace vl
