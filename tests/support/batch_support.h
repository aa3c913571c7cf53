// Helpers of the batch scorer tests: flat arrays with offsets, a direct
// llama.cpp reference for one suffix after the retained prefix, and
// runtimes with chosen limits.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "support/test_support.h"

namespace vl_test {

// Items of several tasks in one array, cut by count + 1 offsets.
template <class T>
struct flat_array {
    std::vector<T> items;
    std::vector<std::size_t> offsets{0};
};

template <class T>
flat_array<T> flatten(const std::vector<std::vector<T>> &parts) {
    flat_array<T> out;
    for (const auto &part : parts) {
        out.items.insert(out.items.end(), part.begin(), part.end());
        out.offsets.push_back(out.items.size());
    }
    return out;
}

// The logits row after the retained prefix plus suffix, computed with
// llama.cpp directly on the runtime's context: sequence 0 copied into
// sequence 1, the suffix decoded there alone, sequence 1 removed again.
inline std::vector<float> suffix_reference(vl_llama_runtime *runtime,
                                           const std::vector<uint32_t> &suffix) {
    if (suffix.empty()) return runtime->shared_logits;
    llama_memory_t mem = real::llama_get_memory(runtime->ctx);
    real::llama_memory_seq_rm(mem, 1, -1, -1);
    real::llama_memory_seq_cp(mem, 0, 1, 0, -1);
    llama_batch batch = real::llama_batch_init(static_cast<int32_t>(suffix.size()), 0, 1);
    batch.n_tokens = static_cast<int32_t>(suffix.size());
    for (std::size_t j = 0; j < suffix.size(); ++j) {
        batch.token[j] = static_cast<llama_token>(suffix[j]);
        batch.pos[j] = static_cast<llama_pos>(runtime->shared_prefix_len + j);
        batch.n_seq_id[j] = 1;
        batch.seq_id[j][0] = 1;
        batch.logits[j] = j + 1 == suffix.size();
    }
    std::vector<float> row;
    if (real::llama_decode(runtime->ctx, batch) == 0) {
        const float *logits = real::llama_get_logits_ith(runtime->ctx, -1);
        if (logits != nullptr) row.assign(logits, logits + vocab_size(runtime));
    }
    real::llama_batch_free(batch);
    real::llama_memory_seq_rm(mem, 1, -1, -1);
    EXPECT_FALSE(row.empty()) << "reference suffix decode failed";
    return row;
}

// The entries of a row that a task's candidates pick.
inline std::vector<float> pick(const std::vector<float> &row, const uint32_t *ids, std::size_t n) {
    std::vector<float> out;
    for (std::size_t j = 0; j < n; ++j) out.push_back(row.at(ids[j]));
    return out;
}

inline float max_abs_difference(const std::vector<float> &a, const std::vector<float> &b) {
    float worst = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        worst = std::fmax(worst, std::fabs(a[i] - b[i]));
    return worst;
}

// A record with the limits a test chooses, borrowing a real runtime's
// context and vocabulary for checks that refuse before llama.cpp decodes.
// It owns nothing: never pass it to vl_llama_close.
inline vl_llama_runtime borrowed_runtime(const vl_llama_runtime &real_runtime) {
    vl_llama_runtime r;
    r.ctx = real_runtime.ctx;
    r.vocab = real_runtime.vocab;
    r.shared_logits = real_runtime.shared_logits;
    r.shared_prefix_len = real_runtime.shared_prefix_len;
    r.has_shared_prefix = real_runtime.has_shared_prefix;
    r.n_ctx = real_runtime.n_ctx;
    r.n_ctx_seq = real_runtime.n_ctx_seq;
    r.n_batch = real_runtime.n_batch;
    r.n_seq_max = real_runtime.n_seq_max;
    r.n_ubatch = real_runtime.n_ubatch;
    r.causal_attn = real_runtime.causal_attn;
    return r;
}

// Cells of sequences first..last: true when all of them are empty.
inline bool sequences_empty(vl_llama_runtime *runtime, llama_seq_id first, llama_seq_id last) {
    for (llama_seq_id s = first; s <= last; ++s)
        if (seq_range(runtime, s).second != -1) return false;
    return true;
}

}  // namespace vl_test
