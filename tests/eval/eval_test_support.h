// What vl-eval's unit tests share: scratch files, runtimes opened on a model
// with llama.cpp's log silenced, and raw tokens through the library.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <llama.h>

#include "model/model_runtime.h"
#include "model/tokens.h"
#include "prompts/prompts.h"
#include "vorlenta_llama_shim.h"

namespace vl_eval_test {

using tokens = std::vector<std::uint32_t>;

inline const std::string stories = std::string(VL_SHARED_MODELS_DIR) + "/stories260K.gguf";

// Writes text to a file of the scratch folder; returns its path.
inline std::string scratch_file(const std::string &name, const std::string &text) {
    const std::string path = std::string(VL_EVAL_SCRATCH_DIR) + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

inline void quiet(ggml_log_level, const char *, void *) {}

// The model at path with the window, batch, sequences and threads given.
inline vl_eval::runtime_ptr open_runtime(const std::string &path, int32_t n_ctx, int32_t n_seq_max,
                                         int32_t threads) {
    llama_log_set(quiet, nullptr);
    vl_llama_config c = {n_ctx, n_ctx, n_seq_max, 0, threads, threads};
    return vl_eval::runtime_ptr(vl_llama_open(path.c_str(), &c, nullptr, 0));
}

inline tokens raw_tokens(const vl_llama_runtime *runtime, const std::string &text) {
    tokens out;
    EXPECT_EQ(vl_eval::tokenize_raw(runtime, text, out), "") << text;
    return out;
}

// Why a prompt was not built, for comparisons: the reason to skip the item,
// or "failure: " and the library's failure; empty when it was built.
inline std::string problem(const vl_eval::prompt_status &status) {
    return status.failure.empty() ? status.skip : "failure: " + status.failure;
}

// Every chunk of n_ctx tokens decoded alone from position 0 with llama.cpp
// directly (its first token replaced by bos when bos >= 0), every logit
// kept: use(c, j, chunk, row) receives, for each counted position j (n_ctx
// / 2 .. n_ctx - 2), the double-precision log-softmax of the logits after it.
using direct_row_use = std::function<void(std::size_t c, std::size_t j, const std::vector<llama_token> &chunk,
                                          const std::vector<double> &row)>;
inline void direct_chunk_rows(llama_model *model, const tokens &all, std::size_t n_ctx, std::int64_t bos,
                              std::size_t n_chunks, const direct_row_use &use) {
    llama_context_params cp = llama_context_default_params();
    cp.n_ctx = static_cast<uint32_t>(n_ctx);
    cp.n_batch = cp.n_ctx;
    cp.n_threads = cp.n_threads_batch = 1;
    llama_context *ctx = llama_init_from_model(model, cp);
    ASSERT_NE(ctx, nullptr);
    const int n_vocab = llama_vocab_n_tokens(llama_model_get_vocab(model));
    std::vector<double> row(static_cast<std::size_t>(n_vocab));
    for (std::size_t c = 0; c < n_chunks; ++c) {
        std::vector<llama_token> chunk(all.begin() + static_cast<long>(c * n_ctx),
                                       all.begin() + static_cast<long>((c + 1) * n_ctx));
        if (bos >= 0) chunk[0] = static_cast<llama_token>(bos);
        llama_memory_clear(llama_get_memory(ctx), true);
        llama_batch batch = llama_batch_init(static_cast<int32_t>(chunk.size()), 0, 1);
        for (std::size_t j = 0; j < chunk.size(); ++j) {
            batch.token[j] = chunk[j];
            batch.pos[j] = static_cast<llama_pos>(j);
            batch.n_seq_id[j] = 1;
            batch.seq_id[j][0] = 0;
            batch.logits[j] = 1;
        }
        batch.n_tokens = static_cast<int32_t>(chunk.size());
        EXPECT_EQ(llama_decode(ctx, batch), 0);
        llama_batch_free(batch);
        for (std::size_t j = n_ctx / 2; j + 1 < n_ctx; ++j) {
            const float *logits = llama_get_logits_ith(ctx, static_cast<int32_t>(j));
            double max = logits[0], sum = 0;
            for (int t = 1; t < n_vocab; ++t) max = std::max(max, static_cast<double>(logits[t]));
            for (int t = 0; t < n_vocab; ++t) sum += std::exp(logits[t] - max);
            for (int t = 0; t < n_vocab; ++t) row[static_cast<std::size_t>(t)] = logits[t] - max - std::log(sum);
            use(c, j, chunk, row);
        }
    }
    llama_free(ctx);
}

}  // namespace vl_eval_test
