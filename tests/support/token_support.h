// Helpers of the every-token tests: a direct llama.cpp reference for the
// next-token distribution at every position of a text, and the call of
// vl_llama_score_tokens on nested vectors.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace vl_test {

// The distribution after each token of a text.
struct reference_rows {
    std::vector<std::vector<double>> log_probs;  // per position, the whole vocabulary
    std::vector<uint32_t> argmax;                // per position, lowest id among maxima
};

// Decodes text from position 0 in one batch of a fresh context of the
// runtime's model (llama.cpp directly, a batch as large as the text) and
// returns the log-softmax of every position's logits in double precision.
inline reference_rows reference_distributions(vl_llama_runtime *runtime, const std::vector<uint32_t> &text) {
    llama_context_params params = llama_context_default_params();
    params.n_ctx = std::max<uint32_t>(runtime->n_ctx, static_cast<uint32_t>(text.size()));
    params.n_batch = params.n_ctx;
    params.n_ubatch = runtime->n_ubatch;
    params.n_threads = 1;
    params.n_threads_batch = 1;
    reference_rows out;
    llama_context *ctx = real::llama_init_from_model(runtime->model, params);
    EXPECT_NE(ctx, nullptr);
    if (ctx == nullptr) return out;
    llama_batch batch = real::llama_batch_init(static_cast<int32_t>(text.size()), 0, 1);
    batch.n_tokens = static_cast<int32_t>(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        batch.token[i] = static_cast<llama_token>(text[i]);
        batch.pos[i] = static_cast<llama_pos>(i);
        batch.n_seq_id[i] = 1;
        batch.seq_id[i][0] = 0;
        batch.logits[i] = 1;
    }
    const int32_t n_vocab = vocab_size(runtime);
    if (real::llama_decode(ctx, batch) == 0) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const float *row = real::llama_get_logits_ith(ctx, static_cast<int32_t>(i));
            if (row == nullptr) break;
            const float *top = std::max_element(row, row + n_vocab);
            double sum = 0;
            for (int32_t v = 0; v < n_vocab; ++v) sum += std::exp(static_cast<double>(row[v]) - *top);
            std::vector<double> lp(static_cast<std::size_t>(n_vocab));
            for (int32_t v = 0; v < n_vocab; ++v) lp[v] = static_cast<double>(row[v]) - *top - std::log(sum);
            out.log_probs.push_back(std::move(lp));
            out.argmax.push_back(static_cast<uint32_t>(top - row));
        }
    }
    real::llama_batch_free(batch);
    real::llama_free(ctx);
    EXPECT_EQ(out.log_probs.size(), text.size()) << "reference decode failed";
    return out;
}

inline std::vector<uint32_t> concat(std::vector<uint32_t> a, const std::vector<uint32_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One call of vl_llama_score_tokens.
struct token_scores {
    std::string status = "ok";     // "ok" or the call's message
    std::vector<float> log_probs;  // layout of the flat tokens
    std::vector<uint8_t> greedy;
};

inline token_scores score_tokens(vl_llama_runtime *runtime, const std::vector<std::vector<uint32_t>> &sequences,
                                 const std::vector<size_t> &context_counts = {}) {
    std::vector<uint32_t> flat;
    std::vector<size_t> offsets{0};
    for (const auto &s : sequences) {
        flat.insert(flat.end(), s.begin(), s.end());
        offsets.push_back(flat.size());
    }
    token_scores out;
    out.log_probs.assign(flat.size(), 123.0f);
    out.greedy.assign(flat.size(), 7);
    char err[128] = "";
    if (vl_llama_score_tokens(runtime, flat.empty() ? nullptr : flat.data(), offsets.data(),
                              context_counts.empty() ? nullptr : context_counts.data(), sequences.size(),
                              out.log_probs.data(), out.greedy.data(), err, sizeof err) != 0)
        out.status = err;
    return out;
}

}  // namespace vl_test
