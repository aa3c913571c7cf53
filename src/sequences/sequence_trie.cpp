#include "sequences/sequence_trie.h"

#include <llama.h>

namespace vl {

outcome build_sequence_trie(const vl_llama_runtime *runtime, const std::uint32_t *sequence_tokens,
                            const std::size_t *sequence_offsets, std::size_t n_sequences,
                            std::vector<trie_node> &nodes) {
    if (runtime == nullptr || runtime->vocab == nullptr || sequence_tokens == nullptr ||
        sequence_offsets == nullptr || n_sequences < 2 || sequence_offsets[0] != 0)
        return "invalid candidate sequence arguments";
    const std::int32_t n_vocab = llama_vocab_n_tokens(runtime->vocab);
    if (n_vocab <= 0) return "llama.cpp vocabulary is empty";
    const std::uint32_t limit = static_cast<std::uint32_t>(n_vocab);

    nodes.clear();
    nodes.emplace_back();
    for (std::size_t i = 0; i < n_sequences; ++i) {
        const std::size_t start = sequence_offsets[i];
        const std::size_t end = sequence_offsets[i + 1];
        if (end <= start) return "candidate sequence offsets are invalid";

        std::size_t current = 0;
        for (std::size_t j = start; j < end; ++j) {
            // An earlier candidate ending here would be a proper prefix of
            // this one; that is reported before the token itself is looked at.
            if (nodes[current].candidate >= 0) return "candidate sequence codebook is not prefix-free";
            const std::uint32_t token = sequence_tokens[j];
            if (token >= limit) return "candidate sequence token exceeds vocabulary size";
            auto found = nodes[current].children.find(token);
            if (found != nodes[current].children.end()) {
                current = found->second;
            } else {
                // Indices, not references: the node array grows here.
                const std::size_t added = nodes.size();
                nodes.emplace_back();
                nodes[current].children.emplace(token, added);
                current = added;
            }
        }
        if (nodes[current].candidate >= 0) return "duplicate candidate sequence";
        if (!nodes[current].children.empty()) return "candidate sequence codebook is not prefix-free";
        nodes[current].candidate = static_cast<std::int64_t>(i);
    }
    return ok;
}

}  // namespace vl
