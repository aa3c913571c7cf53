// Candidate sequence codebooks, validated and built into a prefix-free trie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "runtime/outcome.h"
#include "runtime/runtime.h"

namespace vl {

// One distinct prefix of one or more candidates. Children are kept in
// ascending token id, so every walk over the trie visits them in that order
// whatever the codebook order.
struct trie_node {
    std::map<std::uint32_t, std::size_t> children;  // token id -> node index
    std::int64_t candidate = -1;                     // candidate ending here, or -1
};

// Validates the codebook (candidate i is sequence_tokens[offsets[i] ..
// offsets[i + 1])) against the runtime's vocabulary and builds its trie into
// nodes: index 0 is the root, later nodes are numbered in the order the
// candidates (in codebook order, each front to back) first reach them. On
// failure nodes holds what was built so far.
outcome build_sequence_trie(const vl_llama_runtime *runtime, const std::uint32_t *sequence_tokens,
                            const std::size_t *sequence_offsets, std::size_t n_sequences,
                            std::vector<trie_node> &nodes);

}  // namespace vl
