// vl_llama_score_sequence_batch: scores against the trie walk and direct
// llama.cpp decodes, the decodes it makes, its packing at the batch,
// sequence and window edges, its checks, and what failures leave behind.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <string>

#include "support/codebook.h"
#include "support/test_support.h"

using namespace vl_test;

namespace {

// Tasks in the flat layout the export takes.
struct task_set {
    std::vector<uint32_t> context_tokens;
    std::vector<size_t> context_offsets{0};
    codebook candidates;
    std::vector<size_t> task_offsets{0};

    void add(const std::vector<uint32_t> &context, const std::vector<std::vector<uint32_t>> &cands) {
        context_tokens.insert(context_tokens.end(), context.begin(), context.end());
        context_offsets.push_back(context_tokens.size());
        for (const auto &c : cands) candidates.add(c);
        task_offsets.push_back(candidates.size());
    }
    size_t tasks() const { return context_offsets.size() - 1; }
    std::vector<uint32_t> context(size_t t) const {
        return {context_tokens.begin() + static_cast<long>(context_offsets[t]),
                context_tokens.begin() + static_cast<long>(context_offsets[t + 1])};
    }
};

class SequenceBatch : public ::testing::Test {
protected:
    void open(const std::string &path, int32_t n_ctx = 256, int32_t n_batch = 256, int32_t n_seq_max = 8) {
        vl_llama_config config = test_config();
        config.n_ctx = n_ctx;
        config.n_batch = n_batch;
        config.n_seq_max = n_seq_max;
        runtime = open_runtime(path, config);
        ASSERT_NE(runtime, nullptr);
    }
    std::string prefill(const std::vector<uint32_t> &prefix) {
        char err[128] = "";
        return vl_llama_prefill_shared(runtime.get(), prefix.data(), prefix.size(), err, sizeof err) == 0 ? "ok"
                                                                                                         : err;
    }
    // Returns the call's message, or "ok"; fills scores and greedy.
    std::string score(const task_set &set, bool want_greedy = true) {
        scores.assign(set.candidates.size(), 123.0f);
        greedy.assign(set.candidates.size(), 7);
        char err[128] = "";
        const int32_t rc = vl_llama_score_sequence_batch(
            runtime.get(), set.context_tokens.empty() ? nullptr : set.context_tokens.data(),
            set.context_offsets.data(), set.candidates.tokens.data(), set.candidates.offsets.data(),
            set.task_offsets.data(), set.tasks(), scores.data(), want_greedy ? greedy.data() : nullptr, err,
            sizeof err);
        return rc == 0 ? "ok" : err;
    }
    // The walk's score of one candidate after prefix + context (the prefix
    // is retained again afterwards).
    float walk_score(const std::vector<uint32_t> &prefix, const std::vector<uint32_t> &context,
                     const std::vector<uint32_t> &candidate) {
        EXPECT_EQ(prefill(prefix), "ok");
        // A partner that is neither equal to nor a prefix of the candidate.
        const uint32_t other = candidate[0] == 3 ? 4 : 3;
        const codebook book{candidate, {other}};
        float out[2] = {};
        char err[128] = "";
        EXPECT_EQ(vl_llama_score_suffix_sequences(runtime.get(), context.empty() ? nullptr : context.data(),
                                                  context.size(), book.tokens.data(), book.offsets.data(), 2,
                                                  out, err, sizeof err),
                  0)
            << err;
        return out[0];
    }
    // Every candidate's score against the walk after the retained prefix;
    // returns the largest difference. Greedy flags against argmaxes of rows
    // from direct llama.cpp decodes.
    float compare_with_walk(const std::vector<uint32_t> &prefix, const task_set &set, bool check_greedy = true) {
        const std::vector<float> batch_scores = scores;
        const std::vector<uint8_t> batch_greedy = greedy;
        float worst = 0.0f;
        for (size_t t = 0; t < set.tasks(); ++t) {
            std::vector<uint32_t> context = set.context(t);
            // Without a retained prefix, the walk's prefix is the context's first token.
            std::vector<uint32_t> head = prefix;
            if (head.empty()) {
                head.assign(context.begin(), context.begin() + 1);
                context.erase(context.begin());
            }
            for (size_t i = set.task_offsets[t]; i < set.task_offsets[t + 1]; ++i) {
                const std::vector<uint32_t> candidate = set.candidates.candidate(i);
                worst = std::max(worst, std::fabs(walk_score(head, context, candidate) - batch_scores[i]));
                if (!check_greedy) continue;
                std::vector<llama_token> path(head.begin(), head.end());
                path.insert(path.end(), context.begin(), context.end());
                bool all_best = true;
                for (uint32_t token : candidate) {
                    const std::vector<float> row = reference_row(runtime.get(), path);
                    all_best = all_best && std::max_element(row.begin(), row.end()) - row.begin() == token;
                    path.push_back(static_cast<llama_token>(token));
                }
                EXPECT_EQ(batch_greedy[i], all_best ? 1 : 0) << "candidate " << i;
            }
        }
        return worst;
    }

    runtime_ptr runtime;
    std::vector<float> scores;
    std::vector<uint8_t> greedy;
};

// Random tasks with repeated, prefix-related and single candidates.
task_set random_tasks(std::mt19937 &rng, size_t tasks, uint32_t vocab, size_t max_context) {
    auto token = [&] { return static_cast<uint32_t>(3 + rng() % (vocab - 3)); };
    task_set set;
    for (size_t t = 0; t < tasks; ++t) {
        std::vector<uint32_t> context(1 + rng() % max_context);
        for (auto &x : context) x = token();
        std::vector<std::vector<uint32_t>> cands;
        const std::vector<uint32_t> stem{token(), token(), token()};
        const size_t n = 1 + rng() % 4;
        for (size_t k = 0; k < n; ++k) {
            std::vector<uint32_t> c(stem.begin(), stem.begin() + static_cast<long>(rng() % 3));
            for (size_t j = 0, len = 1 + rng() % 3; j < len; ++j) c.push_back(token());
            cands.push_back(c);
        }
        if (rng() % 2) cands.push_back(cands.front());                       // equal
        if (cands.front().size() > 1) cands.push_back({cands.front()[0]});  // a prefix of another
        set.add(context, cands);
    }
    return set;
}

// Measured: at most 0.0056 on stories260K and 0.001 on the F32 fixtures; a
// candidate of 234 tokens decoded at once differed by 0.015. Under valgrind,
// whose arithmetic takes other paths, up to 0.029.
constexpr float large_batch_tolerance = 0.04f;

// The batch normalises its rows with the vectorised log-softmax, the walk
// with glibc's exp one entry at a time: within 1e-6 a row (or one step of a
// float), so within this over a candidate of up to 8 tokens. A wrong row or
// token is off by far more.
constexpr float normaliser_tolerance = 2e-5f;

// Under 64 tokens a decode rounds as the walk's single-token decodes do, so
// the scores differ only by the normalisers' rounding; larger batches round
// differently (as llama.cpp's own batch sizes do), within the tolerance
// measured below.
TEST_F(SequenceBatch, ScoresEqualTheWalkAndGreedyFlagsTheArgmax) {
    VL_REQUIRE_SHARED_MODEL(stories, "stories260K.gguf");
    for (const std::string &path : {fixture_path("plain"), fixture_path("chatml"), stories}) {
        SCOPED_TRACE(path);
        open(path);
        std::mt19937 rng(7);
        const uint32_t vocab = static_cast<uint32_t>(vocab_size(runtime.get()));
        const std::vector<uint32_t> prefix{1, 40, 41};
        for (size_t tasks : {1u, 3u}) {
            const task_set set = random_tasks(rng, tasks, std::min<uint32_t>(vocab, 400), 8);
            ASSERT_EQ(prefill(prefix), "ok");
            ASSERT_EQ(score(set), "ok");
            EXPECT_LE(compare_with_walk(prefix, set), normaliser_tolerance);
            EXPECT_TRUE(runtime->has_shared_prefix);
        }
        // Without a retained prefix the contexts start at position 0; a
        // decode of more than 64 tokens rounds differently.
        const task_set big = random_tasks(rng, 6, std::min<uint32_t>(vocab, 400), 30);
        float ignored[2];
        const uint32_t one = 1, ids[2] = {3, 4};
        ASSERT_EQ(vl_llama_score_next(runtime.get(), &one, 1, ids, 2, ignored, nullptr, 0), 0);
        ASSERT_EQ(score(big), "ok");
        EXPECT_FALSE(runtime->has_shared_prefix);
        // The old prompt is gone: the window is the batch's.
        EXPECT_EQ(seq_range(runtime.get(), 0).first, -1);
        const float worst = compare_with_walk({}, big);
        std::printf("largest difference from the walk, large batch: %g\n", worst);
        EXPECT_LE(worst, large_batch_tolerance);
    }
}

// Candidates {5,2,9} {5,2,1} {5,3} {6,1} {7} after a context: the context
// and the inner nodes 5, 5-2 and 6 are decoded once, in one decode; the
// context goes to both branches' sequences, logits come only where a score
// needs them, and nothing is left in the scratch sequences.
TEST_F(SequenceBatch, DecodesEachSharedTokenOnceTaggedWithItsBranches) {
    open(fixture_path("plain"));
    const std::vector<uint32_t> prefix{1, 40};
    ASSERT_EQ(prefill(prefix), "ok");
    task_set set;
    set.add({300, 301}, {{5, 2, 9}, {5, 2, 1}, {5, 3}, {6, 1}, {7}});
    start_trace();
    ASSERT_EQ(score(set), "ok");
    std::vector<traced_call> decodes;
    for (const traced_call &c : trace())
        if (c.name == "llama_decode") decodes.push_back(c);
    ASSERT_EQ(decodes.size(), 1u);
    const traced_call &d = decodes[0];
    EXPECT_EQ(d.tokens, (std::vector<llama_token>{300, 301, 5, 2, 6}));
    EXPECT_EQ(d.positions, (std::vector<llama_pos>{2, 3, 4, 5, 4}));
    EXPECT_EQ(d.logits, (std::vector<int8_t>{0, 1, 1, 1, 1}));
    const std::vector<std::vector<llama_seq_id>> sets{{1, 2}, {1, 2}, {1}, {1}, {2}};
    EXPECT_EQ(d.seq_sets, sets);
    for (llama_seq_id s = 1; s < 8; ++s) EXPECT_EQ(seq_range(runtime.get(), s).first, -1) << s;
    EXPECT_EQ(seq_range(runtime.get(), 0), (std::pair<llama_pos, llama_pos>(0, 1)));
    EXPECT_LE(compare_with_walk(prefix, set), normaliser_tolerance);

    // An empty context scores from the kept row: only 5, 5-2 and 6 are decoded.
    task_set from_kept;
    from_kept.add({}, {{5, 2, 9}, {6, 1}, {7}});
    ASSERT_EQ(prefill(prefix), "ok");
    start_trace();
    ASSERT_EQ(score(from_kept), "ok");
    size_t tokens = 0;
    for (const traced_call &c : trace())
        if (c.name == "llama_decode") tokens += c.tokens.size();
    EXPECT_EQ(tokens, 3u);
    EXPECT_LE(compare_with_walk(prefix, from_kept), normaliser_tolerance);
}

// A candidate is greedy only when every one of its tokens was the most
// probable: a non-greedy first token followed by the greedy next one is not.
TEST_F(SequenceBatch, GreedyNeedsEveryTokenToBeTheArgmax) {
    open(fixture_path("plain"));
    const std::vector<uint32_t> prefix{1, 40, 41};
    auto argmax_after = [&](std::vector<llama_token> path) {
        const std::vector<float> row = reference_row(runtime.get(), path);
        return static_cast<uint32_t>(std::max_element(row.begin(), row.end()) - row.begin());
    };
    const std::vector<llama_token> context{1, 40, 41, 300, 301};
    const uint32_t best = argmax_after(context);
    const uint32_t other = best == 5 ? 6 : 5;
    std::vector<llama_token> after_best = context, after_other = context;
    after_best.push_back(static_cast<llama_token>(best));
    after_other.push_back(static_cast<llama_token>(other));
    task_set set;
    set.add({300, 301}, {{best, argmax_after(after_best)}, {other, argmax_after(after_other)}, {best}, {other}});
    ASSERT_EQ(prefill(prefix), "ok");
    ASSERT_EQ(score(set), "ok");
    EXPECT_EQ(greedy, (std::vector<uint8_t>{1, 0, 1, 0}));
}

// Tasks that together exceed the batch by one token take two decodes.
TEST_F(SequenceBatch, NoDecodeExceedsTheBatch) {
    open(fixture_path("plain"), 64, 8, 4);
    ASSERT_EQ(prefill({1}), "ok");
    task_set set;
    set.add(sample_prompt(4, 300), {{5}, {6}});
    set.add(sample_prompt(5, 310), {{5}, {6}});
    start_trace();
    ASSERT_EQ(score(set), "ok");
    std::vector<size_t> sizes;
    for (const traced_call &c : trace())
        if (c.name == "llama_decode") sizes.push_back(c.tokens.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{4, 5}));
}

// Fewer sequences than branches, a batch smaller than a context, and tasks
// at the window's edge: the work is split over several decodes, and the
// scores stay those of the walk.
TEST_F(SequenceBatch, SplitsWorkAtTheSequenceBatchAndWindowEdges) {
    VL_REQUIRE_SHARED_MODEL(stories, "stories260K.gguf");
    const std::vector<uint32_t> prefix{1, 403};
    struct edge {
        int32_t n_ctx, n_batch, n_seq_max;
    };
    // One branch at a time in decodes under 64 tokens: the walk's scores.
    std::vector<float> expected_scores;
    for (const edge e : {edge{256, 256, 2}, edge{256, 256, 3}, edge{256, 8, 4}, edge{64, 64, 8}}) {
        SCOPED_TRACE(testing::Message() << e.n_ctx << "/" << e.n_batch << "/" << e.n_seq_max);
        open(stories, e.n_ctx, e.n_batch, e.n_seq_max);
        std::mt19937 rng(11);
        task_set set = random_tasks(rng, 4, 400, 20);
        // Three branches below a long shared candidate stem.
        set.add({300, 301, 302}, {{9, 10, 11, 12, 13}, {9, 10, 11, 14, 15}, {9, 10, 16, 17}, {9, 18}});
        ASSERT_EQ(prefill(prefix), "ok");
        start_trace();
        ASSERT_EQ(score(set), "ok");
        size_t decodes = 0, decoded = 0, largest = 0;
        for (const traced_call &c : trace())
            if (c.name == "llama_decode") {
                ++decodes;
                decoded += c.tokens.size();
                largest = std::max(largest, c.tokens.size());
            }
        EXPECT_LE(largest, static_cast<size_t>(e.n_batch));
        // Every context token and inner node once, whatever the split.
        size_t expected = set.context_tokens.size();
        for (size_t t = 0; t < set.tasks(); ++t) {
            std::set<std::vector<uint32_t>> inner;
            for (size_t i = set.task_offsets[t]; i < set.task_offsets[t + 1]; ++i) {
                const auto c = set.candidates.candidate(i);
                for (size_t len = 1; len < c.size(); ++len) inner.emplace(c.begin(), c.begin() + static_cast<long>(len));
            }
            expected += inner.size();
        }
        EXPECT_EQ(decoded, expected);
        if (expected_scores.empty()) {
            ASSERT_LT(largest, 64u);
            expected_scores = scores;
            EXPECT_LE(compare_with_walk(prefix, set), normaliser_tolerance);
            continue;
        }
        EXPECT_EQ(scores.size(), expected_scores.size());
        // Branches decoded side by side round differently from one at a time.
        for (size_t i = 0; i < scores.size(); ++i)
            EXPECT_NEAR(scores[i], expected_scores[i], large_batch_tolerance) << i;
        if (e.n_seq_max == 8) {
            EXPECT_LE(decodes, 3u);
        }
        if (e.n_batch == 8) {
            EXPECT_GT(decodes, expected / 8);
        }
    }

    // The window: the prefix, the context and the longest candidate but one
    // token fill it exactly; one token more fails. The context takes most of
    // it, so that the candidate's own rounding stays that of short tasks.
    open(stories, 256, 256, 4);
    ASSERT_EQ(prefill(prefix), "ok");
    const std::vector<uint32_t> longest{5, 6, 7, 8, 9, 10, 11};
    std::vector<uint32_t> context;
    for (size_t k = 0; k + prefix.size() + longest.size() - 1 < runtime->n_ctx; ++k)
        context.push_back(static_cast<uint32_t>(20 + k % 300));
    task_set fits, too_long;
    fits.add(context, {longest, {12}});
    context.push_back(7);
    too_long.add(context, {longest, {12}});
    ASSERT_EQ(score(fits), "ok");
    EXPECT_LE(compare_with_walk(prefix, fits, false), large_batch_tolerance);
    EXPECT_EQ(score(too_long), "task does not fit the context window");
}

// A round packs a branch only while the window holds, beside its tokens,
// the cells an earlier round's branch keeps for the round: after a task whose
// context fills most of the window, with more branches than scratch
// sequences, the next task goes into a round of its own instead of past the
// window's end.
TEST_F(SequenceBatch, ARoundCountsTheCellsAnEarlierRoundKeepsForIt) {
    VL_REQUIRE_SHARED_MODEL(stories, "stories260K.gguf");
    open(stories, 256, 256, 3);
    const std::vector<uint32_t> prefix{1};
    std::vector<uint32_t> long_context, short_context;
    for (uint32_t k = 0; k < 200; ++k) long_context.push_back(20 + k % 300);
    for (uint32_t k = 0; k < 60; ++k) short_context.push_back(40 + k % 200);
    task_set set;
    set.add(long_context, {{5, 6}, {7, 8}, {9, 10}});
    set.add(short_context, {{5, 6}, {7}});
    ASSERT_EQ(prefill(prefix), "ok");
    ASSERT_EQ(score(set), "ok");
    EXPECT_LE(compare_with_walk(prefix, set, false), large_batch_tolerance);
}

// Every refusal comes before the memory changes: sequence 0 keeps the
// prefix, nothing is decoded, and the outputs are untouched.
TEST_F(SequenceBatch, RefusesBadRequestsBeforeAnyDecode) {
    open(fixture_path("plain"), 64, 64, 4);
    const uint32_t n_vocab = static_cast<uint32_t>(vocab_size(runtime.get()));
    const uint32_t ctx[] = {300, 301, 302, 303}, seq[] = {5, 6, 7, 8}, big[] = {2147483648u, 5};
    const uint32_t out_of_vocab[] = {n_vocab, 5};
    const size_t co[] = {0, 2, 4}, so[] = {0, 1, 2, 4}, to[] = {0, 1, 3};
    const size_t co_down[] = {0, 3, 2}, to_flat[] = {0, 0, 3}, so_empty[] = {0, 1, 1, 4}, so_down[] = {0, 2, 1, 4};
    const size_t co_empty[] = {0, 0, 4};
    float out[3] = {9, 9, 9};
    struct request {
        const char *message;
        vl_llama_runtime *rt;
        const uint32_t *c;
        const size_t *coff;
        const uint32_t *s;
        const size_t *soff;
        const size_t *toff;
        size_t n;
    };
    vl_llama_runtime *r = runtime.get();
    const request cases[] = {
        {"invalid sequence batch arguments", nullptr, ctx, co, seq, so, to, 2},
        {"invalid sequence batch arguments", r, ctx, co, seq, so, to, 0},
        {"invalid sequence batch arguments", r, nullptr, co, seq, so, to, 2},
        {"invalid sequence batch arguments", r, ctx, co, nullptr, so, to, 2},
        {"sequence batch offsets are invalid", r, ctx, co_down, seq, so, to, 2},
        {"sequence batch offsets are invalid", r, ctx, co, seq, so, to_flat, 2},
        {"sequence batch offsets are invalid", r, ctx, co, seq, so_down, to, 2},
        {"candidate sequence is empty", r, ctx, co, seq, so_empty, to, 2},
        {"token id exceeds llama.cpp range", r, ctx, co, big, so, to, 1},
        {"token id exceeds llama.cpp range", r, big, co, seq, so, to, 1},
        {"context token exceeds vocabulary size", r, out_of_vocab, co, seq, so, to, 1},
        {"candidate sequence token exceeds vocabulary size", r, ctx, co, out_of_vocab, so, to, 1},
    };
    ASSERT_EQ(prefill({1, 40}), "ok");
    for (const request &c : cases) {
        SCOPED_TRACE(c.message);
        reset_counts();
        char err[128] = "";
        EXPECT_EQ(vl_llama_score_sequence_batch(c.rt, c.c, c.coff, c.s, c.soff, c.toff, c.n, out, nullptr, err,
                                                sizeof err),
                  -1);
        EXPECT_STREQ(err, c.message);
        EXPECT_EQ(counts().llama_decode + counts().llama_memory_seq_cp + counts().llama_memory_clear, 0);
        EXPECT_EQ(out[0], 9.0f);
        EXPECT_EQ(seq_range(r, 0), (std::pair<llama_pos, llama_pos>(0, 1)));
    }
    // Window: the prefix, 2 context tokens and a candidate one token longer
    // than the rest of the window.
    std::vector<uint32_t> long_candidate(runtime->n_ctx - 2 - 2 + 2, 5);
    task_set too_long;
    too_long.add({300, 301}, {long_candidate});
    reset_counts();
    EXPECT_EQ(score(too_long), "task does not fit the context window");
    EXPECT_EQ(counts().llama_decode, 0);
    // An empty context needs a retained prefix.
    float ignored[2];
    const uint32_t ids[2] = {3, 4};
    ASSERT_EQ(vl_llama_score_next(r, ctx, 1, ids, 2, ignored, nullptr, 0), 0);
    const uint32_t one[] = {5};
    const size_t one_off[] = {0, 1};
    char err[128] = "";
    reset_counts();
    EXPECT_EQ(vl_llama_score_sequence_batch(r, ctx, co_empty, one, one_off, one_off, 1, out, nullptr, err,
                                            sizeof err),
              -1);
    EXPECT_STREQ(err, "task context is empty and no shared prefix is retained");
    EXPECT_EQ(counts().llama_decode + counts().llama_memory_clear, 0);
}

// A decode or a row that fails midway leaves the prefix retained and no
// scratch sequence behind, and the next call scores as if nothing happened.
TEST_F(SequenceBatch, FailuresMidwayLeaveTheRuntimeUsable) {
    open(fixture_path("plain"), 128, 8, 3);
    const std::vector<uint32_t> prefix{1, 40, 41};
    task_set set;
    set.add(sample_prompt(12, 300), {{5, 6, 7}, {5, 8}, {9, 10}});
    set.add(sample_prompt(5, 320), {{5, 6}, {11}});
    ASSERT_EQ(prefill(prefix), "ok");
    ASSERT_EQ(score(set), "ok");
    const std::vector<float> good = scores;
    const std::vector<float> kept = runtime->shared_logits;

    for (int failing : {1, 2, 3}) {
        for (bool logits : {false, true}) {
            SCOPED_TRACE(testing::Message() << "call " << failing << (logits ? " row" : " decode"));
            int calls = 0;
            if (logits) {
                fakes().llama_get_logits_ith = [&](llama_context *c, int32_t i) -> float * {
                    return ++calls == failing ? nullptr : real::llama_get_logits_ith(c, i);
                };
            } else {
                fakes().llama_decode = [&](llama_context *c, llama_batch b) {
                    return ++calls == failing ? -1 : real::llama_decode(c, b);
                };
            }
            EXPECT_EQ(score(set), logits ? "llama_get_logits_ith returned null while scoring sequence batch"
                                         : "llama_decode failed while scoring sequence batch");
            fakes() = fake_set{};
            EXPECT_TRUE(runtime->has_shared_prefix);
            EXPECT_EQ(runtime->shared_logits, kept);
            EXPECT_EQ(seq_range(runtime.get(), 0), (std::pair<llama_pos, llama_pos>(0, 2)));
            for (llama_seq_id s = 1; s < 3; ++s) EXPECT_EQ(seq_range(runtime.get(), s).first, -1);
            ASSERT_EQ(score(set), "ok");
            EXPECT_EQ(scores, good);
        }
    }
}

}  // namespace
