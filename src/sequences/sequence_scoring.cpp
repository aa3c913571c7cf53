#include "sequences/sequence_scoring.h"

#include <vector>

#include "sequences/sequence_trie.h"
#include "sequences/trie_walk.h"

namespace vl {

outcome score_sequence_trie(const vl_llama_runtime *runtime, llama_seq_id scoring_seq,
                            std::size_t base_pos, const float *root_logits,
                            std::size_t root_count, const std::uint32_t *sequence_tokens,
                            const std::size_t *sequence_offsets, std::size_t n_sequences,
                            float *out_scores) {
    if (runtime == nullptr || runtime->ctx == nullptr || out_scores == nullptr)
        return "invalid sequence scoring runtime";
    llama_memory_t memory = llama_get_memory(runtime->ctx);
    if (memory == nullptr) return "llama.cpp context does not expose sequence memory";

    std::vector<trie_node> nodes;
    if (outcome failure =
            build_sequence_trie(runtime, sequence_tokens, sequence_offsets, n_sequences, nodes))
        return failure;

    const std::int32_t n_vocab = llama_vocab_n_tokens(runtime->vocab);
    if (root_logits == nullptr || root_count != static_cast<std::size_t>(n_vocab))
        return "root vocabulary logits have the wrong size";

    const trie_walk walk{*runtime, memory, scoring_seq, base_pos, n_vocab, nodes, out_scores};
    return walk_sequence_trie(walk, root_logits, n_sequences);
}

}  // namespace vl
