#include "sequences/trie_walk.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "scoring/batch.h"
#include "scoring/token_ids.h"

namespace vl {
namespace {

// One node of the current path whose children are being scored.
struct level {
    std::size_t node;
    std::size_t depth;
    float score;
    float normaliser;
    const float *logits;
    std::unique_ptr<float[]> copy;  // owns logits below the first level
    std::map<std::uint32_t, std::size_t>::const_iterator next_child;
};

// Decodes one trie token at position into the walk's sequence and copies the
// logits after it: the context's own row is overwritten by the next decode.
outcome decode_trie_token(const trie_walk &walk, std::uint32_t token, std::size_t position,
                          std::unique_ptr<float[]> &copy) {
    if (position > max_llama_int) return "candidate sequence exceeds llama.cpp position range";
    if (walk.runtime.n_ctx != 0 && position >= walk.runtime.n_ctx)
        return "candidate sequence exceeds llama.cpp context window";
    std::int32_t result = 0;
    {
        batch_owner batch(1);
        batch.get().n_tokens = 1;
        batch.set(0, static_cast<llama_token>(token), static_cast<llama_pos>(position),
                  walk.scoring_seq, true);
        result = llama_decode(walk.runtime.ctx, batch.get());
    }
    if (result != 0) return "llama_decode failed while traversing candidate sequence trie";
    const float *row = llama_get_logits_ith(walk.runtime.ctx, -1);
    if (row == nullptr) return "llama_get_logits_ith returned null during candidate sequence scoring";
    copy.reset(new float[static_cast<std::size_t>(walk.n_vocab)]);
    std::memcpy(copy.get(), row, static_cast<std::size_t>(walk.n_vocab) * sizeof(float));
    return ok;
}

}  // namespace

bool is_finite(float x) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & 0x7f800000u) != 0x7f800000u;
}

outcome vocab_logsumexp(const float *row, std::size_t n, float &normaliser) {
    if (row == nullptr || n == 0) return "empty vocabulary logits";
    float maximum = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        if (!is_finite(row[i])) return "non-finite vocabulary logit";
        if (row[i] > maximum) maximum = row[i];
    }
    // The largest entry adds exp(0) = 1, so the sum is at least 1 and finite.
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const float difference = row[i] - maximum;
        sum += std::exp(static_cast<double>(difference));
    }
    const float log_sum = static_cast<float>(std::log(sum));
    normaliser = log_sum + maximum;
    return ok;
}

// Depth first with an explicit path instead of recursion: a candidate may be
// as long as the context window, far deeper than a host thread's stack allows.
// The order of decodes, removals and arithmetic is that of the recursion.
outcome score_trie_node(const trie_walk &walk, std::size_t node, std::size_t depth, float score,
                        const float *logits) {
    std::vector<level> path;
    auto enter = [&](std::size_t at, std::size_t at_depth, float at_score, const float *row,
                     std::unique_ptr<float[]> copy) -> outcome {
        float normaliser = 0.0f;
        if (outcome failure = vocab_logsumexp(row, static_cast<std::size_t>(walk.n_vocab), normaliser))
            return failure;
        path.push_back(level{at, at_depth, at_score, normaliser, row, std::move(copy),
                             walk.nodes[at].children.begin()});
        return ok;
    };
    if (outcome failure = enter(node, depth, score, logits, nullptr)) return failure;

    while (!path.empty()) {
        level &top = path.back();
        if (top.next_child == walk.nodes[top.node].children.end()) {
            // Subtree done: remove its token (decoded one position before the
            // children's) and everything below it, then release its logits.
            // The first level's own token, if any, is its caller's.
            if (path.size() > 1) {
                const std::size_t position = walk.base_pos + top.depth - 1;
                llama_memory_seq_rm(walk.memory, walk.scoring_seq, static_cast<llama_pos>(position), -1);
            }
            path.pop_back();
            continue;
        }
        const std::uint32_t token = top.next_child->first;
        const std::size_t child = top.next_child->second;
        ++top.next_child;

        const float with_logit = top.score + top.logits[token];
        const float child_score = with_logit - top.normaliser;
        const trie_node &next = walk.nodes[child];
        if (next.candidate >= 0) walk.out_scores[next.candidate] = child_score;
        if (next.children.empty()) continue;

        const std::size_t child_depth = top.depth + 1;  // top dies with the push below
        std::unique_ptr<float[]> copy;
        if (outcome failure = decode_trie_token(walk, token, walk.base_pos + top.depth, copy))
            return failure;
        const float *row = copy.get();
        if (outcome failure = enter(child, child_depth, child_score, row, std::move(copy)))
            return failure;
    }
    return ok;
}

outcome walk_sequence_trie(const trie_walk &walk, const float *root_logits,
                           std::size_t n_sequences) {
    std::fill(walk.out_scores, walk.out_scores + n_sequences,
              -std::numeric_limits<float>::infinity());
    if (outcome failure = score_trie_node(walk, 0, 0, 0.0f, root_logits)) return failure;
    for (std::size_t i = 0; i < n_sequences; ++i) {
        if (!is_finite(walk.out_scores[i])) return "candidate sequence did not receive a finite score";
    }
    return ok;
}

}  // namespace vl
