// Helpers of the tests around a retained shared prefix.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

namespace vl_test {

// Every id of the vocabulary, so that a candidate output is a whole logits row.
inline std::vector<uint32_t> all_ids(const vl_llama_runtime *runtime) {
    std::vector<uint32_t> ids(static_cast<std::size_t>(vocab_size(runtime)));
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<uint32_t>(i);
    return ids;
}

// The outcome of one scoring call: its status, its message and the whole row.
struct scored {
    int32_t status = 0;
    std::string err;
    std::vector<float> row;
};

inline int32_t prefill(vl_llama_runtime *runtime, const std::vector<uint32_t> &prefix,
                       std::string *err = nullptr) {
    char buf[128] = "";
    const int32_t status = vl_llama_prefill_shared(runtime, prefix.data(), prefix.size(), buf, sizeof buf);
    if (err != nullptr) *err = buf;
    return status;
}

inline scored score_suffix_row(vl_llama_runtime *runtime, const std::vector<uint32_t> &suffix) {
    const std::vector<uint32_t> ids = all_ids(runtime);
    scored s;
    s.row.assign(ids.size(), 0.0f);
    char buf[128] = "";
    s.status = vl_llama_score_suffix(runtime, suffix.empty() ? nullptr : suffix.data(), suffix.size(),
                                     ids.data(), ids.size(), s.row.data(), buf, sizeof buf);
    s.err = buf;
    return s;
}

inline scored score_next_row(vl_llama_runtime *runtime, const std::vector<uint32_t> &prompt) {
    const std::vector<uint32_t> ids = all_ids(runtime);
    scored s;
    s.row.assign(ids.size(), 0.0f);
    char buf[128] = "";
    s.status = vl_llama_score_next(runtime, prompt.data(), prompt.size(), ids.data(), ids.size(),
                                   s.row.data(), buf, sizeof buf);
    s.err = buf;
    return s;
}

inline std::vector<uint32_t> concat(std::vector<uint32_t> a, const std::vector<uint32_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Sequence 0 holds exactly positions 0..prefix_len-1 and sequence 1 nothing.
inline void expect_memory_holds_prefix(vl_llama_runtime *runtime, std::size_t prefix_len) {
    EXPECT_EQ(seq_range(runtime, 0), std::make_pair(llama_pos{0}, static_cast<llama_pos>(prefix_len - 1)));
    EXPECT_EQ(seq_range(runtime, 1), std::make_pair(llama_pos{-1}, llama_pos{-1}));
}

}  // namespace vl_test
