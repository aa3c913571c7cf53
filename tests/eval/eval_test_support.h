// What vl-eval's unit tests share: scratch files, runtimes opened on a model
// with llama.cpp's log silenced, and raw tokens through the library.
#pragma once

#include <cstdint>
#include <fstream>
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

}  // namespace vl_eval_test
