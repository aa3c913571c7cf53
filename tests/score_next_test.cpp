// Raw candidate logits after a prompt decoded from scratch, and the two
// operations every scorer shares.
#include <cmath>
#include <cstring>
#include <limits>

#include "scoring/candidate_logits.h"
#include "scoring/token_ids.h"
#include "support/test_support.h"

using namespace vl_test;

namespace {

constexpr float untouched = -12345.0f;

std::vector<llama_token> llama_ids(const std::vector<uint32_t> &ids) {
    return std::vector<llama_token>(ids.begin(), ids.end());
}

int32_t score(vl_llama_runtime *runtime, const std::vector<uint32_t> &prompt,
              const std::vector<uint32_t> &candidates, std::vector<float> &out, char *err,
              size_t cap) {
    out.assign(candidates.size(), untouched);
    return vl_llama_score_next(runtime, prompt.data(), prompt.size(), candidates.data(),
                               candidates.size(), out.data(), err, cap);
}

class ScoreNext : public ::testing::Test {
protected:
    void SetUp() override {
        runtime = open_runtime(fixture_path("chatml"));
        ASSERT_NE(runtime, nullptr);
        n_vocab = vocab_size(runtime.get());
    }
    // Retains a prefix, so that tests can see whether a call discarded it.
    void prefill() {
        const std::vector<uint32_t> prefix = sample_prompt(6, 320);
        ASSERT_EQ(vl_llama_prefill_shared(runtime.get(), prefix.data(), prefix.size(), err, sizeof err), 0) << err;
    }
    runtime_ptr runtime;
    int32_t n_vocab = 0;
    char err[128] = "";
};

}  // namespace

TEST(TokenIds, ChecksPointerCountAndEveryId) {
    std::vector<llama_token> out{7};
    EXPECT_STREQ(vl::convert_token_ids(nullptr, 3, out), "token pointer is null");
    const uint32_t one = 1;
    // The count is refused before anything is read or allocated.
    EXPECT_STREQ(vl::convert_token_ids(&one, 2147483648u, out), "token sequence is too large for llama.cpp");
    const uint32_t ids[] = {0, 2147483647u, 2147483648u, 5};
    EXPECT_STREQ(vl::convert_token_ids(ids, 4, out), "token id exceeds llama.cpp range");
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(vl::convert_token_ids(ids, 2, out), vl::ok);
    EXPECT_EQ(out, (std::vector<llama_token>{0, 2147483647}));
}

TEST(CandidateLogits, ChecksArgumentsThenCopiesInOrder) {
    runtime_ptr runtime = open_runtime(fixture_path("chatml"));
    ASSERT_NE(runtime, nullptr);
    const int32_t n = vocab_size(runtime.get());
    std::vector<float> row(n);
    for (int32_t i = 0; i < n; ++i) row[i] = static_cast<float>(i) * 0.5f;
    const uint32_t ids[] = {3, 3, static_cast<uint32_t>(n - 1), static_cast<uint32_t>(n), 1};
    float out[5] = {untouched, untouched, untouched, untouched, untouched};

    EXPECT_STREQ(vl::copy_candidate_logits(nullptr, row.data(), ids, 2, out), "invalid candidate-logit arguments");
    EXPECT_STREQ(vl::copy_candidate_logits(runtime->vocab, nullptr, ids, 2, out), "invalid candidate-logit arguments");
    EXPECT_STREQ(vl::copy_candidate_logits(runtime->vocab, row.data(), nullptr, 2, out), "invalid candidate-logit arguments");
    EXPECT_STREQ(vl::copy_candidate_logits(runtime->vocab, row.data(), ids, 1, out), "invalid candidate-logit arguments");
    EXPECT_STREQ(vl::copy_candidate_logits(runtime->vocab, row.data(), ids, 2, nullptr), "invalid candidate-logit arguments");
    EXPECT_EQ(out[0], untouched);

    EXPECT_STREQ(vl::copy_candidate_logits(runtime->vocab, row.data(), ids, 5, out),
                 "candidate token exceeds vocabulary size");
    EXPECT_EQ(out[0], 1.5f);
    EXPECT_EQ(out[1], 1.5f);
    EXPECT_EQ(out[2], static_cast<float>(n - 1) * 0.5f);
    EXPECT_EQ(out[3], untouched);
    EXPECT_EQ(out[4], untouched);

    fakes().llama_vocab_n_tokens = [](const llama_vocab *) { return 0; };
    out[0] = untouched;
    EXPECT_STREQ(vl::copy_candidate_logits(runtime->vocab, row.data(), ids, 2, out), "llama.cpp vocabulary is empty");
    EXPECT_EQ(out[0], untouched);
}

TEST_F(ScoreNext, LogitsEqualLlamaDirectly) {
    const std::vector<uint32_t> prompt = sample_prompt(23);
    const std::vector<uint32_t> candidates = {0, 5, 300, 301, static_cast<uint32_t>(n_vocab - 1), 5};
    std::vector<float> out;
    ASSERT_EQ(score(runtime.get(), prompt, candidates, out, err, sizeof err), 0) << err;
    const std::vector<float> row = reference_row(runtime.get(), llama_ids(prompt));
    ASSERT_EQ(row.size(), static_cast<size_t>(n_vocab));
    for (size_t j = 0; j < candidates.size(); ++j) EXPECT_EQ(out[j], row[candidates[j]]) << "candidate " << j;
    EXPECT_EQ(out[1], out[5]) << "the same candidate twice gets the same logit";
    EXPECT_EQ(counts().llama_decode, 1);
    // The prompt stays in sequence 0, alone.
    EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(0, 22));
    EXPECT_EQ(seq_range(runtime.get(), 1), std::make_pair(-1, -1));
}

TEST_F(ScoreNext, EachCallStartsFromAnEmptyMemory) {
    const std::vector<uint32_t> a = sample_prompt(9, 310), b = sample_prompt(5, 330);
    const std::vector<uint32_t> candidates = {300, 400};
    std::vector<float> first, again;
    ASSERT_EQ(score(runtime.get(), b, candidates, first, err, sizeof err), 0) << err;
    ASSERT_EQ(score(runtime.get(), a, candidates, again, err, sizeof err), 0) << err;
    ASSERT_EQ(score(runtime.get(), b, candidates, again, err, sizeof err), 0) << err;
    EXPECT_EQ(first, again);
}

TEST_F(ScoreNext, ArgumentChecksTouchNothing) {
    prefill();
    const std::vector<uint32_t> prompt = sample_prompt(4);
    const uint32_t candidates[] = {1, 2};
    float out[2] = {untouched, untouched};
    reset_counts();
    struct call {
        vl_llama_runtime *r;
        const uint32_t *p;
        size_t pc;
        const uint32_t *c;
        size_t cc;
        float *o;
    };
    for (call c : {call{nullptr, prompt.data(), 4, candidates, 2, out},
                   call{runtime.get(), nullptr, 4, candidates, 2, out},
                   call{runtime.get(), prompt.data(), 0, candidates, 2, out},
                   call{runtime.get(), prompt.data(), 4, nullptr, 2, out},
                   call{runtime.get(), prompt.data(), 4, candidates, 1, out},
                   call{runtime.get(), prompt.data(), 4, candidates, 2, nullptr}}) {
        EXPECT_EQ(vl_llama_score_next(c.r, c.p, c.pc, c.c, c.cc, c.o, err, sizeof err), -1);
        EXPECT_STREQ(err, "invalid scoring arguments");
    }
    EXPECT_EQ(counts().llama_decode, 0);
    EXPECT_EQ(counts().llama_memory_clear, 0);
    EXPECT_TRUE(runtime->has_shared_prefix);
    EXPECT_EQ(out[0], untouched);
}

TEST_F(ScoreNext, OutOfRangePromptIdLeavesEverythingAsItWas) {
    prefill();
    std::vector<uint32_t> prompt = sample_prompt(4);
    prompt[2] = 2147483648u;
    std::vector<float> out;
    reset_counts();
    EXPECT_EQ(score(runtime.get(), prompt, {1, 2}, out, err, sizeof err), -1);
    EXPECT_STREQ(err, "token id exceeds llama.cpp range");
    EXPECT_EQ(counts().llama_memory_clear, 0);
    EXPECT_TRUE(runtime->has_shared_prefix);
    EXPECT_EQ(runtime->shared_prefix_len, 6u);
    EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(0, 5));
}

TEST_F(ScoreNext, CandidateBeyondVocabularyLeavesEarlierEntriesAndResetsThePrefix) {
    prefill();
    const std::vector<uint32_t> prompt = sample_prompt(7);
    const std::vector<uint32_t> candidates = {300, 301, static_cast<uint32_t>(n_vocab), 302};
    std::vector<float> out;
    EXPECT_EQ(score(runtime.get(), prompt, candidates, out, err, sizeof err), -1);
    EXPECT_STREQ(err, "candidate token exceeds vocabulary size");
    const std::vector<float> row = reference_row(runtime.get(), llama_ids(prompt));
    EXPECT_EQ(out[0], row[300]);
    EXPECT_EQ(out[1], row[301]);
    EXPECT_EQ(out[2], untouched);
    EXPECT_EQ(out[3], untouched);
    EXPECT_FALSE(runtime->has_shared_prefix);
    EXPECT_EQ(runtime->shared_prefix_len, 0u);
    EXPECT_TRUE(runtime->shared_logits.empty());
    EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(0, 6)) << "the prompt stays decoded";
}

// llama.cpp aborts the process on a batch larger than n_batch; the library
// refuses it as a decode failure, after the memory was cleared.
TEST(ScoreNextLimits, PromptLongerThanTheBatchFailsAsADecode) {
    vl_llama_config config = test_config();
    config.n_batch = 64;
    runtime_ptr runtime = open_runtime(fixture_path("chatml"), config);
    ASSERT_NE(runtime, nullptr);
    ASSERT_EQ(runtime->n_batch, 64u);
    char err[128] = "";
    const std::vector<uint32_t> prefix = sample_prompt(3);
    ASSERT_EQ(vl_llama_prefill_shared(runtime.get(), prefix.data(), 3, err, sizeof err), 0);
    reset_counts();

    std::vector<float> out;
    EXPECT_EQ(score(runtime.get(), sample_prompt(65), {1, 2}, out, err, sizeof err), -1);
    EXPECT_STREQ(err, "llama_decode failed");
    EXPECT_EQ(counts().llama_decode, 0);
    EXPECT_FALSE(runtime->has_shared_prefix);
    EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(-1, -1));
    EXPECT_EQ(score(runtime.get(), sample_prompt(64), {1, 2}, out, err, sizeof err), 0) << err;
}

TEST_F(ScoreNext, PromptIdAtVocabularySizeFailsInLlamaAndLlamaStaysUsable) {
    std::vector<uint32_t> prompt = sample_prompt(5);
    prompt[4] = static_cast<uint32_t>(n_vocab);
    std::vector<float> out;
    EXPECT_EQ(score(runtime.get(), prompt, {1, 2}, out, err, sizeof err), -1);
    EXPECT_STREQ(err, "llama_decode failed");
    EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(-1, -1));
    prompt[4] = 2147483647u;  // passes the library's own check; llama.cpp refuses it
    EXPECT_EQ(score(runtime.get(), prompt, {1, 2}, out, err, sizeof err), -1);
    EXPECT_STREQ(err, "llama_decode failed");
    prompt[4] = 300;
    EXPECT_EQ(score(runtime.get(), prompt, {1, 2}, out, err, sizeof err), 0) << err;
}

TEST_F(ScoreNext, LlamaFailuresBecomeMessages) {
    const std::vector<uint32_t> prompt = sample_prompt(5);
    std::vector<float> out;

    fakes().llama_decode = [](llama_context *, llama_batch) { return 1; };
    EXPECT_EQ(score(runtime.get(), prompt, {1, 2}, out, err, sizeof err), -1);
    EXPECT_STREQ(err, "llama_decode failed");
    fakes().llama_decode = nullptr;

    fakes().llama_get_logits_ith = [](llama_context *, int32_t) -> float * { return nullptr; };
    EXPECT_EQ(score(runtime.get(), prompt, {1, 2}, out, err, sizeof err), -1);
    EXPECT_STREQ(err, "llama_get_logits_ith returned null");
    fakes().llama_get_logits_ith = nullptr;

    fakes().llama_vocab_n_tokens = [](const llama_vocab *) { return -1; };
    EXPECT_EQ(score(runtime.get(), prompt, {1, 2}, out, err, sizeof err), -1);
    EXPECT_STREQ(err, "llama.cpp vocabulary is empty");
    EXPECT_EQ(out[0], untouched);
}

TEST_F(ScoreNext, ContextWithoutMemoryStillScores) {
    fakes().llama_get_memory = [](const llama_context *) -> llama_memory_t { return nullptr; };
    const std::vector<uint32_t> prompt = sample_prompt(5);
    std::vector<float> out;
    ASSERT_EQ(score(runtime.get(), prompt, {300, 301}, out, err, sizeof err), 0) << err;
    EXPECT_EQ(counts().llama_memory_clear, 0);
    fakes().llama_get_memory = nullptr;
    const std::vector<float> row = reference_row(runtime.get(), llama_ids(prompt));
    EXPECT_EQ(out[0], row[300]);
}

TEST(ScoreNextEncoder, ModelWithoutSequenceMemoryScores) {
    runtime_ptr runtime = open_runtime(fixture_path("bert"));
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(llama_get_memory(runtime->ctx), nullptr);
    char err[128] = "";
    std::vector<float> out;
    EXPECT_EQ(score(runtime.get(), sample_prompt(4), {300, 301}, out, err, sizeof err), 0) << err;
    EXPECT_EQ(counts().llama_memory_clear, 0);
}

TEST_F(ScoreNext, NoErrorBufferStillFails) {
    std::vector<float> out;
    EXPECT_EQ(score(runtime.get(), {}, {1, 2}, out, nullptr, 64), -1);
    std::strcpy(err, "kept");
    EXPECT_EQ(score(runtime.get(), {}, {1, 2}, out, err, 0), -1);
    EXPECT_STREQ(err, "kept");
}

// The scores come from the last prompt position of a real model.
TEST(ScoreNextRealModel, StoriesModelContinuesLittleWithGirlOrBoy) {
    VL_REQUIRE_SHARED_MODEL(path, "stories260K.gguf");
    runtime_ptr runtime = open_runtime(path);
    ASSERT_NE(runtime, nullptr);
    // "Once upon a time, there was a little"
    const std::vector<uint32_t> prompt = {1, 403, 407, 261, 378, 432, 383, 286, 261, 376};
    const std::vector<uint32_t> candidates = {298, 268, 2, 100};  // " g", " b", </s>, a byte piece
    std::vector<float> out;
    char err[128] = "";
    ASSERT_EQ(score(runtime.get(), prompt, candidates, out, err, sizeof err), 0) << err;
    EXPECT_NEAR(out[0], 16.9515f, 1e-3f);
    EXPECT_NEAR(out[1], 16.1089f, 1e-3f);
    EXPECT_GT(out[0], out[1]);
    EXPECT_GT(out[1] - out[2], 5.0f);
    EXPECT_GT(out[1] - out[3], 5.0f);
}
