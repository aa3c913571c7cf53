// The open-time options: their checks, the context parameters they give
// llama.cpp, how a runtime keeps them across reconfigures, and the scores of
// the exact choice against llama.cpp's own float32 decode.
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "support/batch_support.h"
#include "support/codebook.h"
#include "support/family_support.h"
#include "support/prefix_support.h"
#include "support/test_support.h"

using namespace vl_test;

namespace {

// What the exact choice must reach: llama.cpp's own decode with F32 keys and
// values and no flash attention, up to what batching decodes differently
// (measured up to 4e-6 on these models), and well below what the default
// choice differs by.
constexpr double tolerance = 1e-4;

// The context parameters of every llama_init_from_model call from now on.
std::vector<llama_context_params> &record_context_params() {
    static std::vector<llama_context_params> made;
    made.clear();
    fakes().llama_init_from_model = [](llama_model *model, llama_context_params params) {
        made.push_back(params);
        return real::llama_init_from_model(model, params);
    };
    return made;
}

struct open_result {
    runtime_ptr runtime;
    std::string err;
};

open_result open_with(const std::string &path, const vl_llama_options *options,
                      const vl_llama_config &config = test_config()) {
    char err[128] = "";
    open_result r;
    r.runtime.reset(vl_llama_open_with_options(path.c_str(), &config, options, err, sizeof err));
    r.err = err;
    return r;
}

std::string reconfigure_with(vl_llama_runtime *runtime, const vl_llama_options *options,
                             const vl_llama_config &config = test_config()) {
    char err[128] = "";
    return vl_llama_reconfigure_with_options(runtime, &config, options, err, sizeof err) == 0 ? "ok" : err;
}

// The cache type and attention a recorded context was made with.
struct compute {
    ggml_type k, v;
    llama_flash_attn_type flash;
    bool operator==(const compute &o) const { return k == o.k && v == o.v && flash == o.flash; }
};
compute of(const llama_context_params &p) { return {p.type_k, p.type_v, p.flash_attn_type}; }
std::ostream &operator<<(std::ostream &os, const compute &c) {
    return os << "{k " << c.k << ", v " << c.v << ", flash " << c.flash << "}";
}
const compute exact_compute{GGML_TYPE_F32, GGML_TYPE_F32, LLAMA_FLASH_ATTN_TYPE_DISABLED};

// A struct of a newer header: one more option after this release's.
struct newer_options {
    vl_llama_options known;
    int32_t later;
};

}  // namespace

TEST(Options, AreCheckedAfterPathAndConfigAndBeforeAnythingLoads) {
    const std::string path = fixture_path("plain");
    const vl_llama_config config = test_config();
    vl_llama_options bad = VL_LLAMA_OPTIONS_INIT;
    bad.kv_cache_type = 7;
    char err[128] = "";
    EXPECT_EQ(vl_llama_open_with_options(nullptr, &config, &bad, err, sizeof err), nullptr);
    EXPECT_STREQ(err, "model_path and config are required");
    EXPECT_EQ(vl_llama_open_with_options(path.c_str(), nullptr, &bad, err, sizeof err), nullptr);
    EXPECT_STREQ(err, "model_path and config are required");

    struct refusal {
        uint32_t size;
        int32_t kv, flash, later;
        const char *message;
    } refusals[] = {
        {0, 0, 0, 0, "options size is not supported"},
        {11, 1, 1, 0, "options size is not supported"},
        {4097, 1, 1, 0, "options size is not supported"},
        {sizeof(newer_options), 1, 1, 1, "options hold settings this library does not know"},
        {sizeof(newer_options), 9, 9, 1, "options hold settings this library does not know"},
        {sizeof(vl_llama_options), 2, 0, 0, "unknown kv cache type"},
        {sizeof(vl_llama_options), -1, 5, 0, "unknown kv cache type"},
        {sizeof(vl_llama_options), 1, 2, 0, "unknown flash attention mode"},
        {sizeof(vl_llama_options), 0, -1, 0, "unknown flash attention mode"},
    };
    runtime_ptr runtime = open_runtime(path);
    ASSERT_NE(runtime, nullptr);
    const std::vector<uint32_t> prefix = sample_prompt(6);
    ASSERT_EQ(prefill(runtime.get(), prefix), 0);
    for (const refusal &r : refusals) {
        SCOPED_TRACE(std::string(r.message) + " at size " + std::to_string(r.size));
        newer_options options{{r.size, r.kv, r.flash}, r.later};
        reset_counts();
        open_result opened = open_with(path, &options.known);
        EXPECT_EQ(opened.runtime, nullptr);
        EXPECT_EQ(opened.err, r.message);
        EXPECT_EQ(counts().llama_model_load_from_file, 0);
        // A reconfigure refused the same way keeps the context and its prefix.
        EXPECT_EQ(reconfigure_with(runtime.get(), &options.known), r.message);
        EXPECT_EQ(counts().llama_init_from_model, 0);
        EXPECT_TRUE(runtime->has_shared_prefix);
    }
    EXPECT_EQ(reconfigure_with(nullptr, &bad), "runtime and config are required");
    char buf[128] = "";
    EXPECT_EQ(vl_llama_reconfigure_with_options(runtime.get(), nullptr, &bad, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "runtime and config are required");
}

// An older or newer header's struct opens as long as what it asks is known:
// options past the declared size keep their defaults, and a larger struct
// whose later options are zero asks nothing more.
TEST(Options, SizeLetsOlderAndNewerHostsIn) {
    auto &made = record_context_params();
    newer_options newer{VL_LLAMA_OPTIONS_EXACT, 0};
    newer.known.size = sizeof newer;
    open_result opened = open_with(fixture_path("plain"), &newer.known);
    ASSERT_NE(opened.runtime, nullptr) << opened.err;
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(of(made[0]), exact_compute);

    vl_llama_options largest = VL_LLAMA_OPTIONS_EXACT;
    std::vector<unsigned char> bytes(4096, 0);
    largest.size = 4096;
    std::memcpy(bytes.data(), &largest, sizeof largest);
    EXPECT_EQ(reconfigure_with(opened.runtime.get(), reinterpret_cast<vl_llama_options *>(bytes.data())), "ok");
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(of(made[1]), exact_compute);
}

// The defaults, however a host asks for them, give llama.cpp the very
// context parameters vl_llama_open always gave it, and so the same scores to
// the bit; the exact choice asks for F32 keys and values, no flash attention.
TEST(Options, DefaultsAreTheContextVlLlamaOpenHasAlwaysMade) {
    const llama_context_params library_defaults = llama_context_default_params();
    const compute today{library_defaults.type_k, library_defaults.type_v, library_defaults.flash_attn_type};
    const vl_llama_options init = VL_LLAMA_OPTIONS_INIT, exact = VL_LLAMA_OPTIONS_EXACT;
    auto &made = record_context_params();
    const std::string path = fixture_path("chatml");
    runtime_ptr plain = open_runtime(path);
    open_result null_options = open_with(path, nullptr);
    open_result zeroed = open_with(path, &init);
    open_result exact_runtime = open_with(path, &exact);
    ASSERT_TRUE(plain && null_options.runtime && zeroed.runtime && exact_runtime.runtime);
    ASSERT_EQ(made.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(of(made[i]), today) << "open " << i;
        EXPECT_EQ(made[i].n_ctx, made[0].n_ctx);
        EXPECT_EQ(made[i].n_batch, made[0].n_batch);
        EXPECT_EQ(made[i].n_seq_max, made[0].n_seq_max);
        EXPECT_EQ(made[i].kv_unified, made[0].kv_unified);
    }
    EXPECT_EQ(of(made[3]), exact_compute);

    const std::vector<uint32_t> prompt = sample_prompt(40);
    const scored reference = score_next_row(plain.get(), prompt);
    ASSERT_EQ(reference.status, 0) << reference.err;
    EXPECT_EQ(score_next_row(null_options.runtime.get(), prompt).row, reference.row);
    EXPECT_EQ(score_next_row(zeroed.runtime.get(), prompt).row, reference.row);
    EXPECT_NE(score_next_row(exact_runtime.runtime.get(), prompt).row, reference.row);
}

// vl_llama_reconfigure keeps the runtime's options (a host that opens small
// to tokenize and then sizes the window stays exact); the options variant
// replaces them, but only once its new context exists.
TEST(Options, KeptAcrossReconfiguresAndReplacedOnlyOnSuccess) {
    const vl_llama_options exact = VL_LLAMA_OPTIONS_EXACT;
    const compute defaults = of(llama_context_default_params());
    const vl_llama_config config = test_config();
    open_result opened = open_with(fixture_path("plain"), &exact);
    ASSERT_NE(opened.runtime, nullptr) << opened.err;
    vl_llama_runtime *runtime = opened.runtime.get();
    char err[128] = "";

    auto &made = record_context_params();
    ASSERT_EQ(vl_llama_reconfigure(runtime, &config, err, sizeof err), 0) << err;
    EXPECT_EQ(reconfigure_with(runtime, nullptr), "ok");
    ASSERT_EQ(vl_llama_reconfigure(runtime, &config, err, sizeof err), 0) << err;
    ASSERT_EQ(made.size(), 3u);
    EXPECT_EQ(of(made[0]), exact_compute);
    EXPECT_EQ(of(made[1]), defaults);
    EXPECT_EQ(of(made[2]), defaults);

    // llama.cpp refuses the new context: the runtime keeps its old options.
    fakes().llama_init_from_model = [](llama_model *, llama_context_params) -> llama_context * {
        return nullptr;
    };
    EXPECT_EQ(reconfigure_with(runtime, &exact), "llama_init_from_model failed");
    // One a configuration llama.cpp would abort on is refused the same way.
    vl_llama_config aborting = test_config();
    aborting.n_batch = 2;
    auto &remade = record_context_params();
    EXPECT_EQ(reconfigure_with(runtime, &exact, aborting), "llama_init_from_model failed");
    EXPECT_TRUE(remade.empty());
    ASSERT_EQ(vl_llama_reconfigure(runtime, &config, err, sizeof err), 0) << err;
    ASSERT_EQ(remade.size(), 1u);
    EXPECT_EQ(of(remade[0]), defaults);
}

// With the exact options every scorer agrees with llama.cpp's own F32-cache
// decode without flash attention, each scored quantity against fresh
// from-scratch decodes; with the defaults the same comparison misses.
class ExactScores : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        const std::string &name = GetParam();
        // A name, or the path of a family's fixture.
        path = name == "stories260K"            ? shared_model_path("stories260K.gguf")
               : name.find('/') != std::string::npos ? name
                                                     : fixture_path(name);
        if (path.empty()) GTEST_SKIP() << "../shared/models/stories260K.gguf is absent";
        const vl_llama_options exact = VL_LLAMA_OPTIONS_EXACT;
        open_result opened = open_with(path, &exact);
        ASSERT_NE(opened.runtime, nullptr) << opened.err;
        runtime = std::move(opened.runtime);
        vocab = static_cast<uint32_t>(vocab_size(runtime.get()));
    }

    // Ordinary ids spread over the vocabulary (past the special ones).
    std::vector<uint32_t> ids(std::size_t n, uint32_t seed) const {
        std::vector<uint32_t> out(n);
        for (std::size_t i = 0; i < n; ++i) out[i] = 3 + (seed + 37 * i + i * i) % (vocab - 3);
        return out;
    }

    std::vector<float> reference(const std::vector<uint32_t> &tokens) {
        return reference_row_with(runtime.get(), {tokens.begin(), tokens.end()}, GGML_TYPE_F32,
                                  LLAMA_FLASH_ATTN_TYPE_DISABLED);
    }
    double reference_log_prob(const std::vector<uint32_t> &context, const std::vector<uint32_t> &candidate) {
        return reference_log_prob_with(runtime.get(), context, candidate, GGML_TYPE_F32,
                                       LLAMA_FLASH_ATTN_TYPE_DISABLED);
    }

    std::string path;
    runtime_ptr runtime;
    uint32_t vocab = 0;
};

TEST_P(ExactScores, NextTokenLogitsAfterPromptsAndSuffixes) {
    vl_llama_runtime *rt = runtime.get();
    const std::vector<uint32_t> prompt = concat({1}, ids(48, 11));
    const std::vector<float> expected = reference(prompt);
    const scored next = score_next_row(rt, prompt);
    ASSERT_EQ(next.status, 0) << next.err;
    EXPECT_LE(max_abs_difference(next.row, expected), tolerance) << "score_next";

    // The same comparison on a default runtime must fail, or it shows nothing.
    runtime_ptr defaults = open_runtime(path);
    ASSERT_NE(defaults, nullptr);
    EXPECT_GT(max_abs_difference(score_next_row(defaults.get(), prompt).row, expected), tolerance)
        << "the default choice agrees with the float32 decode too: the comparison cannot tell them apart";

    ASSERT_EQ(prefill(rt, prompt), 0);
    EXPECT_LE(max_abs_difference(rt->shared_logits, expected), tolerance) << "prefill";
    const std::vector<std::vector<uint32_t>> suffixes{ids(5, 3), ids(1, 7), ids(12, 19)};
    for (const auto &suffix : suffixes) {
        const scored s = score_suffix_row(rt, suffix);
        ASSERT_EQ(s.status, 0) << s.err;
        EXPECT_LE(max_abs_difference(s.row, reference(concat(prompt, suffix))), tolerance) << "score_suffix";
    }

    const std::vector<uint32_t> all = all_ids(rt);
    const flat_array<uint32_t> suffix_flat = flatten(suffixes);
    const flat_array<uint32_t> candidates = flatten(std::vector<std::vector<uint32_t>>(3, all));
    std::vector<float> out(candidates.items.size());
    char err[128] = "";
    ASSERT_EQ(vl_llama_score_suffix_batch(rt, suffix_flat.items.data(), suffix_flat.offsets.data(),
                                          candidates.items.data(), candidates.offsets.data(), 3, out.data(),
                                          err, sizeof err),
              0)
        << err;
    for (std::size_t t = 0; t < 3; ++t)
        EXPECT_LE(max_abs_difference({out.begin() + t * all.size(), out.begin() + (t + 1) * all.size()},
                                     reference(concat(prompt, suffixes[t]))),
                  tolerance)
            << "score_suffix_batch task " << t;

    const std::vector<std::vector<uint32_t>> roots{prompt, concat({1}, ids(30, 5)), concat({1}, ids(9, 8))};
    const flat_array<uint32_t> root_flat = flatten(roots);
    ASSERT_EQ(vl_llama_score_root_batch(rt, root_flat.items.data(), root_flat.offsets.data(),
                                        candidates.items.data(), candidates.offsets.data(), 3, out.data(), err,
                                        sizeof err),
              0)
        << err;
    for (std::size_t r = 0; r < 3; ++r)
        EXPECT_LE(max_abs_difference({out.begin() + r * all.size(), out.begin() + (r + 1) * all.size()},
                                     reference(roots[r])),
                  tolerance)
            << "score_root_batch root " << r;
}

TEST_P(ExactScores, SequenceLogProbabilities) {
    vl_llama_runtime *rt = runtime.get();
    const std::vector<uint32_t> prompt = concat({1}, ids(40, 23));
    // Candidates that share leading tokens, so that the walk branches.
    codebook book;
    book.add(ids(1, 2));
    book.add(ids(3, 4));
    book.add(concat(ids(2, 4), ids(2, 9)));
    book.add(ids(6, 13));
    std::vector<float> scores(book.size());
    char err[128] = "";
    auto expect_scores = [&](const std::vector<uint32_t> &context, const char *what) {
        for (std::size_t i = 0; i < book.size(); ++i)
            EXPECT_LE(std::fabs(scores[i] - reference_log_prob(context, book.candidate(i))), tolerance)
                << what << " candidate " << i;
    };

    ASSERT_EQ(vl_llama_score_sequences(rt, prompt.data(), prompt.size(), book.tokens.data(), book.offsets.data(),
                                       book.size(), scores.data(), err, sizeof err),
              0)
        << err;
    expect_scores(prompt, "score_sequences");

    const std::vector<uint32_t> suffix = ids(7, 31);
    ASSERT_EQ(prefill(rt, prompt), 0);
    ASSERT_EQ(vl_llama_score_suffix_sequences(rt, suffix.data(), suffix.size(), book.tokens.data(),
                                              book.offsets.data(), book.size(), scores.data(), err, sizeof err),
              0)
        << err;
    expect_scores(concat(prompt, suffix), "score_suffix_sequences");

    // Two tasks after the retained prefix, the candidates of both in one call.
    const flat_array<uint32_t> contexts = flatten(std::vector<std::vector<uint32_t>>{suffix, ids(3, 50)});
    const std::vector<std::size_t> task_offsets{0, 2, book.size()};
    ASSERT_EQ(vl_llama_score_sequence_batch(rt, contexts.items.data(), contexts.offsets.data(), book.tokens.data(),
                                            book.offsets.data(), task_offsets.data(), 2, scores.data(), nullptr,
                                            err, sizeof err),
              0)
        << err;
    for (std::size_t i = 0; i < book.size(); ++i) {
        const std::vector<uint32_t> context = concat(prompt, i < 2 ? suffix : ids(3, 50));
        EXPECT_LE(std::fabs(scores[i] - reference_log_prob(context, book.candidate(i))), tolerance)
            << "score_sequence_batch candidate " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Models, ExactScores, ::testing::Values("chatml", "plain", "stories260K"),
                         [](const auto &info) { return info.param; });

// The F32 fixture of every real family (Qwen2's biases, Phi-3's fused
// projections, the large vocabularies), when the build has them.
static std::vector<std::string> family_fixtures() {
    std::vector<std::string> paths;
    for (const family &f : families()) paths.push_back(f.fixture("f32"));
    return paths;
}

INSTANTIATE_TEST_SUITE_P(Families, ExactScores, ::testing::ValuesIn(family_fixtures()), [](const auto &info) {
    std::string name = info.param.substr(info.param.rfind('/') + 1);
    for (char &c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});
