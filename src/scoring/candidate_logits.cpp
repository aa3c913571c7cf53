#include "scoring/candidate_logits.h"

namespace vl {

outcome copy_candidate_logits(const llama_vocab *vocab, const float *logits,
                              const std::uint32_t *candidate_ids, std::size_t candidate_count,
                              float *out) {
    if (vocab == nullptr || logits == nullptr || candidate_ids == nullptr || candidate_count < 2 ||
        out == nullptr)
        return "invalid candidate-logit arguments";
    const std::int32_t n_vocab = llama_vocab_n_tokens(vocab);
    if (n_vocab <= 0) return "llama.cpp vocabulary is empty";
    const std::uint32_t limit = static_cast<std::uint32_t>(n_vocab);
    for (std::size_t j = 0; j < candidate_count; ++j) {
        const std::uint32_t id = candidate_ids[j];
        if (id >= limit) return "candidate token exceeds vocabulary size";
        out[j] = logits[id];
    }
    return ok;
}

}  // namespace vl
