// The prefill and the shared-prefix state every export leaves behind.
#include <algorithm>
#include <functional>

#include "support/prefix_support.h"

using namespace vl_test;

namespace {

class SharedPrefix : public ::testing::Test {
protected:
    void SetUp() override {
        runtime = open_runtime(fixture_path("chatml"));
        ASSERT_NE(runtime, nullptr);
    }

    // Retains prefix and records how its suffix scores.
    void retain() {
        ASSERT_EQ(prefill(runtime.get(), prefix), 0);
        baseline = score_suffix_row(runtime.get(), suffix);
        ASSERT_EQ(baseline.status, 0) << baseline.err;
    }

    void expect_retained() {
        EXPECT_TRUE(runtime->has_shared_prefix);
        EXPECT_EQ(runtime->shared_prefix_len, prefix.size());
        expect_memory_holds_prefix(runtime.get(), prefix.size());
        fakes() = fake_set{};
        scored again = score_suffix_row(runtime.get(), suffix);
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(again.row, baseline.row);
    }

    // No prefix: the fields are cleared (capacity kept) and the suffix scorer refuses.
    void expect_none(std::size_t kept_capacity) {
        EXPECT_FALSE(runtime->has_shared_prefix);
        EXPECT_EQ(runtime->shared_prefix_len, 0u);
        EXPECT_TRUE(runtime->shared_logits.empty());
        EXPECT_EQ(runtime->shared_logits.capacity(), kept_capacity);
        fakes() = fake_set{};
        EXPECT_EQ(score_suffix_row(runtime.get(), suffix).err, "invalid shared-suffix scoring arguments");
        EXPECT_EQ(score_suffix_row(runtime.get(), {}).err, "invalid shared-suffix scoring arguments");
    }

    runtime_ptr runtime;
    const std::vector<uint32_t> prefix = sample_prompt(40);
    const std::vector<uint32_t> suffix = sample_prompt(8, 400);
    scored baseline;
};

TEST_F(SharedPrefix, OpenStartsWithNone) { expect_none(0); }

// The kept row is the prefix's last logits; sequence 0 holds the prefix
// from position 0, decoded in one batch after the memory was cleared.
TEST_F(SharedPrefix, PrefillKeepsTheLastRowAndTheTokensInSequenceZero) {
    start_trace();
    ASSERT_EQ(prefill(runtime.get(), prefix), 0);
    const std::vector<std::string> expected_calls = {"llama_get_memory", "llama_memory_clear",
                                                     "llama_decode", "llama_get_logits_ith",
                                                     "llama_vocab_n_tokens"};
    EXPECT_EQ(traced_names(), expected_calls);
    EXPECT_EQ(trace()[2].tokens, std::vector<llama_token>(prefix.begin(), prefix.end()));

    std::vector<llama_token> tokens(prefix.begin(), prefix.end());
    EXPECT_EQ(runtime->shared_logits, reference_row(runtime.get(), tokens));
    EXPECT_TRUE(runtime->has_shared_prefix);
    EXPECT_EQ(runtime->shared_prefix_len, prefix.size());
    expect_memory_holds_prefix(runtime.get(), prefix.size());

    // A one-token prefix: suffixes start at position 1.
    ASSERT_EQ(prefill(runtime.get(), {300}), 0);
    EXPECT_EQ(runtime->shared_prefix_len, 1u);
    start_trace();
    ASSERT_EQ(score_suffix_row(runtime.get(), {301, 302}).status, 0);
    const std::vector<std::string> names = traced_names();
    const auto decode = std::find(names.begin(), names.end(), "llama_decode");
    ASSERT_NE(decode, names.end());
    EXPECT_EQ(trace()[decode - names.begin()].positions, (std::vector<llama_pos>{1, 2}));
}

// The second prefill replaces the first, in the kept row's own storage.
TEST_F(SharedPrefix, SecondPrefillReplacesTheFirst) {
    const std::vector<uint32_t> second = sample_prompt(20, 350);
    scored expected = score_next_row(runtime.get(), concat(second, suffix));
    retain();
    const float *storage = runtime->shared_logits.data();
    ASSERT_EQ(prefill(runtime.get(), second), 0);
    EXPECT_EQ(runtime->shared_logits.data(), storage);
    EXPECT_EQ(runtime->shared_prefix_len, second.size());
    expect_memory_holds_prefix(runtime.get(), second.size());
    EXPECT_EQ(score_suffix_row(runtime.get(), suffix).row, expected.row);
}

// Failures of the checks before the memory clear leave a retained prefix as it was.
TEST_F(SharedPrefix, PrefillFailingItsChecksKeepsTheOldPrefix) {
    retain();
    const std::vector<uint32_t> bad_id = {300, 2147483648u};
    struct failure {
        const char *what;
        std::function<void()> inject;
        const uint32_t *tokens;
        std::size_t count;
        const char *message;
    };
    auto no_memory = [] { fakes().llama_get_memory = [](const llama_context *) { return llama_memory_t{}; }; };
    const std::vector<failure> failures = {
        {"zero count", [] {}, prefix.data(), 0, "invalid shared-prefix arguments"},
        {"null tokens", [] {}, nullptr, 3, "invalid shared-prefix arguments"},
        {"no memory before bad id", no_memory, bad_id.data(), bad_id.size(),
         "llama.cpp context does not expose reusable sequence memory"},
        {"count", [] {}, prefix.data(), 2147483648u, "token sequence is too large for llama.cpp"},
        {"id 2147483648", [] {}, bad_id.data(), bad_id.size(), "token id exceeds llama.cpp range"},
    };
    for (const failure &f : failures) {
        SCOPED_TRACE(f.what);
        f.inject();
        reset_counts();
        char err[128] = "";
        EXPECT_EQ(vl_llama_prefill_shared(runtime.get(), f.tokens, f.count, err, sizeof err), -1);
        EXPECT_STREQ(err, f.message);
        EXPECT_EQ(counts().llama_memory_clear, 0);
        expect_retained();
    }
    EXPECT_EQ(vl_llama_prefill_shared(nullptr, prefix.data(), prefix.size(), nullptr, 0), -1);
}

// Failures from the decode on leave none, and keep the row's capacity.
TEST_F(SharedPrefix, PrefillFailingFromItsDecodeOnLeavesNone) {
    struct failure {
        const char *what;
        std::function<void()> inject;
        std::vector<uint32_t> tokens;
        const char *message;
        int decodes;
    };
    const std::vector<failure> failures = {
        {"decode fails", [] { fakes().llama_decode = [](llama_context *, llama_batch) { return 1; }; },
         prefix, "llama_decode failed while prefilling shared prefix", 1},
        {"prefix over n_batch", [] {}, sample_prompt(runtime->n_batch + 1),
         "llama_decode failed while prefilling shared prefix", 0},
        {"no logits row", [] { fakes().llama_get_logits_ith = [](llama_context *, int32_t) { return static_cast<float *>(nullptr); }; },
         prefix, "llama_get_logits_ith returned null after shared prefill", 1},
        {"empty vocabulary", [] { fakes().llama_vocab_n_tokens = [](const llama_vocab *) { return 0; }; },
         prefix, "llama.cpp vocabulary is empty", 1},
    };
    for (const failure &f : failures) {
        SCOPED_TRACE(f.what);
        retain();
        const std::size_t capacity = runtime->shared_logits.capacity();
        f.inject();
        reset_counts();
        std::string err;
        EXPECT_EQ(prefill(runtime.get(), f.tokens, &err), -1);
        EXPECT_EQ(err, f.message);
        EXPECT_EQ(counts().llama_memory_clear, 1);
        EXPECT_EQ(counts().llama_decode, f.decodes);
        expect_none(capacity);
    }
}

// vl_llama_score_next discards the prefix once it reaches its memory clear,
// whatever happens after.
TEST_F(SharedPrefix, ScoreNextDiscardsThePrefixOnceItClearsTheMemory) {
    const uint32_t n_vocab = static_cast<uint32_t>(vocab_size(runtime.get()));
    const std::vector<uint32_t> ids = {5, 6};
    const std::vector<uint32_t> beyond = {5, n_vocab};
    float out[2];

    retain();
    const std::size_t capacity = runtime->shared_logits.capacity();
    EXPECT_EQ(vl_llama_score_next(runtime.get(), prefix.data(), prefix.size(), ids.data(), 2, out, nullptr, 0), 0);
    expect_none(capacity);

    retain();
    EXPECT_EQ(vl_llama_score_next(runtime.get(), prefix.data(), prefix.size(), beyond.data(), 2, out, nullptr, 0), -1);
    expect_none(capacity);
}

// A context without sequence memory cannot keep a prefix.
TEST(SharedPrefixWithoutMemory, PrefillIsRefused) {
    runtime_ptr runtime = open_runtime(fixture_path("bert"));
    ASSERT_NE(runtime, nullptr);
    reset_counts();
    std::string err;
    EXPECT_EQ(prefill(runtime.get(), sample_prompt(4), &err), -1);
    EXPECT_EQ(err, "llama.cpp context does not expose reusable sequence memory");
    EXPECT_EQ(counts().llama_decode, 0);
    EXPECT_FALSE(runtime->has_shared_prefix);
}

}  // namespace
