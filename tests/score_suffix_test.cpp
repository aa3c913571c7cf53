#include <algorithm>
#include <cmath>
#include <functional>

#include "support/prefix_support.h"

using namespace vl_test;

namespace {

class ScoreSuffix : public ::testing::Test {
protected:
    void SetUp() override {
        runtime = open_runtime(fixture_path("chatml"));
        ASSERT_NE(runtime, nullptr);
        ASSERT_EQ(prefill(runtime.get(), prefix), 0);
        baseline = score_suffix_row(runtime.get(), suffix);
        ASSERT_EQ(baseline.status, 0) << baseline.err;
    }

    // The prefix is still retained and scores exactly as it did before.
    void expect_prefix_usable() {
        EXPECT_TRUE(runtime->has_shared_prefix);
        EXPECT_EQ(runtime->shared_prefix_len, prefix.size());
        EXPECT_EQ(runtime->shared_logits.size(), static_cast<std::size_t>(vocab_size(runtime.get())));
        expect_memory_holds_prefix(runtime.get(), prefix.size());
        fakes() = fake_set{};
        scored again = score_suffix_row(runtime.get(), suffix);
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(again.row, baseline.row);
    }

    runtime_ptr runtime;
    const std::vector<uint32_t> prefix = sample_prompt(40);
    const std::vector<uint32_t> suffix = sample_prompt(8, 400);
    scored baseline;
};

// Bit for bit while every decode stays under 64 tokens; several suffixes
// after one prefill do not affect each other.
TEST_F(ScoreSuffix, EqualsScoreNextFromScratch) {
    struct setup {
        std::vector<uint32_t> prefix;
        std::vector<std::vector<uint32_t>> suffixes;
    };
    const std::vector<setup> setups = {
        {sample_prompt(40), {sample_prompt(8, 400), sample_prompt(1, 500), sample_prompt(20, 350)}},
        {sample_prompt(1), {sample_prompt(5, 420), sample_prompt(1, 330)}},
    };
    for (const setup &s : setups) {
        std::vector<std::vector<float>> expected;
        for (const auto &suffix : s.suffixes) {
            scored from_scratch = score_next_row(runtime.get(), concat(s.prefix, suffix));
            ASSERT_EQ(from_scratch.status, 0) << from_scratch.err;
            expected.push_back(from_scratch.row);
        }
        ASSERT_EQ(prefill(runtime.get(), s.prefix), 0);
        for (std::size_t i = 0; i < s.suffixes.size(); ++i) {
            scored got = score_suffix_row(runtime.get(), s.suffixes[i]);
            ASSERT_EQ(got.status, 0) << got.err;
            EXPECT_EQ(got.row, expected[i]) << "prefix " << s.prefix.size() << ", suffix " << i;
            expect_memory_holds_prefix(runtime.get(), s.prefix.size());
        }
    }
}

// A prefix decoded in one batch of 64 tokens or more takes llama.cpp's other
// attention path. Measured on the fixture model (logits up to about 7.7 in
// size) for prefixes of 64 to 500 tokens plus 8: at most 0.0021 apart, while
// a prefix differing in every token moves them by 0.2 or more. Tolerance 0.01.
TEST_F(ScoreSuffix, LongPrefixMatchesScoreNextWithinTolerance) {
    const std::vector<uint32_t> long_prefix = sample_prompt(300);
    scored from_scratch = score_next_row(runtime.get(), concat(long_prefix, suffix));
    ASSERT_EQ(from_scratch.status, 0) << from_scratch.err;
    ASSERT_EQ(prefill(runtime.get(), long_prefix), 0);
    scored got = score_suffix_row(runtime.get(), suffix);
    ASSERT_EQ(got.status, 0) << got.err;
    for (std::size_t i = 0; i < got.row.size(); ++i)
        ASSERT_NEAR(got.row[i], from_scratch.row[i], 0.01f) << "token " << i;
    expect_memory_holds_prefix(runtime.get(), long_prefix.size());
}

// The empty suffix reads the kept row: the prefix's own last logits, with no
// memory operation and no decode.
TEST_F(ScoreSuffix, EmptySuffixUsesKeptLogitsWithoutTouchingMemory) {
    scored from_scratch = score_next_row(runtime.get(), prefix);
    ASSERT_EQ(prefill(runtime.get(), prefix), 0);
    reset_counts();
    scored got = score_suffix_row(runtime.get(), {});
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.row, from_scratch.row);
    EXPECT_EQ(counts().llama_get_memory, 0);
    EXPECT_EQ(counts().llama_decode, 0);
    EXPECT_EQ(counts().llama_batch_init, 0);
    EXPECT_EQ(counts().llama_memory_seq_rm + counts().llama_memory_seq_cp, 0);
}

// One decode of the suffix alone, in sequence 1 after the prefix, logits for
// its last token only; the batch is freed before sequence 1 is removed.
TEST_F(ScoreSuffix, DecodesOnlyTheSuffixInSequenceOne) {
    start_trace();
    scored got = score_suffix_row(runtime.get(), suffix);
    ASSERT_EQ(got.status, 0) << got.err;
    const std::vector<std::string> expected_calls = {
        "llama_get_memory", "llama_memory_seq_rm",  "llama_memory_seq_cp",
        "llama_batch_init", "llama_decode",         "llama_get_logits_ith",
        "llama_vocab_n_tokens", "llama_batch_free", "llama_memory_seq_rm"};
    ASSERT_EQ(traced_names(), expected_calls);
    const auto &t = trace();
    EXPECT_EQ(t[1].seq, 1);
    EXPECT_EQ(std::make_pair(t[1].p0, t[1].p1), std::make_pair(-1, -1));
    EXPECT_EQ(t[2].seq, 1);
    EXPECT_EQ(std::make_pair(t[2].p0, t[2].p1), std::make_pair(0, -1));
    EXPECT_EQ(t[8].seq, 1);

    const traced_call &decode = t[4];
    EXPECT_EQ(decode.tokens, std::vector<llama_token>(suffix.begin(), suffix.end()));
    std::vector<llama_pos> positions(suffix.size());
    for (std::size_t j = 0; j < positions.size(); ++j) positions[j] = static_cast<llama_pos>(prefix.size() + j);
    EXPECT_EQ(decode.positions, positions);
    EXPECT_EQ(decode.seqs, std::vector<llama_seq_id>(suffix.size(), 1));
    std::vector<int8_t> flags(suffix.size(), 0);
    flags.back() = 1;
    EXPECT_EQ(decode.logits, flags);
    expect_memory_holds_prefix(runtime.get(), prefix.size());
}

// Failures after the copy into sequence 1: the message, sequence 1 removed,
// the prefix retained and scoring as before.
TEST_F(ScoreSuffix, FailuresAfterTheCopyRemoveSequenceOneAndKeepThePrefix) {
    struct failure {
        const char *what;
        std::function<void()> inject;
        std::vector<uint32_t> suffix;
        const char *message;
        int decodes;
    };
    const std::vector<failure> failures = {
        {"decode fails", [] { fakes().llama_decode = [](llama_context *, llama_batch) { return -1; }; },
         suffix, "llama_decode failed while scoring shared suffix", 1},
        {"suffix over n_batch", [] {}, sample_prompt(runtime->n_batch + 1),
         "llama_decode failed while scoring shared suffix", 0},
        {"prefix plus suffix over the window", [] {}, sample_prompt(runtime->n_ctx - prefix.size() + 1),
         "llama_decode failed while scoring shared suffix", 1},
        {"no logits row", [] { fakes().llama_get_logits_ith = [](llama_context *, int32_t) { return static_cast<float *>(nullptr); }; },
         suffix, "llama_get_logits_ith returned null after shared suffix", 1},
        {"empty vocabulary", [] { fakes().llama_vocab_n_tokens = [](const llama_vocab *) { return 0; }; },
         suffix, "llama.cpp vocabulary is empty", 1},
    };
    ASSERT_LE(runtime->n_ctx - prefix.size() + 1, runtime->n_batch);
    const std::vector<uint32_t> ids = {5, 6, 7};
    for (const failure &f : failures) {
        SCOPED_TRACE(f.what);
        f.inject();
        reset_counts();
        std::vector<float> out(ids.size(), -9.0f);
        char err[128] = "";
        EXPECT_EQ(vl_llama_score_suffix(runtime.get(), f.suffix.data(), f.suffix.size(), ids.data(),
                                        ids.size(), out.data(), err, sizeof err),
                  -1);
        EXPECT_STREQ(err, f.message);
        EXPECT_EQ(counts().llama_decode, f.decodes);
        EXPECT_EQ(counts().llama_batch_init, counts().llama_batch_free);
        EXPECT_EQ(out, std::vector<float>(ids.size(), -9.0f));
        expect_prefix_usable();
    }
}

// A candidate equal to the vocabulary size: the entries before it are
// written, the rest left alone, and a corrected call succeeds.
TEST_F(ScoreSuffix, CandidateBeyondVocabularyLeavesPartialOutput) {
    const uint32_t n_vocab = static_cast<uint32_t>(vocab_size(runtime.get()));
    for (const auto &s : {suffix, std::vector<uint32_t>{}}) {
        const std::vector<float> expected = s.empty() ? runtime->shared_logits : baseline.row;
        const std::vector<uint32_t> ids = {3, 9, n_vocab, 4};
        std::vector<float> out(ids.size(), -9.0f);
        char err[128] = "";
        EXPECT_EQ(vl_llama_score_suffix(runtime.get(), s.data(), s.size(), ids.data(), ids.size(),
                                        out.data(), err, sizeof err),
                  -1);
        EXPECT_STREQ(err, "candidate token exceeds vocabulary size");
        EXPECT_EQ(out, (std::vector<float>{expected[3], expected[9], -9.0f, -9.0f}));
        expect_prefix_usable();
    }
}

// Failures before sequence 1 is touched: in the order of the checks, with no
// memory operation, no decode and no output.
TEST_F(ScoreSuffix, EarlyFailuresTouchNothing) {
    const uint32_t too_big = 2147483648u;
    const std::vector<uint32_t> bad_id = {300, too_big, 301};
    const std::vector<uint32_t> ids = {5, 6};
    struct failure {
        const char *what;
        std::function<void()> inject;
        const uint32_t *suffix;
        std::size_t suffix_count;
        std::size_t candidate_count;
        const char *message;
    };
    auto no_memory = [] { fakes().llama_get_memory = [](const llama_context *) { return llama_memory_t{}; }; };
    auto no_logits = [this] { runtime->shared_logits.clear(); };
    auto no_prefix = [this] { runtime->has_shared_prefix = false; };
    const std::vector<failure> failures = {
        {"no prefix", no_prefix, suffix.data(), suffix.size(), 2, "invalid shared-suffix scoring arguments"},
        {"null suffix", [] {}, nullptr, 3, 2, "invalid shared-suffix scoring arguments"},
        {"one candidate", [] {}, suffix.data(), suffix.size(), 1, "invalid shared-suffix scoring arguments"},
        {"kept row missing", no_logits, nullptr, 0, 2, "shared prefix has no retained logits"},
        {"no memory before bad id", no_memory, bad_id.data(), bad_id.size(), 2,
         "llama.cpp context does not expose reusable sequence memory"},
        {"suffix count", [] {}, suffix.data(), 2147483648u, 2, "token sequence is too large for llama.cpp"},
        {"bad id before position range", [this] { runtime->shared_prefix_len = 2147483648u; },
         bad_id.data(), bad_id.size(), 2, "token id exceeds llama.cpp range"},
        {"prefix position range", [this] { runtime->shared_prefix_len = 2147483648u; }, suffix.data(), 1, 2,
         "shared prefix exceeds llama.cpp position range"},
        {"suffix position range", [this] { runtime->shared_prefix_len = 2147483645u; }, suffix.data(), 3, 2,
         "shared prefix plus suffix exceeds llama.cpp position range"},
    };
    const std::vector<float> kept = runtime->shared_logits;
    for (const failure &f : failures) {
        SCOPED_TRACE(f.what);
        f.inject();
        start_trace();
        std::vector<float> out(ids.size(), -9.0f);
        char err[128] = "";
        EXPECT_EQ(vl_llama_score_suffix(runtime.get(), f.suffix, f.suffix_count, ids.data(),
                                        f.candidate_count, out.data(), err, sizeof err),
                  -1);
        EXPECT_STREQ(err, f.message);
        for (const std::string &name : traced_names())
            EXPECT_TRUE(name == "llama_get_memory") << name << " called";
        EXPECT_EQ(out, std::vector<float>(ids.size(), -9.0f));
        runtime->shared_prefix_len = prefix.size();
        runtime->shared_logits = kept;
        runtime->has_shared_prefix = true;
        expect_prefix_usable();
    }

    // The remaining argument checks, and a runtime without context or vocabulary.
    float out[2];
    const uint32_t *s = suffix.data();
    EXPECT_EQ(vl_llama_score_suffix(nullptr, s, 1, ids.data(), 2, out, nullptr, 0), -1);
    EXPECT_EQ(vl_llama_score_suffix(runtime.get(), s, 1, nullptr, 2, out, nullptr, 0), -1);
    EXPECT_EQ(vl_llama_score_suffix(runtime.get(), s, 1, ids.data(), 2, nullptr, nullptr, 0), -1);
    vl_llama_runtime hollow;
    hollow.has_shared_prefix = true;
    hollow.shared_prefix_len = 1;
    hollow.shared_logits.assign(8, 0.0f);
    char err[128] = "";
    EXPECT_EQ(vl_llama_score_suffix(&hollow, nullptr, 0, ids.data(), 2, out, err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid shared-suffix scoring arguments");
}

// The last suffix position may be 2147483646: such a suffix passes the range
// checks and reaches the decode (faked here; no model has such a window).
TEST_F(ScoreSuffix, LastPositionMayBe2147483646) {
    runtime->shared_prefix_len = 2147483645u;
    fakes().llama_decode = [](llama_context *, llama_batch) { return -1; };
    start_trace();
    scored got = score_suffix_row(runtime.get(), {300, 301});
    EXPECT_EQ(got.err, "llama_decode failed while scoring shared suffix");
    bool decoded = false;
    for (const traced_call &call : trace()) {
        if (call.name != "llama_decode") continue;
        decoded = true;
        EXPECT_EQ(call.positions, (std::vector<llama_pos>{2147483645, 2147483646}));
    }
    EXPECT_TRUE(decoded);
    runtime->shared_prefix_len = prefix.size();
    expect_prefix_usable();
}

// A suffix of exactly n_batch tokens decodes; one more is refused before
// llama.cpp, which would abort on it.
TEST(ScoreSuffixBatchLimit, SuffixOfExactlyNBatchDecodes) {
    vl_llama_config config = test_config();
    config.n_batch = 32;
    runtime_ptr runtime = open_runtime(fixture_path("chatml"), config);
    ASSERT_NE(runtime, nullptr);
    ASSERT_EQ(runtime->n_batch, 32u);
    const std::vector<uint32_t> prefix = sample_prompt(10);
    ASSERT_EQ(prefill(runtime.get(), prefix), 0);

    scored fits = score_suffix_row(runtime.get(), sample_prompt(32, 400));
    EXPECT_EQ(fits.status, 0) << fits.err;
    expect_memory_holds_prefix(runtime.get(), prefix.size());

    reset_counts();
    scored too_long = score_suffix_row(runtime.get(), sample_prompt(33, 400));
    EXPECT_EQ(too_long.err, "llama_decode failed while scoring shared suffix");
    EXPECT_EQ(counts().llama_decode, 0);
    expect_memory_holds_prefix(runtime.get(), prefix.size());
    EXPECT_EQ(score_suffix_row(runtime.get(), sample_prompt(32, 400)).row, fits.row);
}

// With a real model: the logits the model's notes give after the whole text.
TEST(ScoreSuffixRealModel, ContinuesThePrefix) {
    VL_REQUIRE_SHARED_MODEL(path, "stories260K.gguf");
    runtime_ptr runtime = open_runtime(path);
    ASSERT_NE(runtime, nullptr);
    // "Once upon a time, there was a little" split after "time,".
    ASSERT_EQ(prefill(runtime.get(), {1, 403, 407, 261, 378, 432}), 0);
    const std::vector<uint32_t> suffix = {383, 286, 261, 376};
    const std::vector<uint32_t> ids = {298, 268};
    float out[2];
    char err[128] = "";
    ASSERT_EQ(vl_llama_score_suffix(runtime.get(), suffix.data(), suffix.size(), ids.data(), 2, out,
                                    err, sizeof err),
              0)
        << err;
    EXPECT_NEAR(out[0], 16.9515f, 1e-3f);
    EXPECT_NEAR(out[1], 16.1089f, 1e-3f);
}

}  // namespace
