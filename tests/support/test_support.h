// Shared helpers of the test binaries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <llama.h>

#include "runtime/runtime.h"
#include "support/llama_wraps.h"
#include "vorlenta_llama_shim.h"

namespace vl_test {

// A fixture model generated at build time: "chatml", "plain" or "bert".
std::string fixture_path(const std::string &variant);

// A model of ../shared/models, or "" when that folder is absent.
std::string shared_model_path(const std::string &file);

// Skips the test, with the reason, when ../shared/models lacks the file.
#define VL_REQUIRE_SHARED_MODEL(var, file)                                                    \
    const std::string var = ::vl_test::shared_model_path(file);                               \
    if (var.empty()) GTEST_SKIP() << "../shared/models/" << (file)                            \
                                  << " is absent (the shared folder sits beside the checkout)"

struct runtime_closer {
    void operator()(vl_llama_runtime *r) const { vl_llama_close(r); }
};
using runtime_ptr = std::unique_ptr<vl_llama_runtime, runtime_closer>;

// Test configuration: a small window and one thread (llama.cpp's default of
// four threads is many times slower on two cores).
vl_llama_config test_config();

// The test configuration with these limits.
vl_llama_config test_config(int32_t n_ctx, int32_t n_batch, int32_t n_seq_max);

// Opens a runtime, failing the test with the message if it cannot.
runtime_ptr open_runtime(const std::string &path, vl_llama_config config = test_config());

// vl_llama_prefill_shared's outcome: "ok" or its message.
std::string prefill_status(vl_llama_runtime *runtime, const std::vector<uint32_t> &prefix);

// Logits of every vocabulary entry after decoding tokens from scratch in a
// fresh context of the runtime's model, made with llama.cpp directly and the
// same context parameters as the runtime's.
std::vector<float> reference_row(vl_llama_runtime *runtime, const std::vector<llama_token> &tokens);

// The same with the context's cache type and attention chosen: F32 keys and
// values without flash attention is llama.cpp's own float32 decode.
std::vector<float> reference_row_with(vl_llama_runtime *runtime, const std::vector<llama_token> &tokens,
                                      ggml_type kv_type, llama_flash_attn_type flash_attn);

// log P(candidate | context) from one fresh from-scratch decode per candidate
// token (reference_row_with's), the log-softmax taken in double precision;
// NaN when a decode fails.
double reference_log_prob_with(vl_llama_runtime *runtime, const std::vector<uint32_t> &context,
                               const std::vector<uint32_t> &candidate, ggml_type kv_type,
                               llama_flash_attn_type flash_attn);

// Host ids from llama tokens and back.
std::vector<uint32_t> host_ids(const std::vector<llama_token> &tokens);

// Positions [min, max] that sequence seq holds; {-1, -1} when empty.
std::pair<llama_pos, llama_pos> seq_range(vl_llama_runtime *runtime, llama_seq_id seq);

// The vocabulary size of the runtime's model.
int32_t vocab_size(const vl_llama_runtime *runtime);

// A short prompt of ordinary token ids for the fixture model: ids start, start+1, ...
std::vector<uint32_t> sample_prompt(std::size_t n, uint32_t start = 300);

}  // namespace vl_test
