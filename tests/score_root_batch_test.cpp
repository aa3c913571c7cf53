#include <climits>
#include <cstring>

#include "support/batch_support.h"

using namespace vl_test;

namespace {

constexpr float untouched = -12345.0f;

class RootBatch : public ::testing::Test {
protected:
    void SetUp() override {
        runtime = open_runtime(fixture_path("chatml"));
        ASSERT_NE(runtime, nullptr);
        n_vocab = static_cast<uint32_t>(vocab_size(runtime.get()));
        // A retained prefix, to show which calls discard it.
        prefix = sample_prompt(6);
        ASSERT_EQ(vl_llama_prefill_shared(runtime.get(), prefix.data(), prefix.size(), err, sizeof err), 0)
            << err;
        reset_counts();
    }

    int32_t run(const std::vector<std::vector<uint32_t>> &prompts,
                const std::vector<std::vector<uint32_t>> &candidates, vl_llama_runtime *r = nullptr) {
        prompt = flatten(prompts);
        cand = flatten(candidates);
        out.assign(cand.items.size(), untouched);
        std::strcpy(err, "");
        return vl_llama_score_root_batch(r ? r : runtime.get(), prompt.items.data(), prompt.offsets.data(),
                                         cand.items.data(), cand.offsets.data(), prompts.size(),
                                         out.data(), err, sizeof err);
    }

    std::vector<float> scores(std::size_t r) const {
        return {out.begin() + cand.offsets[r], out.begin() + cand.offsets[r + 1]};
    }

    // What vl_llama_score_next gives for root r's prompt and candidates.
    std::vector<float> scored_alone(std::size_t r) {
        std::vector<float> alone(cand.offsets[r + 1] - cand.offsets[r]);
        char e[128] = "";
        EXPECT_EQ(vl_llama_score_next(runtime.get(), prompt.items.data() + prompt.offsets[r],
                                      prompt.offsets[r + 1] - prompt.offsets[r],
                                      cand.items.data() + cand.offsets[r], alone.size(), alone.data(),
                                      e, sizeof e),
                  0)
            << e;
        return alone;
    }

    bool memory_empty() { return sequences_empty(runtime.get(), 0, 3); }

    // A refusal in validation: nothing cleared, decoded or written, and the
    // retained prefix is still there.
    void expect_refused_untouched(const char *message) {
        EXPECT_STREQ(err, message);
        EXPECT_EQ(counts().llama_memory_clear + counts().llama_batch_init + counts().llama_decode, 0);
        for (float v : out) EXPECT_EQ(v, untouched);
        EXPECT_TRUE(runtime->has_shared_prefix);
        EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(0, static_cast<llama_pos>(prefix.size() - 1)));
    }

    // A failure after the first clear: batch freed, memory empty, no prefix.
    void expect_failed_clean(const char *message) {
        EXPECT_STREQ(err, message);
        EXPECT_EQ(counts().llama_memory_clear, 2);
        EXPECT_EQ(counts().llama_batch_init, counts().llama_batch_free);
        EXPECT_TRUE(memory_empty());
        EXPECT_FALSE(runtime->has_shared_prefix);
        EXPECT_EQ(runtime->shared_prefix_len, 0u);
        EXPECT_TRUE(runtime->shared_logits.empty());
    }

    runtime_ptr runtime;
    std::vector<uint32_t> prefix;
    uint32_t n_vocab = 0;
    flat_array<uint32_t> prompt, cand;
    std::vector<float> out;
    char err[128] = "";
};

const std::vector<std::vector<uint32_t>> two_candidates = {{5, 9}, {5, 9}};

// ---- results ------------------------------------------------------------

// Each root scores as its prompt alone does through vl_llama_score_next. The
// batches stay far below 64 tokens; on the fixture model the multi-sequence
// batch was measured bit-identical to the single-prompt decodes.
TEST_F(RootBatch, EachRootEqualsScoreNextOnItsPrompt) {
    const std::vector<std::vector<uint32_t>> prompts = {sample_prompt(7, 300), sample_prompt(12, 340),
                                                        {1}, sample_prompt(5, 300)};
    ASSERT_EQ(run(prompts, {{1, 300, 301}, {340, 341}, {2, 3, n_vocab - 1}, {400, 401}}), 0) << err;
    EXPECT_TRUE(memory_empty());
    const std::vector<float> batched = out;
    for (std::size_t r = 0; r < prompts.size(); ++r)
        EXPECT_EQ(std::vector<float>(batched.begin() + cand.offsets[r], batched.begin() + cand.offsets[r + 1]),
                  scored_alone(r))
            << "root " << r;
}

// Offsets 0, 3, 5: sequence 0 at positions 0-2, sequence 1 at 0-1, logits at
// entries 2 and 4; the memory is cleared before the batch and after its free.
TEST_F(RootBatch, BatchLayoutFollowsTheOffsets) {
    start_trace();
    ASSERT_EQ(run({{300, 301, 302}, {310, 311}}, two_candidates), 0) << err;
    std::vector<std::string> names;
    const traced_call *decode = nullptr;
    for (const traced_call &c : trace()) {
        if (c.name == "llama_decode") decode = &c;
        if (c.name != "llama_get_memory" && c.name != "llama_vocab_n_tokens") names.push_back(c.name);
    }
    ASSERT_NE(decode, nullptr);
    EXPECT_EQ(decode->tokens, (std::vector<llama_token>{300, 301, 302, 310, 311}));
    EXPECT_EQ(decode->positions, (std::vector<llama_pos>{0, 1, 2, 0, 1}));
    EXPECT_EQ(decode->seqs, (std::vector<llama_seq_id>{0, 0, 0, 1, 1}));
    EXPECT_EQ(decode->logits, (std::vector<int8_t>{0, 0, 1, 0, 1}));
    EXPECT_EQ(names, (std::vector<std::string>{"llama_memory_clear", "llama_batch_init", "llama_decode",
                                               "llama_get_logits_ith", "llama_get_logits_ith",
                                               "llama_batch_free", "llama_memory_clear"}));
    EXPECT_EQ(counts().llama_get_memory, 1);
}

// Whatever the memory held, the roots decode into an empty one.
TEST_F(RootBatch, RepeatedCallsDecodeFromTheSameState) {
    const std::vector<std::vector<uint32_t>> prompts = {sample_prompt(9, 300), sample_prompt(4, 320)};
    ASSERT_EQ(run(prompts, two_candidates), 0) << err;
    const std::vector<float> first = out;
    ASSERT_EQ(run(prompts, two_candidates), 0) << err;
    EXPECT_EQ(out, first);
    std::vector<uint32_t> other = sample_prompt(30, 500);
    ASSERT_EQ(vl_llama_prefill_shared(runtime.get(), other.data(), other.size(), err, sizeof err), 0);
    ASSERT_EQ(run(prompts, two_candidates), 0) << err;
    EXPECT_EQ(out, first);
}

// A retained prefix survives a call refused in validation, and not one that
// got past it, whatever that call's outcome.
TEST_F(RootBatch, RetainedPrefixSurvivesOnlyRefusedCalls) {
    std::vector<std::size_t> s_off = {0, 0, 0}, k_off = {0, 2, 4};
    std::vector<uint32_t> ids = {1, 2, 3, 4};
    std::vector<float> suffix_out(4);
    auto suffix_batch = [&] {
        return vl_llama_score_suffix_batch(runtime.get(), nullptr, s_off.data(), ids.data(), k_off.data(),
                                           2, suffix_out.data(), err, sizeof err);
    };
    EXPECT_EQ(run({{300}}, {{1, 2}}), -1);  // one root
    EXPECT_STREQ(err, "invalid multi-root scoring arguments");
    EXPECT_EQ(suffix_batch(), 0) << err;

    EXPECT_EQ(run({{300}, {0x80000000u}}, two_candidates), -1);
    EXPECT_EQ(suffix_batch(), -1);
    EXPECT_STREQ(err, "invalid parallel shared-suffix arguments");

    ASSERT_EQ(vl_llama_prefill_shared(runtime.get(), prefix.data(), prefix.size(), err, sizeof err), 0);
    EXPECT_EQ(run({{300}, {301}}, two_candidates), 0);
    EXPECT_EQ(suffix_batch(), -1);
    EXPECT_STREQ(err, "invalid parallel shared-suffix arguments");
}

// From 64 tokens in one batch, llama.cpp's CPU attention path rounds
// differently. Measured on the fixture model with four roots of 30 tokens
// (120 in the batch): up to 0.0017 from vl_llama_score_next on each prompt.
TEST_F(RootBatch, LongBatchStaysWithinTolerance) {
    std::vector<uint32_t> all(n_vocab);
    for (uint32_t k = 0; k < n_vocab; ++k) all[k] = k;
    const std::vector<std::vector<uint32_t>> prompts = {sample_prompt(30, 3), sample_prompt(30, 16),
                                                        sample_prompt(30, 29), sample_prompt(30, 42)};
    ASSERT_EQ(run(prompts, {all, all, all, all}), 0) << err;
    const std::vector<float> batched = out;
    for (std::size_t r = 0; r < prompts.size(); ++r)
        EXPECT_LE(max_abs_difference(std::vector<float>(batched.begin() + cand.offsets[r],
                                                        batched.begin() + cand.offsets[r + 1]),
                                     scored_alone(r)),
                  0.01f)
            << "root " << r;
}

// On a trained model each root is scored from its own prompt: after "Once
// upon a time, there was a little", " g" (298) outranks " b" (268), both far
// above an unrelated piece; the other root gets scores of its own.
TEST(RootBatchRealModel, RootsScoreTheirOwnPrompt) {
    VL_REQUIRE_SHARED_MODEL(path, "stories260K.gguf");
    runtime_ptr runtime = open_runtime(path);
    ASSERT_NE(runtime, nullptr);
    const std::vector<std::vector<uint32_t>> prompts = {{1, 403, 407, 261, 378, 432, 383, 286, 261, 376}, {1, 403}};
    flat_array<uint32_t> p = flatten(prompts), c = flatten<uint32_t>({{298, 268, 400}, {298, 268, 400}});
    std::vector<float> out(6);
    char err[128] = "";
    ASSERT_EQ(vl_llama_score_root_batch(runtime.get(), p.items.data(), p.offsets.data(), c.items.data(),
                                        c.offsets.data(), 2, out.data(), err, sizeof err),
              0)
        << err;
    EXPECT_GT(out[0], out[1]);
    EXPECT_GT(out[1], out[2] + 1.0f);
    EXPECT_NE(std::vector<float>(out.begin(), out.begin() + 3), std::vector<float>(out.begin() + 3, out.end()));
    std::vector<float> alone(3);
    ASSERT_EQ(vl_llama_score_next(runtime.get(), prompts[0].data(), prompts[0].size(), c.items.data(), 3,
                                  alone.data(), err, sizeof err),
              0);
    EXPECT_EQ(alone, std::vector<float>(out.begin(), out.begin() + 3));
}

// ---- refusals in validation ---------------------------------------------

TEST_F(RootBatch, InvalidArguments) {
    const char *message = "invalid multi-root scoring arguments";
    std::vector<uint32_t> tokens = {300, 301}, ids = {1, 2, 3, 4};
    std::vector<std::size_t> p_off = {0, 1, 2}, k_off = {0, 2, 4}, shifted = {1, 2, 3},
                             k_shifted = {2, 2, 4};
    out.assign(4, untouched);
    vl_llama_runtime no_ctx = borrowed_runtime(*runtime);
    no_ctx.ctx = nullptr;
    vl_llama_runtime no_vocab = borrowed_runtime(*runtime);
    no_vocab.vocab = nullptr;
    auto refused = [&](vl_llama_runtime *r, const uint32_t *t, const std::size_t *po, const uint32_t *ci,
                       const std::size_t *ko, std::size_t n, float *o) {
        std::strcpy(err, "");
        EXPECT_EQ(vl_llama_score_root_batch(r, t, po, ci, ko, n, o, err, sizeof err), -1);
        EXPECT_STREQ(err, message);
    };
    vl_llama_runtime *rt = runtime.get();
    refused(nullptr, tokens.data(), p_off.data(), ids.data(), k_off.data(), 2, out.data());
    refused(&no_ctx, tokens.data(), p_off.data(), ids.data(), k_off.data(), 2, out.data());
    refused(&no_vocab, tokens.data(), p_off.data(), ids.data(), k_off.data(), 2, out.data());
    refused(rt, nullptr, p_off.data(), ids.data(), k_off.data(), 2, out.data());
    refused(rt, tokens.data(), nullptr, ids.data(), k_off.data(), 2, out.data());
    refused(rt, tokens.data(), p_off.data(), nullptr, k_off.data(), 2, out.data());
    refused(rt, tokens.data(), p_off.data(), ids.data(), nullptr, 2, out.data());
    refused(rt, tokens.data(), p_off.data(), ids.data(), k_off.data(), 1, out.data());
    refused(rt, tokens.data(), p_off.data(), ids.data(), k_off.data(), 2, nullptr);
    refused(rt, tokens.data(), shifted.data(), ids.data(), k_off.data(), 2, out.data());
    refused(rt, tokens.data(), p_off.data(), ids.data(), k_shifted.data(), 2, out.data());
    EXPECT_EQ(counts().llama_get_memory, 0);
    expect_refused_untouched(message);
}

// One request refused in validation: its offsets, root count and the
// limits of the record it is sent to (a borrowed record where the test sets
// limits no real context reports).
struct refusal {
    const char *message;
    std::vector<std::size_t> p, k;
    std::size_t roots;
    void (*limits)(vl_llama_runtime &) = nullptr;
};

// Each row breaks one rule; the message names the first rule broken in the
// order the checks run, and nothing is cleared or decoded.
TEST_F(RootBatch, RefusedInValidation) {
    const char *seq_capacity = "multi-root task count exceeds llama.cpp sequence capacity";
    const char *offsets = "multi-root offsets or candidate counts are invalid";
    const char *tokens_capacity = "multi-root prompt tokens exceed configured batch/context capacity";
    const char *per_sequence = "one multi-root prompt exceeds effective per-sequence context capacity";
    const refusal rows[] = {
        // Every sequence takes a root: n_seq_max 4 takes 4 roots and not 5.
        {seq_capacity, {0, 1, 2, 3, 4, 5}, {0, 2, 4, 6, 8, 10}, 5},
        {seq_capacity, {0, 1, 2}, {0, 2, 4}, 2, [](vl_llama_runtime &r) { r.n_seq_max = 1; }},
        // Only an (impossible) n_seq_max gets this far; offsets past the
        // first are not read.
        {"multi-root task count exceeds llama.cpp sequence-id range", {0}, {0}, 2147483648u,
         [](vl_llama_runtime &r) { r.n_seq_max = UINT32_MAX; }},
        {offsets, {0, 1, 1}, {0, 2, 4}, 2},  // an empty prompt
        {offsets, {0, 2, 1}, {0, 2, 4}, 2},  // a backwards prompt
        {offsets, {0, 1, 2}, {0, 4, 3}, 2},  // backwards candidates
        {offsets, {0, 1, 2}, {0, 2, 3}, 2},  // one candidate
        {offsets, {0, 1, 2}, {0, 1, 4}, 2},  // one candidate in root 0
        {"multi-root token buffers are invalid", {0, 1, 2147483649u}, {0, 2, 4}, 2},
        // n_batch and n_ctx are 512 here; above n_batch llama.cpp would abort.
        {tokens_capacity, {0, 500, 513}, {0, 2, 4}, 2},
        {tokens_capacity, {0, 200, 257}, {0, 2, 4}, 2, [](vl_llama_runtime &r) { r.n_ctx = 256; }},
        // Without n_batch and n_ctx no total applies: the next check decides.
        {per_sequence, {0, 200, 257}, {0, 2, 4}, 2,
         [](vl_llama_runtime &r) { r.n_batch = r.n_ctx = 0, r.n_ctx_seq = 150; }},
        {per_sequence, {0, 3, 68}, {0, 2, 4}, 2, [](vl_llama_runtime &r) { r.n_ctx_seq = 64; }},
    };
    const std::vector<uint32_t> tokens(600, 300), ids(10, 7);
    for (const refusal &row : rows) {
        SCOPED_TRACE(testing::Message() << row.message << ", " << row.roots << " roots");
        vl_llama_runtime record = borrowed_runtime(*runtime);
        if (row.limits) row.limits(record);
        out.assign(10, untouched);
        reset_counts();
        EXPECT_EQ(vl_llama_score_root_batch(&record, tokens.data(), row.p.data(), ids.data(), row.k.data(),
                                            row.roots, out.data(), err, sizeof err),
                  -1);
        expect_refused_untouched(row.message);
    }
}

// Requests right at the limits pass validation: 4 roots on 4 sequences, and
// 256 tokens in a window of 256 (there an out-of-range id placed last then
// stops the call while it fills the batch).
TEST_F(RootBatch, RequestsAtTheLimitsPassValidation) {
    EXPECT_EQ(run({{300}, {301}, {302}, {303}}, {{1, 2}, {1, 2}, {1, 2}, {1, 2}}), 0) << err;
    vl_llama_runtime small = borrowed_runtime(*runtime);
    small.n_ctx = small.n_ctx_seq = 256;
    std::vector<uint32_t> last = sample_prompt(56);
    last.back() = 0x80000000u;
    EXPECT_EQ(run({sample_prompt(200), last}, two_candidates, &small), -1);
    EXPECT_STREQ(err, "multi-root prompt token id exceeds llama.cpp range");

    // A root exactly as long as the per-sequence window passes and decodes.
    // Real runtimes share one window among all sequences (n_ctx_seq equals
    // n_ctx), so only a record with a smaller share can reach this edge.
    EXPECT_EQ(runtime->n_ctx_seq, runtime->n_ctx);
    vl_llama_runtime shared = borrowed_runtime(*runtime);
    shared.n_ctx_seq = 64;
    EXPECT_EQ(run({sample_prompt(64), sample_prompt(3)}, two_candidates, &shared), 0) << err;
    EXPECT_EQ(run({sample_prompt(3), sample_prompt(65)}, two_candidates, &shared), -1);
    EXPECT_STREQ(err, "one multi-root prompt exceeds effective per-sequence context capacity");
}

// A context without sequence memory cannot hold roots in sequences.
TEST(RootBatchMemory, ContextWithoutMemoryTakesNoRoots) {
    runtime_ptr bert = open_runtime(fixture_path("bert"));
    ASSERT_NE(bert, nullptr);
    ASSERT_GE(bert->n_seq_max, 2u);
    std::vector<uint32_t> tokens = {5, 6}, ids = {1, 2, 3, 4};
    std::vector<std::size_t> p_off = {0, 1, 2}, k_off = {0, 2, 4};
    std::vector<float> out(4, untouched);
    char err[128] = "";
    EXPECT_EQ(vl_llama_score_root_batch(bert.get(), tokens.data(), p_off.data(), ids.data(), k_off.data(), 2,
                                        out.data(), err, sizeof err),
              -1);
    EXPECT_STREQ(err, "multi-root task count exceeds llama.cpp sequence capacity");
    EXPECT_EQ(counts().llama_decode, 0);
}

// ---- failures after the memory was cleared -------------------------------

TEST_F(RootBatch, TokenIdBeyondRangeStopsBeforeDecoding) {
    EXPECT_EQ(run({{300, 301}, {302, 0x80000000u, 303}}, two_candidates), -1);
    expect_failed_clean("multi-root prompt token id exceeds llama.cpp range");
    EXPECT_EQ(counts().llama_decode, 0);
    for (float v : out) EXPECT_EQ(v, untouched);
}

TEST_F(RootBatch, DecodeFailure) {
    fakes().llama_decode = [](llama_context *, llama_batch) { return -1; };
    EXPECT_EQ(run({{300}, {301, 302}}, two_candidates), -1);
    expect_failed_clean("llama_decode failed while scoring independent roots");
    for (float v : out) EXPECT_EQ(v, untouched);
}

// A decode that llama.cpp itself fails (an id beyond the vocabulary) after
// writing some cells still leaves the memory empty.
TEST_F(RootBatch, DecodeRefusedByLlamaLeavesMemoryEmpty) {
    EXPECT_EQ(run({{300, 301}, {n_vocab}}, two_candidates), -1);
    expect_failed_clean("llama_decode failed while scoring independent roots");
    EXPECT_EQ(run({{300, 301}, {302}}, two_candidates), 0) << err;
}

TEST_F(RootBatch, NullLogitsRow) {
    fakes().llama_get_logits_ith = [](llama_context *c, int32_t i) -> float * {
        return i == 0 ? real::llama_get_logits_ith(c, i) : nullptr;
    };
    EXPECT_EQ(run({{300}, {301, 302}}, two_candidates), -1);
    expect_failed_clean("llama_get_logits_ith returned null for a multi-root output");
    EXPECT_NE(out[0], untouched);
    EXPECT_EQ(scores(1), std::vector<float>(2, untouched));
}

TEST_F(RootBatch, BadCandidateInRootOneKeepsRootZeroScores) {
    const std::vector<std::vector<uint32_t>> prompts = {{300, 301}, {302}, {303}};
    EXPECT_EQ(run(prompts, {{7, 8}, {9, n_vocab, 10}, {11, 12}}), -1);
    expect_failed_clean("candidate token exceeds vocabulary size");
    const std::vector<float> batched = out;
    EXPECT_EQ(batched[3], untouched);
    EXPECT_EQ(batched[4], untouched);
    EXPECT_EQ(std::vector<float>(batched.begin() + 5, batched.end()), std::vector<float>(2, untouched));
    EXPECT_EQ(std::vector<float>(batched.begin(), batched.begin() + 2), scored_alone(0));
    std::vector<float> root1(2);
    const uint32_t ids1[2] = {9, 10};
    ASSERT_EQ(vl_llama_score_next(runtime.get(), &prompts[1][0], 1, ids1, 2, root1.data(), err, sizeof err), 0);
    EXPECT_EQ(batched[2], root1[0]);
}

TEST_F(RootBatch, EmptyVocabulary) {
    fakes().llama_vocab_n_tokens = [](const llama_vocab *) { return 0; };
    EXPECT_EQ(run({{300}, {301}}, two_candidates), -1);
    expect_failed_clean("llama.cpp vocabulary is empty");
    for (float v : out) EXPECT_EQ(v, untouched);
}

}  // namespace
