// vl_llama_score_sequences and vl_llama_score_suffix_sequences on real
// contexts: scores against from-scratch decodes, the calls they make, and the
// sequence memory and shared-prefix state every outcome leaves.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "support/codebook.h"
#include "support/test_support.h"

using namespace vl_test;

namespace {

// log P(candidate | context) from fresh from-scratch decodes with the
// runtime's (default) context parameters.
double reference_score(vl_llama_runtime *runtime, const std::vector<uint32_t> &context,
                       const std::vector<uint32_t> &candidate) {
    const llama_context_params defaults = llama_context_default_params();
    return reference_log_prob_with(runtime, context, candidate, defaults.type_k, defaults.flash_attn_type);
}

// The normaliser as the library must compute it to the bit: single-precision
// maximum and differences, double-precision exp and sum in index order.
float stated_normaliser(const std::vector<float> &row) {
    float max = -std::numeric_limits<float>::infinity();
    for (float x : row) max = std::max(max, x);
    double sum = 0.0;
    for (float x : row) sum += std::exp(static_cast<double>(x - max));
    return static_cast<float>(std::log(sum)) + max;
}

class SequenceScoring : public ::testing::Test {
protected:
    void open(vl_llama_config config = test_config()) {
        runtime = open_runtime(fixture_path("plain"), config);
        ASSERT_NE(runtime, nullptr);
    }
    void SetUp() override { open(); }

    // Each returns the call's message, or "ok".
    std::string score(const std::vector<uint32_t> &prompt, const codebook &book) {
        scores.assign(book.size(), 123.0f);
        char err[128] = "";
        const int32_t rc = vl_llama_score_sequences(runtime.get(), prompt.data(), prompt.size(),
                                                    book.tokens.data(), book.offsets.data(),
                                                    book.size(), scores.data(), err, sizeof err);
        return rc == 0 ? "ok" : err;
    }
    std::string score_suffix(const std::vector<uint32_t> &suffix, const codebook &book) {
        scores.assign(book.size(), 123.0f);
        char err[128] = "";
        const int32_t rc = vl_llama_score_suffix_sequences(
            runtime.get(), suffix.empty() ? nullptr : suffix.data(), suffix.size(),
            book.tokens.data(), book.offsets.data(), book.size(), scores.data(), err, sizeof err);
        return rc == 0 ? "ok" : err;
    }
    std::string prefill(const std::vector<uint32_t> &prefix) {
        char err[128] = "";
        return vl_llama_prefill_shared(runtime.get(), prefix.data(), prefix.size(), err, sizeof err) == 0
                   ? "ok"
                   : err;
    }
    // Sequence 0 holds exactly the retained prefix, and sequence 1 nothing.
    void expect_prefix_intact(size_t prefix_len, const std::vector<float> &logits) {
        EXPECT_TRUE(runtime->has_shared_prefix);
        EXPECT_EQ(runtime->shared_prefix_len, prefix_len);
        EXPECT_EQ(runtime->shared_logits, logits);
        EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(0, static_cast<llama_pos>(prefix_len) - 1));
        EXPECT_EQ(seq_range(runtime.get(), 1), std::make_pair(-1, -1));
    }
    void expect_reset_with_seq0(llama_pos last) {
        EXPECT_FALSE(runtime->has_shared_prefix);
        EXPECT_EQ(runtime->shared_prefix_len, 0u);
        EXPECT_TRUE(runtime->shared_logits.empty());
        EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(last < 0 ? -1 : 0, last));
    }

    runtime_ptr runtime;
    std::vector<float> scores;
    const codebook book{{300, 301, 302}, {300, 301, 310}, {300, 320}, {305}, {306, 307, 308, 309}};
};

// Every batch stays under 64 tokens, so the logits equal the reference's
// bit for bit and only the accumulation differs: single precision in the
// library, double in the reference. At scores down to -32 half an ulp is
// 1.9e-6 and a candidate takes a few roundings per token: 2e-5 (seen: 1.4e-6).
constexpr double tolerance = 2e-5;
TEST_F(SequenceScoring, MatchesFromScratchDecodes) {
    const std::vector<uint32_t> prompt = sample_prompt(12);
    ASSERT_EQ(score(prompt, book), "ok");
    for (size_t i = 0; i < book.size(); ++i)
        EXPECT_NEAR(scores[i], reference_score(runtime.get(), prompt, book.candidate(i)), tolerance) << i;
    const std::vector<float> root = reference_row(runtime.get(), {prompt.begin(), prompt.end()});
    EXPECT_EQ(scores[3], (0.0f + root[305]) - stated_normaliser(root));
    EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(0, 11));

    // The same context as a retained prefix plus a suffix, or as a prefix
    // alone, gives the same scores to the bit.
    const std::vector<float> from_scratch = scores;
    ASSERT_EQ(prefill({prompt.begin(), prompt.begin() + 8}), "ok");
    ASSERT_EQ(score_suffix({prompt.begin() + 8, prompt.end()}, book), "ok");
    EXPECT_EQ(scores, from_scratch);
    ASSERT_EQ(prefill(prompt), "ok");
    ASSERT_EQ(score_suffix({}, book), "ok");
    EXPECT_EQ(scores, from_scratch);
    expect_prefix_intact(12, root);
}

TEST_F(SequenceScoring, DecodesOnlyInternalNodesInScratchSequence) {
    ASSERT_EQ(prefill(sample_prompt(6)), "ok");
    start_trace();
    ASSERT_EQ(score_suffix({}, {{5, 2, 9}, {5, 2, 1}, {5, 3}}), "ok");
    std::vector<std::string> work;
    for (const traced_call &c : trace()) {
        if (c.name == "llama_decode")
            work.push_back("decode " + std::to_string(c.tokens.at(0)) + "@" + std::to_string(c.positions.at(0)) +
                           " seq " + std::to_string(c.seqs.at(0)));
        else if (c.name == "llama_memory_seq_rm" || c.name == "llama_memory_seq_cp")
            work.push_back(c.name.substr(13) + " " + std::to_string(c.seq) + " " + std::to_string(c.p0) +
                           " " + std::to_string(c.p1));
    }
    EXPECT_EQ(work, (std::vector<std::string>{"seq_rm 1 -1 -1", "seq_cp 1 0 -1", "decode 5@6 seq 1",
                                              "decode 2@7 seq 1", "seq_rm 1 7 -1", "seq_rm 1 6 -1",
                                              "seq_rm 1 -1 -1"}));
    EXPECT_EQ(counts().llama_batch_init, counts().llama_batch_free);

    reset_counts();
    ASSERT_EQ(score_suffix({}, {{5}, {9}, {1}}), "ok");
    ASSERT_EQ(score_suffix({400, 401}, {{5}, {9}, {1}}), "ok");
    EXPECT_EQ(counts().llama_decode, 1);  // the suffix only
    EXPECT_EQ(counts().llama_batch_init, counts().llama_batch_free);
}

TEST_F(SequenceScoring, FromScratchFailuresLeaveTheDocumentedState) {
    const std::vector<uint32_t> prompt = sample_prompt(6);
    const uint32_t n_vocab = static_cast<uint32_t>(vocab_size(runtime.get()));
    ASSERT_EQ(prefill(prompt), "ok");
    const std::vector<float> kept = runtime->shared_logits;
    // Refusals before the memory is touched.
    EXPECT_EQ(score(prompt, {{300}}), "invalid sequence scoring arguments");
    EXPECT_EQ(score({}, book), "invalid sequence scoring arguments");
    EXPECT_EQ(score({300, 2147483648u}, book), "token id exceeds llama.cpp range");
    expect_prefix_intact(6, kept);

    // A bad codebook is found only after the prompt was decoded.
    codebook shifted = book;
    shifted.offsets[0] = 1;
    EXPECT_EQ(score(prompt, shifted), "invalid candidate sequence arguments");
    EXPECT_EQ(scores, std::vector<float>(book.size(), 123.0f));
    expect_reset_with_seq0(5);
    EXPECT_EQ(score_suffix({}, book), "invalid shared-prefix sequence scoring arguments");

    // llama.cpp refuses an id outside the vocabulary; the memory was cleared first.
    EXPECT_EQ(score({300, n_vocab}, book), "llama_decode failed before sequence scoring");
    expect_reset_with_seq0(-1);

    fakes().llama_get_logits_ith = [](llama_context *, int32_t) -> float * { return nullptr; };
    EXPECT_EQ(score(prompt, book), "missing root logits for sequence scoring");
    expect_reset_with_seq0(5);
    fakes().llama_get_logits_ith = nullptr;

    // A walk failure leaves the prompt and the path it was on.
    runtime->n_ctx = 8;
    EXPECT_EQ(score(prompt, {{305, 301, 302, 303}, {300}}), "candidate sequence exceeds llama.cpp context window");
    expect_reset_with_seq0(7);
    EXPECT_EQ(scores[0], -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isfinite(scores[1]));
    EXPECT_EQ(score(prompt, {{305, 301, 302}, {300}}), "ok");
    EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(0, 5));
}

TEST_F(SequenceScoring, SuffixFailuresKeepThePrefixAndRemoveSequenceOne) {
    const std::vector<uint32_t> prefix = sample_prompt(10);
    const uint32_t n_vocab = static_cast<uint32_t>(vocab_size(runtime.get()));
    EXPECT_EQ(score_suffix({}, book), "invalid shared-prefix sequence scoring arguments");
    ASSERT_EQ(prefill(prefix), "ok");
    const std::vector<float> kept = runtime->shared_logits;
    EXPECT_EQ(score_suffix({}, {{300}}), "invalid shared-prefix sequence scoring arguments");
    EXPECT_EQ(vl_llama_score_suffix_sequences(runtime.get(), nullptr, 1, book.tokens.data(), book.offsets.data(),
                                              book.size(), scores.data(), nullptr, 0),
              -1);

    const std::vector<std::pair<std::vector<uint32_t>, std::string>> failing{
        {{300, 2147483648u}, "token id exceeds llama.cpp range"},
        {{300, n_vocab}, "llama_decode failed before shared sequence scoring"},
        {{300, 301, 302}, "invalid candidate sequence arguments"},
    };
    codebook shifted = book;
    shifted.offsets[0] = 1;
    for (const auto &[suffix, message] : failing) {
        EXPECT_EQ(score_suffix(suffix, message == failing[2].second ? shifted : book), message);
        expect_prefix_intact(10, kept);
    }
    fakes().llama_get_logits_ith = [](llama_context *, int32_t) -> float * { return nullptr; };
    EXPECT_EQ(score_suffix({300}, book), "missing shared root logits for sequence scoring");
    expect_prefix_intact(10, kept);
    fakes().llama_get_logits_ith = nullptr;

    // With a window of 16 after 10 prefix tokens, 6 suffix tokens fit, and
    // the walk then stops at its first decode; 7 do not fit.
    runtime->n_ctx = 16;
    EXPECT_EQ(score_suffix(sample_prompt(6, 400), {{300}, {301}}), "ok");
    EXPECT_EQ(score_suffix(sample_prompt(6, 400), book), "candidate sequence exceeds llama.cpp context window");
    expect_prefix_intact(10, kept);
    EXPECT_EQ(score_suffix(sample_prompt(7, 400), book), "shared prefix plus suffix exceeds context window");
    expect_prefix_intact(10, kept);

    // Positions past 2147483647 are refused before anything is decoded.
    runtime->n_ctx = 0;
    runtime->shared_prefix_len = 2147483647;
    EXPECT_EQ(score_suffix({300, 301}, book), "shared suffix position overflow");
    runtime->shared_prefix_len = 10;
    expect_prefix_intact(10, kept);
    EXPECT_EQ(counts().llama_batch_init, counts().llama_batch_free);
}

// llama.cpp aborts on a decode larger than n_batch; both exports refuse it.
TEST_F(SequenceScoring, RefusesDecodesLargerThanTheBatch) {
    vl_llama_config config = test_config();
    config.n_batch = 32;
    open(config);
    ASSERT_EQ(prefill(sample_prompt(10)), "ok");
    const std::vector<float> kept = runtime->shared_logits;
    EXPECT_EQ(score_suffix(sample_prompt(33, 400), book), "llama_decode failed before shared sequence scoring");
    expect_prefix_intact(10, kept);
    EXPECT_EQ(score_suffix(sample_prompt(32, 400), book), "ok");
    EXPECT_EQ(score(sample_prompt(33), book), "llama_decode failed before sequence scoring");
    expect_reset_with_seq0(-1);
    EXPECT_EQ(score(sample_prompt(32), book), "ok");
    expect_reset_with_seq0(31);
    EXPECT_EQ(score_suffix({}, book), "invalid shared-prefix sequence scoring arguments");
}

TEST_F(SequenceScoring, RefusesContextsWithoutSequenceMemory) {
    runtime = open_runtime(fixture_path("bert"));
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(score(sample_prompt(4), book), "llama.cpp context does not expose sequence memory");
    runtime->has_shared_prefix = true;  // no prefill can succeed on this context
    EXPECT_EQ(score_suffix({}, book), "llama.cpp context does not expose sequence memory");
    EXPECT_EQ(counts().llama_decode, 0);
}

TEST(SequenceScoringRealModel, PrefersTheLikelyContinuations) {
    VL_REQUIRE_SHARED_MODEL(path, "stories260K.gguf");
    runtime_ptr runtime = open_runtime(path);
    ASSERT_NE(runtime, nullptr);
    auto tokenize = [&](const std::string &text) {
        std::vector<llama_token> out(64);
        const int32_t n = llama_tokenize(runtime->vocab, text.c_str(), static_cast<int32_t>(text.size()),
                                         out.data(), static_cast<int32_t>(out.size()), true, false);
        out.resize(static_cast<size_t>(std::max(n, 0)));
        return host_ids(out);
    };
    const std::string text = "Once upon a time, there was a little";
    const std::vector<uint32_t> prompt = tokenize(text);
    ASSERT_EQ(prompt, (std::vector<uint32_t>{1, 403, 407, 261, 378, 432, 383, 286, 261, 376}));
    codebook answers;
    for (const char *word : {" girl", " boy", " because"}) {
        const std::vector<uint32_t> all = tokenize(text + word);
        ASSERT_TRUE(std::equal(prompt.begin(), prompt.end(), all.begin())) << word;
        answers.add({all.begin() + prompt.size(), all.end()});
    }
    ASSERT_GE(answers.candidate(0).size(), 2u);  // a multi-token answer

    std::vector<float> scores(3);
    char err[128] = "";
    ASSERT_EQ(vl_llama_score_sequences(runtime.get(), prompt.data(), prompt.size(), answers.tokens.data(),
                                       answers.offsets.data(), 3, scores.data(), err, sizeof err),
              0) << err;
    EXPECT_GT(scores[0], scores[2]);
    EXPECT_GT(scores[1], scores[2]);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(scores[i], reference_score(runtime.get(), prompt, answers.candidate(i)), tolerance) << i;
}

}  // namespace
