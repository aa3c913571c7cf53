#include <climits>
#include <cstring>

#include "support/batch_support.h"

using namespace vl_test;

namespace {

constexpr float untouched = -12345.0f;

class SuffixBatch : public ::testing::Test {
protected:
    void SetUp() override {
        runtime = open_runtime(fixture_path("chatml"));
        ASSERT_NE(runtime, nullptr);
        prefix = sample_prompt(20);
        ASSERT_EQ(vl_llama_prefill_shared(runtime.get(), prefix.data(), prefix.size(), err, sizeof err), 0)
            << err;
        n_vocab = static_cast<uint32_t>(vocab_size(runtime.get()));
        reset_counts();
    }

    // Scores the tasks through the export on r (the fixture's runtime by default).
    int32_t run(const std::vector<std::vector<uint32_t>> &suffixes,
                const std::vector<std::vector<uint32_t>> &candidates, vl_llama_runtime *r = nullptr) {
        suffix = flatten(suffixes);
        cand = flatten(candidates);
        out.assign(cand.items.size(), untouched);
        std::strcpy(err, "");
        return vl_llama_score_suffix_batch(r ? r : runtime.get(),
                                           suffix.items.empty() ? nullptr : suffix.items.data(),
                                           suffix.offsets.data(), cand.items.data(),
                                           cand.offsets.data(), suffixes.size(), out.data(), err,
                                           sizeof err);
    }

    // Scores task i of the last run wrote, in the layout of its candidates.
    std::vector<float> scores(std::size_t i) const {
        return {out.begin() + cand.offsets[i], out.begin() + cand.offsets[i + 1]};
    }
    std::vector<float> expected(std::size_t i, const std::vector<uint32_t> &task_suffix) {
        return pick(suffix_reference(runtime.get(), task_suffix), cand.items.data() + cand.offsets[i],
                    cand.offsets[i + 1] - cand.offsets[i]);
    }

    // The prefix is still retained, alone in sequence 0, and sequences 1..3 are empty.
    void expect_prefix_intact() {
        EXPECT_TRUE(runtime->has_shared_prefix);
        EXPECT_EQ(runtime->shared_prefix_len, prefix.size());
        EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(0, static_cast<llama_pos>(prefix.size() - 1)));
        EXPECT_TRUE(sequences_empty(runtime.get(), 1, 3));
    }

    // Nothing reached llama.cpp's memory or decoder, and no score was written.
    void expect_refused_untouched(const char *message) {
        EXPECT_STREQ(err, message);
        EXPECT_EQ(counts().llama_memory_seq_rm + counts().llama_memory_seq_cp, 0);
        EXPECT_EQ(counts().llama_decode + counts().llama_batch_init, 0);
        for (float v : out) EXPECT_EQ(v, untouched);
        expect_prefix_intact();
    }

    runtime_ptr runtime;
    std::vector<uint32_t> prefix;
    uint32_t n_vocab = 0;
    flat_array<uint32_t> suffix, cand;
    std::vector<float> out;
    char err[128] = "";
};

const std::vector<std::vector<uint32_t>> two_candidates = {{5, 9}, {5, 9}};

// ---- results ------------------------------------------------------------

// Every task scores as if it were decoded alone after the prefix, by
// vl_llama_score_suffix and by llama.cpp directly: the non-empty ones from
// their own last token, the empty one from the kept logits. The batches are
// far below 64 tokens, and the parallel batch was measured bit-identical to
// single-suffix decodes.
TEST_F(SuffixBatch, EachTaskEqualsTheSameSuffixScoredAlone) {
    const std::vector<std::vector<uint32_t>> suffixes = {sample_prompt(5, 310), {}, sample_prompt(3, 400)};
    ASSERT_EQ(run(suffixes, {{1, 300, 301, 77}, {300, 310, 2}, {400, 401, 402, n_vocab - 1}}), 0) << err;
    for (std::size_t i = 0; i < suffixes.size(); ++i) {
        std::vector<float> alone(cand.offsets[i + 1] - cand.offsets[i]);
        ASSERT_EQ(vl_llama_score_suffix(runtime.get(), suffixes[i].data(), suffixes[i].size(),
                                        cand.items.data() + cand.offsets[i], alone.size(), alone.data(), err,
                                        sizeof err),
                  0)
            << err;
        EXPECT_EQ(scores(i), alone) << "task " << i;
        EXPECT_EQ(scores(i), expected(i, suffixes[i])) << "task " << i;
    }
    expect_prefix_intact();
}

TEST_F(SuffixBatch, AllSuffixesEmptyScoreFromKeptLogitsWithoutDecoding) {
    ASSERT_EQ(run({{}, {}, {}}, {{3, 300}, {3, 300}, {310, 3}}), 0) << err;
    EXPECT_EQ(counts().llama_decode, 0);
    EXPECT_EQ(counts().llama_batch_init, 0);
    EXPECT_EQ(scores(0), scores(1));
    EXPECT_EQ(scores(2), pick(runtime->shared_logits, cand.items.data() + 4, 2));
    expect_prefix_intact();
}

// Offsets 0, 2, 2, 5: tasks 0 and 2 fill batch entries 0-1 and 2-4 in their
// own sequences from position P on, with logits at entries 1 and 4 only.
TEST_F(SuffixBatch, BatchLayoutFollowsTheOffsets) {
    start_trace();
    ASSERT_EQ(run({{320, 321}, {}, {330, 331, 332}}, {{1, 2}, {3, 4}, {5, 6}}), 0) << err;
    const llama_pos P = static_cast<llama_pos>(prefix.size());
    const traced_call *decode = nullptr;
    // Sequence operations before and after the decode: "rm 1 -1 -1" etc.
    std::vector<std::string> before, after;
    for (const traced_call &c : trace()) {
        if (c.name == "llama_decode") decode = &c;
        if (c.name != "llama_memory_seq_rm" && c.name != "llama_memory_seq_cp") continue;
        (decode ? after : before)
            .push_back(c.name.substr(c.name.size() - 2) + " " + std::to_string(c.seq) + " " +
                       std::to_string(c.p0) + " " + std::to_string(c.p1));
    }
    ASSERT_NE(decode, nullptr);
    EXPECT_EQ(decode->tokens, (std::vector<llama_token>{320, 321, 330, 331, 332}));
    EXPECT_EQ(decode->positions, (std::vector<llama_pos>{P, P + 1, P, P + 1, P + 2}));
    EXPECT_EQ(decode->seqs, (std::vector<llama_seq_id>{1, 1, 3, 3, 3}));
    EXPECT_EQ(decode->logits, (std::vector<int8_t>{0, 1, 0, 0, 1}));
    EXPECT_EQ(counts().llama_get_logits_ith, 2);
    EXPECT_EQ(scores(1), pick(runtime->shared_logits, cand.items.data() + 2, 2));

    // Each task sequence is emptied, then made a copy of the whole prefix,
    // before the one decode; all three are removed after it.
    EXPECT_EQ(before, (std::vector<std::string>{"rm 1 -1 -1", "cp 1 0 -1", "rm 2 -1 -1", "cp 2 0 -1",
                                                "rm 3 -1 -1", "cp 3 0 -1"}));
    EXPECT_EQ(after, (std::vector<std::string>{"rm 1 -1 -1", "rm 2 -1 -1", "rm 3 -1 -1"}));
    EXPECT_EQ(counts().llama_batch_init, 1);
    EXPECT_EQ(counts().llama_batch_free, 1);
}

// Cells another user left in a task sequence are removed before the copy;
// kept, they would clash with the suffix positions.
TEST_F(SuffixBatch, LeftoverCellsInTaskSequencesAreRemovedFirst) {
    llama_memory_t mem = real::llama_get_memory(runtime->ctx);
    real::llama_memory_seq_cp(mem, 0, 2, 0, -1);
    llama_batch one = real::llama_batch_init(1, 0, 1);
    one.n_tokens = 1;
    one.token[0] = 350;
    one.pos[0] = static_cast<llama_pos>(prefix.size());
    one.n_seq_id[0] = 1;
    one.seq_id[0][0] = 2;
    one.logits[0] = 1;
    ASSERT_EQ(real::llama_decode(runtime->ctx, one), 0);
    real::llama_batch_free(one);

    const std::vector<std::vector<uint32_t>> suffixes = {{360}, {361, 362}};
    ASSERT_EQ(run(suffixes, two_candidates), 0) << err;
    EXPECT_EQ(scores(1), expected(1, suffixes[1]));
    expect_prefix_intact();
}

// The prefix serves any number of batch calls, each unaffected by the last.
TEST_F(SuffixBatch, RepeatedCallsGiveTheSameScores) {
    const std::vector<std::vector<uint32_t>> suffixes = {{370, 371}, {372}, {}};
    const std::vector<std::vector<uint32_t>> candidates = {{1, 2}, {3, 4}, {5, 6}};
    ASSERT_EQ(run(suffixes, candidates), 0) << err;
    const std::vector<float> first = out;
    ASSERT_EQ(run({{380}, {381, 382, 383}}, two_candidates), 0) << err;
    ASSERT_EQ(run(suffixes, candidates), 0) << err;
    EXPECT_EQ(out, first);
}

// From 64 tokens in one batch, llama.cpp's CPU attention path rounds
// differently, whatever the number of sequences. Measured on the fixture
// model with P = 60 and three suffixes of 30 tokens (90 in the batch): up
// to 0.0011 from single-suffix decodes, for logits of magnitude ~1 to 10.
TEST_F(SuffixBatch, LongBatchStaysWithinTolerance) {
    std::vector<uint32_t> long_prefix = sample_prompt(60, 3);
    ASSERT_EQ(vl_llama_prefill_shared(runtime.get(), long_prefix.data(), long_prefix.size(), err, sizeof err), 0);
    prefix = long_prefix;
    std::vector<uint32_t> all(n_vocab);
    for (uint32_t k = 0; k < n_vocab; ++k) all[k] = k;
    const std::vector<std::vector<uint32_t>> suffixes = {sample_prompt(30, 3), sample_prompt(30, 14),
                                                         sample_prompt(30, 25)};
    ASSERT_EQ(run(suffixes, {all, all, all}), 0) << err;
    for (std::size_t i = 0; i < suffixes.size(); ++i)
        EXPECT_LE(max_abs_difference(scores(i), suffix_reference(runtime.get(), suffixes[i])), 0.01f)
            << "task " << i;
    expect_prefix_intact();
}

// On a trained model the scores come from each task's own row: after
// "Once upon a time," + " there was a little", " g" (298) outranks " b"
// (268), while the empty task scores the prefix's own continuation.
TEST(SuffixBatchRealModel, TasksScoreTheirOwnContinuation) {
    VL_REQUIRE_SHARED_MODEL(path, "stories260K.gguf");
    runtime_ptr runtime = open_runtime(path);
    ASSERT_NE(runtime, nullptr);
    const std::vector<uint32_t> prefix = {1, 403, 407, 261, 378};
    ASSERT_EQ(vl_llama_prefill_shared(runtime.get(), prefix.data(), prefix.size(), nullptr, 0), 0);
    const std::vector<std::vector<uint32_t>> suffixes = {{432, 383, 286, 261, 376}, {}};
    flat_array<uint32_t> s = flatten(suffixes), c = flatten<uint32_t>({{298, 268, 400}, {298, 268}});
    std::vector<float> out(5);
    char err[128] = "";
    ASSERT_EQ(vl_llama_score_suffix_batch(runtime.get(), s.items.data(), s.offsets.data(), c.items.data(),
                                          c.offsets.data(), 2, out.data(), err, sizeof err),
              0)
        << err;
    EXPECT_GT(out[0], out[1]);
    EXPECT_GT(out[1], out[2] + 1.0f);
    EXPECT_EQ(pick(suffix_reference(runtime.get(), suffixes[0]), c.items.data(), 3),
              std::vector<float>(out.begin(), out.begin() + 3));
    EXPECT_EQ(pick(runtime->shared_logits, c.items.data() + 3, 2), std::vector<float>(out.begin() + 3, out.end()));
}

// ---- refusals before anything is touched -----------------------------------

TEST_F(SuffixBatch, InvalidArguments) {
    const char *message = "invalid parallel shared-suffix arguments";
    std::vector<uint32_t> tokens = {300, 301};
    std::vector<std::size_t> s_off = {0, 1, 2}, k_off = {0, 2, 4};
    std::vector<uint32_t> ids = {1, 2, 3, 4};
    out.assign(4, untouched);
    auto call = [&](vl_llama_runtime *r, const std::size_t *so, const uint32_t *ci,
                    const std::size_t *ko, std::size_t n, float *o) {
        return vl_llama_score_suffix_batch(r, tokens.data(), so, ci, ko, n, o, err, sizeof err);
    };
    vl_llama_runtime no_ctx = borrowed_runtime(*runtime);
    no_ctx.ctx = nullptr;
    vl_llama_runtime no_vocab = borrowed_runtime(*runtime);
    no_vocab.vocab = nullptr;
    vl_llama_runtime no_prefix = borrowed_runtime(*runtime);
    no_prefix.has_shared_prefix = false;
    auto refused = [&](int32_t result) {
        EXPECT_EQ(result, -1);
        EXPECT_STREQ(err, message);
        std::strcpy(err, "");
    };
    refused(call(nullptr, s_off.data(), ids.data(), k_off.data(), 2, out.data()));
    refused(call(&no_ctx, s_off.data(), ids.data(), k_off.data(), 2, out.data()));
    refused(call(&no_vocab, s_off.data(), ids.data(), k_off.data(), 2, out.data()));
    refused(call(&no_prefix, s_off.data(), ids.data(), k_off.data(), 2, out.data()));
    refused(call(runtime.get(), nullptr, ids.data(), k_off.data(), 2, out.data()));
    refused(call(runtime.get(), s_off.data(), nullptr, k_off.data(), 2, out.data()));
    refused(call(runtime.get(), s_off.data(), ids.data(), nullptr, 2, out.data()));
    refused(call(runtime.get(), s_off.data(), ids.data(), k_off.data(), 2, nullptr));
    refused(call(runtime.get(), s_off.data(), ids.data(), k_off.data(), 1, out.data()));
    refused(call(runtime.get(), s_off.data(), ids.data(), k_off.data(), 0, out.data()));
    EXPECT_EQ(counts().llama_get_memory, 0);
    std::strcpy(err, message);
    expect_refused_untouched(message);
}

// One request refused in validation: its offsets, task count and the
// limits of the record it is sent to (a borrowed record where the test sets
// limits no real context reports).
struct refusal {
    const char *message;
    std::vector<std::size_t> s, k;
    std::size_t tasks;
    void (*limits)(vl_llama_runtime &) = nullptr;
    bool null_tokens = false;
};

// Each row breaks one rule; the message names the first rule broken in the
// order the checks run, and nothing reaches llama.cpp's memory.
TEST_F(SuffixBatch, RefusedInValidation) {
    const char *seq_capacity = "parallel suffix task count exceeds llama.cpp sequence capacity";
    const char *monotonic = "parallel suffix offsets must be monotonic";
    const char *two = "each parallel suffix task requires at least two candidates";
    const char *n_ctx = "shared prefix plus suffix exceeds configured n_ctx";
    auto small_window = [](vl_llama_runtime &r) {  // n_ctx 100 and P 90: 10 suffix tokens fit
        r.n_ctx = 100;
        r.shared_prefix_len = 90;
    };
    const refusal rows[] = {
        // Sequence 0 keeps the prefix, so n_seq_max 4 takes 3 tasks and not 4.
        {seq_capacity, {0, 1, 2, 3, 4}, {0, 2, 4, 6, 8}, 4},
        // The largest task sequence id must stay a signed 32-bit value; only
        // an (impossible) n_seq_max gets this far. The offsets are not read.
        {"parallel suffix task count exceeds llama.cpp sequence-id range", {0}, {0}, 2147483647u,
         [](vl_llama_runtime &r) { r.n_seq_max = UINT32_MAX; }},
        {"parallel suffix offsets must start at zero", {1}, {1}, 2147483646u,
         [](vl_llama_runtime &r) { r.n_seq_max = UINT32_MAX; }},
        {"parallel suffix offsets must start at zero", {1, 1, 2}, {0, 2, 4}, 2},
        {"parallel suffix offsets must start at zero", {0, 1, 2}, {2, 4, 6}, 2},
        {monotonic, {0, 2, 1, 3}, {0, 2, 4, 6}, 3},
        {monotonic, {0, 1, 2, 3}, {0, 2, 4, 3}, 3},
        {two, {0, 1, 2, 3}, {0, 2, 3, 6}, 3},
        {two, {0, 1, 1, 1}, {0, 2, 2, 4}, 3},
        {two, {0, 1, 2, 1}, {0, 2, 3, 6}, 3},  // task 1's count before task 2's order
        {monotonic, {0, 3, 2, 3}, {0, 2, 3, 6}, 3},
        {"parallel suffix token buffer is null", {0, 0, 1}, {0, 2, 4}, 2, nullptr, true},
        {"parallel suffix token count exceeds llama.cpp batch range", {0, 0, 2147483648u}, {0, 2, 4}, 2},
        // Above n_batch (512) llama.cpp would abort; the call refuses first.
        {"parallel suffix token count exceeds configured n_batch", {0, 400, 513}, {0, 2, 4}, 2},
        {n_ctx, {0, 0, 11}, {0, 2, 4}, 2, small_window},
        {"parallel suffix batch exceeds available context capacity", {0, 6, 12}, {0, 2, 4}, 2, small_window},
        {n_ctx, {0, 0, 0}, {0, 2, 4}, 2, [](vl_llama_runtime &r) {
             r.n_ctx = 100;
             r.shared_prefix_len = 101;
         }},
    };
    const std::vector<uint32_t> tokens(600, 300), ids(8, 7);
    for (const refusal &row : rows) {
        SCOPED_TRACE(testing::Message() << row.message << ", " << row.tasks << " tasks");
        vl_llama_runtime record = borrowed_runtime(*runtime);
        if (row.limits) row.limits(record);
        out.assign(8, untouched);
        reset_counts();
        EXPECT_EQ(vl_llama_score_suffix_batch(&record, row.null_tokens ? nullptr : tokens.data(), row.s.data(),
                                              ids.data(), row.k.data(), row.tasks, out.data(), err, sizeof err),
                  -1);
        expect_refused_untouched(row.message);
    }
}

// Requests right at the limits pass validation: 3 tasks on 4 sequences, and
// suffixes of 10 and 0 tokens after P = 90 in a window of 100 (there an
// out-of-range id placed last then stops the call while it fills the batch).
TEST_F(SuffixBatch, RequestsAtTheLimitsPassValidation) {
    EXPECT_EQ(run({{300}, {301}, {302}}, {{1, 2}, {1, 2}, {1, 2}}), 0) << err;
    vl_llama_runtime small = borrowed_runtime(*runtime);
    small.n_ctx = 100;
    small.shared_prefix_len = 90;
    std::vector<uint32_t> ten = sample_prompt(10);
    ten.back() = 0xFFFFFFFFu;
    EXPECT_EQ(run({ten, {}}, two_candidates, &small), -1);
    EXPECT_STREQ(err, "parallel suffix token id exceeds llama.cpp range");
}

TEST(SuffixBatchCapacity, TwoSequencesOrNoMemoryTakeNoTasks) {
    vl_llama_config config = test_config();
    config.n_seq_max = 2;
    runtime_ptr runtime = open_runtime(fixture_path("chatml"), config);
    ASSERT_NE(runtime, nullptr);
    std::vector<uint32_t> prefix = sample_prompt(4);
    ASSERT_EQ(vl_llama_prefill_shared(runtime.get(), prefix.data(), prefix.size(), nullptr, 0), 0);
    std::vector<std::size_t> s_off = {0, 0, 0}, k_off = {0, 2, 4};
    std::vector<uint32_t> ids = {1, 2, 3, 4};
    std::vector<float> out(4);
    char err[128] = "";
    reset_counts();
    EXPECT_EQ(vl_llama_score_suffix_batch(runtime.get(), nullptr, s_off.data(), ids.data(), k_off.data(),
                                          2, out.data(), err, sizeof err),
              -1);
    EXPECT_STREQ(err, "parallel suffix task count exceeds llama.cpp sequence capacity");
    EXPECT_EQ(counts().llama_get_memory, 0);  // n_seq_max decides before memory is asked for

    runtime_ptr four = open_runtime(fixture_path("chatml"));
    ASSERT_EQ(vl_llama_prefill_shared(four.get(), prefix.data(), prefix.size(), nullptr, 0), 0);
    fakes().llama_get_memory = [](const llama_context *) -> llama_memory_t { return nullptr; };
    std::strcpy(err, "");
    EXPECT_EQ(vl_llama_score_suffix_batch(four.get(), nullptr, s_off.data(), ids.data(), k_off.data(),
                                          2, out.data(), err, sizeof err),
              -1);
    EXPECT_STREQ(err, "parallel suffix task count exceeds llama.cpp sequence capacity");
}

// ---- failures after the task sequences exist ---------------------------

// A prefix length beyond llama.cpp's positions can only come from a broken
// record; it is refused once the batch exists, and both are released.
TEST_F(SuffixBatch, PrefixBeyondPositionRange) {
    vl_llama_runtime broken = borrowed_runtime(*runtime);
    broken.n_ctx = 0;
    broken.shared_prefix_len = 2147483648u;
    EXPECT_EQ(run({{300}, {}}, two_candidates, &broken), -1);
    EXPECT_STREQ(err, "shared prefix exceeds llama.cpp position range");
    EXPECT_EQ(counts().llama_batch_init, 1);
    EXPECT_EQ(counts().llama_batch_free, 1);
    EXPECT_EQ(counts().llama_decode, 0);
    expect_prefix_intact();
}

TEST_F(SuffixBatch, TokenIdBeyondRangeLeavesSequencesClean) {
    EXPECT_EQ(run({{300, 301}, {302, 0xFFFFFFFFu, 303}}, two_candidates), -1);
    EXPECT_STREQ(err, "parallel suffix token id exceeds llama.cpp range");
    EXPECT_EQ(counts().llama_decode, 0);
    EXPECT_EQ(counts().llama_batch_free, 1);
    for (float v : out) EXPECT_EQ(v, untouched);
    expect_prefix_intact();
    const std::vector<std::vector<uint32_t>> fixed = {{300, 301}, {302, 303}};
    ASSERT_EQ(run(fixed, two_candidates), 0) << err;
    EXPECT_EQ(scores(1), expected(1, fixed[1]));
}

TEST_F(SuffixBatch, DecodeFailureLeavesPrefixUsable) {
    fakes().llama_decode = [](llama_context *, llama_batch) { return -1; };
    EXPECT_EQ(run({{300}, {301, 302}}, two_candidates), -1);
    EXPECT_STREQ(err, "llama_decode failed while scoring parallel suffixes");
    EXPECT_EQ(counts().llama_batch_free, 1);
    expect_prefix_intact();
    fakes().llama_decode = nullptr;
    ASSERT_EQ(run({{300}, {301, 302}}, two_candidates), 0) << err;
    EXPECT_EQ(scores(0), expected(0, {300}));
}

TEST_F(SuffixBatch, NullLogitsRow) {
    fakes().llama_get_logits_ith = [](llama_context *, int32_t) -> float * { return nullptr; };
    EXPECT_EQ(run({{}, {301}}, two_candidates), -1);
    EXPECT_STREQ(err, "llama_get_logits_ith returned null for a parallel suffix");
    EXPECT_EQ(scores(0), pick(runtime->shared_logits, cand.items.data(), 2));  // task 0 was done
    EXPECT_EQ(scores(1), std::vector<float>(2, untouched));
    expect_prefix_intact();
}

// The state guarantees kept logits while a prefix is retained; a record
// that breaks that is refused, not read.
TEST_F(SuffixBatch, EmptySuffixWithoutKeptLogits) {
    vl_llama_runtime broken = borrowed_runtime(*runtime);
    broken.shared_logits.clear();
    EXPECT_EQ(run({{300}, {}}, two_candidates, &broken), -1);
    EXPECT_STREQ(err, "shared prefix has no retained logits");
    EXPECT_EQ(scores(0), expected(0, {300}));
    EXPECT_EQ(scores(1), std::vector<float>(2, untouched));
    expect_prefix_intact();
}

TEST_F(SuffixBatch, BadCandidateInTaskOneKeepsTaskZeroScores) {
    EXPECT_EQ(run({{300, 301}, {302}, {}}, {{7, 8}, {9, n_vocab, 10}, {11, 12}}), -1);
    EXPECT_STREQ(err, "candidate token exceeds vocabulary size");
    EXPECT_EQ(scores(0), expected(0, {300, 301}));
    EXPECT_EQ(out[2], suffix_reference(runtime.get(), {302}).at(9));
    EXPECT_EQ(out[3], untouched);
    EXPECT_EQ(out[4], untouched);
    EXPECT_EQ(scores(2), std::vector<float>(2, untouched));
    expect_prefix_intact();
}

TEST_F(SuffixBatch, EmptyVocabulary) {
    fakes().llama_vocab_n_tokens = [](const llama_vocab *) { return 0; };
    EXPECT_EQ(run({{300}, {}}, two_candidates), -1);
    EXPECT_STREQ(err, "llama.cpp vocabulary is empty");
    for (float v : out) EXPECT_EQ(v, untouched);
    expect_prefix_intact();
}

// The error buffer convention holds for this export too.
TEST_F(SuffixBatch, ErrorBufferCapacities) {
    std::vector<std::size_t> s_off = {0, 0}, k_off = {0, 2};
    uint32_t ids[2] = {1, 2};
    float scores_out[2];
    char buffer[8] = "keep";
    EXPECT_EQ(vl_llama_score_suffix_batch(runtime.get(), nullptr, s_off.data(), ids, k_off.data(), 1,
                                          scores_out, nullptr, 64),
              -1);
    EXPECT_EQ(vl_llama_score_suffix_batch(runtime.get(), nullptr, s_off.data(), ids, k_off.data(), 1,
                                          scores_out, buffer, 0),
              -1);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(vl_llama_score_suffix_batch(runtime.get(), nullptr, s_off.data(), ids, k_off.data(), 1,
                                          scores_out, buffer, 1),
              -1);
    EXPECT_STREQ(buffer, "");
}

}  // namespace
