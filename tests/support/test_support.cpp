#include "support/test_support.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sys/stat.h>

#include "runtime/context_config.h"

namespace vl_test {

void reset_wraps();

std::string fixture_path(const std::string &variant) {
    return std::string(VL_FIXTURE_DIR) + "/" + variant + ".gguf";
}

std::string shared_model_path(const std::string &file) {
    std::string dir = VL_SHARED_MODELS_DIR;
    if (const char *env = std::getenv("VL_SHARED_DIR")) dir = std::string(env) + "/models";
    const std::string path = dir + "/" + file;
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? path : std::string();
}

vl_llama_config test_config() {
    vl_llama_config config{};
    config.n_ctx = 512;
    config.n_batch = 512;
    config.n_seq_max = 4;
    config.n_threads = 1;
    config.n_threads_batch = 1;
    return config;
}

vl_llama_config test_config(int32_t n_ctx, int32_t n_batch, int32_t n_seq_max) {
    vl_llama_config config = test_config();
    config.n_ctx = n_ctx;
    config.n_batch = n_batch;
    config.n_seq_max = n_seq_max;
    return config;
}

std::string prefill_status(vl_llama_runtime *runtime, const std::vector<uint32_t> &prefix) {
    char err[128] = "";
    return vl_llama_prefill_shared(runtime, prefix.data(), prefix.size(), err, sizeof err) == 0 ? "ok" : err;
}

runtime_ptr open_runtime(const std::string &path, vl_llama_config config) {
    char err[256] = "";
    runtime_ptr runtime(vl_llama_open(path.c_str(), &config, err, sizeof err));
    EXPECT_NE(runtime, nullptr) << "vl_llama_open(" << path << "): " << err;
    return runtime;
}

std::vector<float> reference_row(vl_llama_runtime *runtime, const std::vector<llama_token> &tokens) {
    const llama_context_params defaults = llama_context_default_params();
    return reference_row_with(runtime, tokens, defaults.type_k, defaults.flash_attn_type);
}

std::vector<float> reference_row_with(vl_llama_runtime *runtime, const std::vector<llama_token> &tokens,
                                      ggml_type kv_type, llama_flash_attn_type flash_attn) {
    llama_context_params params = llama_context_default_params();
    params.type_k = kv_type;
    params.type_v = kv_type;
    params.flash_attn_type = flash_attn;
    params.n_ctx = runtime->n_ctx;
    params.n_batch = runtime->n_batch;
    params.n_seq_max = runtime->n_seq_max;
    params.kv_unified = true;
    params.n_threads = 1;
    params.n_threads_batch = 1;
    llama_context *ctx = real::llama_init_from_model(runtime->model, params);
    EXPECT_NE(ctx, nullptr);
    if (ctx == nullptr) return {};
    std::vector<llama_token> copy = tokens;
    std::vector<float> row;
    if (real::llama_decode(ctx, llama_batch_get_one(copy.data(), static_cast<int32_t>(copy.size()))) == 0) {
        const float *logits = real::llama_get_logits_ith(ctx, -1);
        const int32_t n = real::llama_vocab_n_tokens(runtime->vocab);
        if (logits != nullptr) row.assign(logits, logits + n);
    }
    real::llama_free(ctx);
    EXPECT_FALSE(row.empty()) << "reference decode failed";
    return row;
}

double reference_log_prob_with(vl_llama_runtime *runtime, const std::vector<uint32_t> &context,
                               const std::vector<uint32_t> &candidate, ggml_type kv_type,
                               llama_flash_attn_type flash_attn) {
    std::vector<llama_token> tokens(context.begin(), context.end());
    double total = 0.0;
    for (uint32_t token : candidate) {
        const std::vector<float> row = reference_row_with(runtime, tokens, kv_type, flash_attn);
        if (row.empty()) return std::numeric_limits<double>::quiet_NaN();
        const double max = *std::max_element(row.begin(), row.end());
        double sum = 0.0;
        for (float x : row) sum += std::exp(x - max);
        total += row[token] - (max + std::log(sum));
        tokens.push_back(static_cast<llama_token>(token));
    }
    return total;
}

std::vector<uint32_t> host_ids(const std::vector<llama_token> &tokens) {
    return std::vector<uint32_t>(tokens.begin(), tokens.end());
}

std::pair<llama_pos, llama_pos> seq_range(vl_llama_runtime *runtime, llama_seq_id seq) {
    llama_memory_t mem = real::llama_get_memory(runtime->ctx);
    return {llama_memory_seq_pos_min(mem, seq), llama_memory_seq_pos_max(mem, seq)};
}

int32_t vocab_size(const vl_llama_runtime *runtime) {
    return real::llama_vocab_n_tokens(runtime->vocab);
}

std::vector<uint32_t> sample_prompt(std::size_t n, uint32_t start) {
    std::vector<uint32_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = start + static_cast<uint32_t>((i * 7) % 97);
    return ids;
}

namespace {

// Resets fakes, counters and the trace before every test, and keeps
// llama.cpp's log quiet unless VL_TEST_LOG is set.
class wrap_reset_listener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override { reset_wraps(); }
    void OnTestEnd(const ::testing::TestInfo &) override { reset_wraps(); }
};

void quiet_log(ggml_log_level, const char *, void *) {}

struct installer {
    installer() {
        if (std::getenv("VL_TEST_LOG") == nullptr) llama_log_set(quiet_log, nullptr);
        ::testing::UnitTest::GetInstance()->listeners().Append(new wrap_reset_listener);
    }
};
const installer install;

}  // namespace
}  // namespace vl_test
