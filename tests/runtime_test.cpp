// Opening and closing runtimes: messages, release order, configuration,
// threads, and the error-buffer convention.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "support/test_support.h"

using namespace vl_test;

namespace {

vl_llama_runtime *open_with(const std::string &path, const vl_llama_config &config, char *err,
                            size_t cap) {
    return vl_llama_open(path.c_str(), &config, err, cap);
}

}  // namespace

TEST(Runtime, AbiVersionIsFive) { EXPECT_EQ(vl_llama_abi_version(), 5); }

TEST(ErrorBuffer, MessageIsCutToCapacityAndAlwaysTerminated) {
    const vl_llama_config config = test_config();
    char err[64];

    std::memset(err, 'x', sizeof err);
    EXPECT_EQ(vl_llama_open(nullptr, &config, err, sizeof err), nullptr);
    EXPECT_STREQ(err, "model_path and config are required");

    std::memset(err, 'x', sizeof err);
    EXPECT_EQ(vl_llama_open(nullptr, &config, err, 10), nullptr);
    EXPECT_STREQ(err, "model_pat");
    EXPECT_EQ(err[10], 'x') << "nothing is written past the capacity";

    std::memset(err, 'x', sizeof err);
    EXPECT_EQ(vl_llama_open("model.gguf", nullptr, err, 1), nullptr);
    EXPECT_EQ(err[0], '\0');
    EXPECT_EQ(err[1], 'x');

    std::memset(err, 'x', sizeof err);
    EXPECT_EQ(vl_llama_open(nullptr, &config, err, 0), nullptr);
    EXPECT_EQ(err[0], 'x') << "capacity 0 writes nothing";
    EXPECT_EQ(vl_llama_open(nullptr, &config, nullptr, 64), nullptr);
    EXPECT_EQ(counts().llama_model_load_from_file, 0);
}

TEST(ErrorBuffer, SuccessLeavesThePrefilledBufferAlone) {
    const vl_llama_config config = test_config();
    char err[32] = "untouched";
    runtime_ptr runtime(open_with(fixture_path("chatml"), config, err, sizeof err));
    ASSERT_NE(runtime, nullptr);
    EXPECT_STREQ(err, "untouched");
}

TEST(Open, ReportsEachLoadFailure) {
    char err[128] = "";
    EXPECT_EQ(open_with("/nonexistent/model.gguf", test_config(), err, sizeof err), nullptr);
    EXPECT_STREQ(err, "llama_model_load_from_file failed");

    // A GGUF that llama.cpp refuses: the fixture cut short.
    const std::string cut = ::testing::TempDir() + "/truncated.gguf";
    {
        std::ifstream in(fixture_path("chatml"), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(cut, std::ios::binary).write(bytes.data(), 4096);
    }
    std::strcpy(err, "");
    EXPECT_EQ(open_with(cut, test_config(), err, sizeof err), nullptr);
    EXPECT_STREQ(err, "llama_model_load_from_file failed");
    std::remove(cut.c_str());
}

TEST(Open, RefusesAWellFormedGgufWithoutTensors) {
    VL_REQUIRE_SHARED_MODEL(path, "ggml-vocab-phi-3.gguf");
    char err[128] = "";
    EXPECT_EQ(open_with(path, test_config(), err, sizeof err), nullptr);
    EXPECT_STREQ(err, "llama_model_load_from_file failed");
}

TEST(Open, MissingVocabularyFreesTheModel) {
    fakes().llama_model_get_vocab = [](const llama_model *) -> const llama_vocab * { return nullptr; };
    char err[128] = "";
    EXPECT_EQ(open_with(fixture_path("chatml"), test_config(), err, sizeof err), nullptr);
    EXPECT_STREQ(err, "model has no vocabulary");
    EXPECT_EQ(counts().llama_model_free, 1);
    EXPECT_EQ(counts().llama_init_from_model, 0);
}

TEST(Open, ContextFailureFreesTheModelOnly) {
    fakes().llama_init_from_model = [](llama_model *, llama_context_params) -> llama_context * {
        return nullptr;
    };
    char err[128] = "";
    EXPECT_EQ(open_with(fixture_path("chatml"), test_config(), err, sizeof err), nullptr);
    EXPECT_STREQ(err, "llama_init_from_model failed");
    EXPECT_EQ(counts().llama_model_free, 1);
    EXPECT_EQ(counts().llama_free, 0);
}

// llama.cpp aborts the process when the batch (capped at the requested
// n_ctx) cannot hold one token per sequence; those configurations are refused
// before llama_init_from_model is called.
TEST(Open, RefusesConfigurationsThatWouldAbortLlama) {
    struct cfg {
        int32_t n_ctx, n_batch, n_seq_max;
    };
    for (cfg c : {cfg{0, 1, 0}, cfg{0, 1, 2}, cfg{0, 3, 4}, cfg{1, 0, 0}, cfg{16, 2, 4},
                  cfg{-1, 1, 0}, cfg{0, 7, 8}, cfg{0, 0, -1}}) {
        SCOPED_TRACE(testing::Message() << "n_ctx " << c.n_ctx << " n_batch " << c.n_batch
                                        << " n_seq_max " << c.n_seq_max);
        reset_counts();
        vl_llama_config config = test_config();
        config.n_ctx = c.n_ctx;
        config.n_batch = c.n_batch;
        config.n_seq_max = c.n_seq_max;
        char err[128] = "";
        EXPECT_EQ(open_with(fixture_path("chatml"), config, err, sizeof err), nullptr);
        EXPECT_STREQ(err, "llama_init_from_model failed");
        EXPECT_EQ(counts().llama_init_from_model, 0);
        EXPECT_EQ(counts().llama_model_free, 1);
    }
}

TEST(Open, ReportsWhatLlamaRefusesItself) {
    struct cfg {
        int32_t n_ctx, n_seq_max;
    };
    // A negative n_ctx is a huge unsigned window; more than 256 sequences is
    // beyond llama.cpp's limit. Both come back as NULL from llama.cpp.
    for (cfg c : {cfg{-1, 0}, cfg{0, 257}}) {
        SCOPED_TRACE(testing::Message() << "n_ctx " << c.n_ctx << " n_seq_max " << c.n_seq_max);
        reset_counts();
        vl_llama_config config = test_config();
        config.n_ctx = c.n_ctx;
        config.n_batch = 0;
        config.n_seq_max = c.n_seq_max;
        char err[128] = "";
        EXPECT_EQ(open_with(fixture_path("chatml"), config, err, sizeof err), nullptr);
        EXPECT_STREQ(err, "llama_init_from_model failed");
        EXPECT_EQ(counts().llama_init_from_model, 1);
        EXPECT_EQ(counts().llama_model_free, 1);
    }
}

TEST(Open, AsksForAtLeastTwoSequencesAndOneSharedKvBuffer) {
    std::vector<llama_context_params> seen;
    fakes().llama_init_from_model = [&](llama_model *m, llama_context_params p) {
        seen.push_back(p);
        return real::llama_init_from_model(m, p);
    };
    std::vector<llama_model_params> loaded;
    fakes().llama_model_load_from_file = [&](const char *path, llama_model_params p) {
        loaded.push_back(p);
        return real::llama_model_load_from_file(path, p);
    };
    for (int32_t requested : {0, 1, 3}) {
        vl_llama_config config = test_config();
        config.n_seq_max = requested;
        runtime_ptr runtime = open_runtime(fixture_path("chatml"), config);
        ASSERT_NE(runtime, nullptr);
        EXPECT_EQ(runtime->n_seq_max, requested == 3 ? 3u : 2u);
    }
    ASSERT_EQ(seen.size(), 3u);
    for (const llama_context_params &p : seen) EXPECT_TRUE(p.kv_unified);
    EXPECT_EQ(seen[0].n_seq_max, 2u);
    EXPECT_EQ(seen[1].n_seq_max, 2u);
    EXPECT_EQ(seen[2].n_seq_max, 3u);
    // Unconfigured members keep llama.cpp's defaults.
    const llama_context_params defaults = llama_context_default_params();
    EXPECT_EQ(seen[0].n_ubatch, defaults.n_ubatch);
    EXPECT_EQ(seen[0].n_threads, defaults.n_threads);
    ASSERT_EQ(loaded.size(), 3u);
    EXPECT_EQ(loaded[0].n_gpu_layers, 0);
}

TEST(Open, ReadsTheLimitsTheContextReports) {
    vl_llama_config config = test_config();
    config.n_ctx = 300;  // llama.cpp rounds the window up to a multiple of 256
    config.n_batch = 128;
    runtime_ptr runtime = open_runtime(fixture_path("chatml"), config);
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(runtime->n_ctx, llama_n_ctx(runtime->ctx));
    EXPECT_EQ(runtime->n_ctx, 512u);
    EXPECT_EQ(runtime->n_ctx_seq, llama_n_ctx_seq(runtime->ctx));
    EXPECT_EQ(runtime->n_batch, 128u);
    EXPECT_EQ(runtime->n_seq_max, 4u);
    EXPECT_FALSE(runtime->has_shared_prefix);
    EXPECT_EQ(runtime->shared_prefix_len, 0u);
    EXPECT_TRUE(runtime->shared_logits.empty());
}

TEST(Open, ModelWithoutTemplateOpens) {
    runtime_ptr plain = open_runtime(fixture_path("plain"));
    ASSERT_NE(plain, nullptr);
    EXPECT_TRUE(plain->chat_template.empty());
    runtime_ptr chatml = open_runtime(fixture_path("chatml"));
    ASSERT_NE(chatml, nullptr);
    EXPECT_NE(chatml->chat_template.find("<|im_start|>"), std::string::npos);
}

TEST(Open, ThreadRule) {
    struct expectation {
        int32_t t, tb;
        bool called;
        int32_t want_t, want_tb;
    };
    std::vector<std::pair<int32_t, int32_t>> calls;
    fakes().llama_set_n_threads = [&](llama_context *c, int32_t t, int32_t tb) {
        calls.emplace_back(t, tb);
        real::llama_set_n_threads(c, t, tb);
    };
    for (expectation e : {expectation{0, 0, false, 0, 0}, expectation{2, 0, true, 2, 2},
                          expectation{0, 3, true, 3, 3}, expectation{1, 2, true, 1, 2},
                          expectation{-1, -1, false, 0, 0}, expectation{-1, 2, true, 2, 2}}) {
        SCOPED_TRACE(testing::Message() << "threads " << e.t << "," << e.tb);
        calls.clear();
        vl_llama_config config = test_config();
        config.n_threads = e.t;
        config.n_threads_batch = e.tb;
        runtime_ptr runtime = open_runtime(fixture_path("chatml"), config);
        ASSERT_NE(runtime, nullptr);
        if (!e.called) {
            EXPECT_TRUE(calls.empty());
        } else {
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0], std::make_pair(e.want_t, e.want_tb));
        }
    }
}

TEST(Close, FreesTheContextBeforeTheModel) {
    vl_llama_close(nullptr);
    runtime_ptr runtime = open_runtime(fixture_path("chatml"));
    ASSERT_NE(runtime, nullptr);
    start_trace();
    runtime.reset();
    const std::vector<std::string> names = traced_names();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "llama_free");
    EXPECT_EQ(names[1], "llama_model_free");
}

// With one KV buffer for all sequences, a prefix may use the whole window
// and still be copied into another sequence and continued there; with
// per-sequence shares (the default) the same prefix does not even fit.
TEST(Context, SharedKvBufferLetsSequencesUseTheWholeWindow) {
    vl_llama_config config = test_config();
    config.n_ctx = 1024;
    config.n_seq_max = 4;
    runtime_ptr runtime = open_runtime(fixture_path("chatml"), config);
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(runtime->n_ctx_seq, 1024u);

    std::vector<llama_token> prefix(300);
    for (size_t i = 0; i < prefix.size(); ++i) prefix[i] = 300 + static_cast<llama_token>(i % 50);
    ASSERT_EQ(llama_decode(runtime->ctx, llama_batch_get_one(prefix.data(), 300)), 0);
    llama_memory_t mem = llama_get_memory(runtime->ctx);
    llama_memory_seq_cp(mem, 0, 1, 0, -1);
    EXPECT_EQ(seq_range(runtime.get(), 1), std::make_pair(0, 299));

    llama_batch batch = llama_batch_init(4, 0, 1);
    batch.n_tokens = 4;
    for (int i = 0; i < 4; ++i) {
        batch.token[i] = 310 + i;
        batch.pos[i] = 300 + i;
        batch.n_seq_id[i] = 1;
        batch.seq_id[i][0] = 1;
        batch.logits[i] = i == 3;
    }
    EXPECT_EQ(llama_decode(runtime->ctx, batch), 0);
    llama_batch_free(batch);
    EXPECT_EQ(seq_range(runtime.get(), 1), std::make_pair(0, 303));
    EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(0, 299));

    // The same request without the shared buffer.
    llama_context_params split = llama_context_default_params();
    split.n_ctx = 1024;
    split.n_seq_max = 4;
    split.n_threads = split.n_threads_batch = 1;
    llama_context *ctx = llama_init_from_model(runtime->model, split);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(llama_n_ctx_seq(ctx), 256u);
    EXPECT_NE(llama_decode(ctx, llama_batch_get_one(prefix.data(), 300)), 0);
    llama_free(ctx);
}

namespace {

// Raw logits of two candidates after a prompt decoded from scratch.
std::vector<float> next_logits(vl_llama_runtime *runtime) {
    const std::vector<uint32_t> prompt = sample_prompt(20);
    const uint32_t candidates[2] = {400, 401};
    std::vector<float> logits(2);
    char err[128] = "";
    EXPECT_EQ(vl_llama_score_next(runtime, prompt.data(), prompt.size(), candidates, 2,
                                  logits.data(), err, sizeof err),
              0)
        << err;
    return logits;
}

// Raw logits of two candidates after the retained prefix and a short suffix.
std::vector<float> suffix_logits(vl_llama_runtime *runtime, char *err, size_t cap) {
    const std::vector<uint32_t> suffix = sample_prompt(3, 500);
    const uint32_t candidates[2] = {400, 401};
    std::vector<float> logits(2);
    if (vl_llama_score_suffix(runtime, suffix.data(), suffix.size(), candidates, 2, logits.data(),
                              err, cap) != 0)
        return {};
    return logits;
}

}  // namespace

// A host opens small to tokenize, then sizes the window: the runtime then
// scores, and reports its limits, exactly as one opened with that config.
TEST(Reconfigure, GivesTheRuntimeAnOpenedWithTheNewConfigWouldHave) {
    vl_llama_config small = test_config();
    small.n_ctx = 64;
    small.n_batch = 64;
    small.n_seq_max = 2;
    vl_llama_config large = test_config();
    large.n_ctx = 768;
    large.n_batch = 256;
    large.n_seq_max = 6;
    large.n_gpu_layers = 99;  // not used: the layers were placed at open
    runtime_ptr runtime = open_runtime(fixture_path("chatml"), small);
    ASSERT_NE(runtime, nullptr);
    const std::vector<uint32_t> prefix = sample_prompt(10);
    char err[128] = "untouched";
    ASSERT_EQ(vl_llama_prefill_shared(runtime.get(), prefix.data(), prefix.size(), err, sizeof err), 0);

    reset_counts();
    ASSERT_EQ(vl_llama_reconfigure(runtime.get(), &large, err, sizeof err), 0);
    EXPECT_STREQ(err, "untouched");
    EXPECT_EQ(counts().llama_model_load_from_file, 0);
    EXPECT_EQ(counts().llama_init_from_model, 1);
    EXPECT_EQ(counts().llama_free, 1);
    EXPECT_EQ(counts().llama_set_n_threads, 1);
    // The retained prefix went with the old context.
    EXPECT_FALSE(runtime->has_shared_prefix);
    EXPECT_EQ(suffix_logits(runtime.get(), err, sizeof err), std::vector<float>{});

    large.n_gpu_layers = 0;
    runtime_ptr reference = open_runtime(fixture_path("chatml"), large);
    ASSERT_NE(reference, nullptr);
    EXPECT_EQ(runtime->n_ctx, reference->n_ctx);
    EXPECT_EQ(runtime->n_ctx_seq, reference->n_ctx_seq);
    EXPECT_EQ(runtime->n_batch, 256u);
    EXPECT_EQ(runtime->n_seq_max, 6u);
    EXPECT_EQ(runtime->n_ubatch, reference->n_ubatch);
    EXPECT_EQ(vl_llama_max_parallel_tasks(runtime.get()), 5u);
    EXPECT_EQ(vl_llama_max_multi_root_tokens(runtime.get()),
              vl_llama_max_multi_root_tokens(reference.get()));
    EXPECT_EQ(next_logits(runtime.get()), next_logits(reference.get()));
}

// Whatever refuses the new context, the runtime keeps the old one, its
// limits and its retained prefix, and scores as before.
TEST(Reconfigure, FailureLeavesTheRuntimeAndItsPrefixWorking) {
    runtime_ptr runtime = open_runtime(fixture_path("chatml"));
    ASSERT_NE(runtime, nullptr);
    const std::vector<uint32_t> prefix = sample_prompt(10);
    char err[128] = "";
    ASSERT_EQ(vl_llama_prefill_shared(runtime.get(), prefix.data(), prefix.size(), err, sizeof err), 0);
    const std::vector<float> before = suffix_logits(runtime.get(), err, sizeof err);
    ASSERT_EQ(before.size(), 2u) << err;
    const uint32_t n_ctx = runtime->n_ctx, n_batch = runtime->n_batch;

    vl_llama_config aborting = test_config();  // a batch that cannot hold a token per sequence
    aborting.n_batch = 2;
    aborting.n_seq_max = 4;
    vl_llama_config fine = test_config();
    fine.n_ctx = 256;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "a configuration llama.cpp would abort on"
                                : "llama_init_from_model returns null");
        reset_counts();
        if (round == 1)
            fakes().llama_init_from_model = [](llama_model *, llama_context_params) -> llama_context * {
                return nullptr;
            };
        std::strcpy(err, "");
        EXPECT_EQ(vl_llama_reconfigure(runtime.get(), round == 0 ? &aborting : &fine, err, sizeof err), -1);
        EXPECT_STREQ(err, "llama_init_from_model failed");
        EXPECT_EQ(counts().llama_init_from_model, round);
        EXPECT_EQ(counts().llama_free, 0);
        EXPECT_EQ(runtime->n_ctx, n_ctx);
        EXPECT_EQ(runtime->n_batch, n_batch);
        EXPECT_TRUE(runtime->has_shared_prefix);
        EXPECT_EQ(suffix_logits(runtime.get(), err, sizeof err), before) << err;
    }

    std::strcpy(err, "");
    EXPECT_EQ(vl_llama_reconfigure(nullptr, &fine, err, sizeof err), -1);
    EXPECT_STREQ(err, "runtime and config are required");
    std::strcpy(err, "");
    EXPECT_EQ(vl_llama_reconfigure(runtime.get(), nullptr, err, sizeof err), -1);
    EXPECT_STREQ(err, "runtime and config are required");
}
