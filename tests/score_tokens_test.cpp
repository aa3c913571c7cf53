// vl_llama_score_tokens: every token's score against direct llama.cpp
// decodes, what context tokens get, the packing at the batch, sequence and
// window edges, its checks, and what a failing decode leaves behind.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <string>

#include "support/family_support.h"
#include "support/token_support.h"

using namespace vl_test;

namespace {

// Against a reference decoded in one batch of its own, measured: at most
// 1.4e-6 on the fixtures and stories260K where the call's decodes hold one
// or two short sequences; up to 1.2e-3 on the F32 fixtures where batches of
// 8 or 64 tokens split and mix them (llama.cpp rounds each batch shape
// differently, as the sequence batch scorer's tests measured too).
constexpr double tolerance = 2e-5;
constexpr double batch_shape_tolerance = 5e-3;

class ScoreTokens : public ::testing::Test {
protected:
    void open(const std::string &path, int32_t n_ctx = 256, int32_t n_batch = 256, int32_t n_seq_max = 4) {
        runtime = open_runtime(path, test_config(n_ctx, n_batch, n_seq_max));
        ASSERT_NE(runtime, nullptr);
    }
    std::string prefill(const std::vector<uint32_t> &prefix) { return prefill_status(runtime.get(), prefix); }
    // Every entry of the call against a direct decode of prefix + sequence:
    // scored tokens within the tolerance and greedy where the reference's
    // argmax is the token, context tokens 0 and 1. Returns the largest
    // difference.
    double compare(const std::vector<uint32_t> &prefix, const std::vector<std::vector<uint32_t>> &sequences,
                   const std::vector<size_t> &context_counts, const token_scores &got,
                   double allowed = tolerance) {
        double worst = 0;
        size_t at = 0;
        for (size_t s = 0; s < sequences.size(); ++s) {
            const std::vector<uint32_t> &seq = sequences[s];
            const reference_rows ref = reference_distributions(runtime.get(), concat(prefix, seq));
            size_t first = context_counts.empty() ? 0 : context_counts[s];
            if (prefix.empty()) first = std::max<size_t>(first, 1);
            for (size_t k = 0; k < seq.size(); ++k, ++at) {
                SCOPED_TRACE(testing::Message() << "sequence " << s << " token " << k);
                if (k < first) {
                    EXPECT_EQ(got.log_probs[at], 0.0f);
                    EXPECT_EQ(got.greedy[at], 1);
                    continue;
                }
                const size_t row = prefix.size() + k - 1;  // the position before the token
                const double expected = ref.log_probs.at(row).at(seq[k]);
                worst = std::max(worst, std::fabs(expected - got.log_probs[at]));
                EXPECT_NEAR(got.log_probs[at], expected, allowed);
                EXPECT_EQ(got.greedy[at], ref.argmax.at(row) == seq[k] ? 1 : 0);
            }
        }
        return worst;
    }

    runtime_ptr runtime;
};

std::vector<std::vector<uint32_t>> random_sequences(std::mt19937 &rng, size_t count, size_t max_len,
                                                    uint32_t vocab) {
    std::vector<std::vector<uint32_t>> out(count);
    for (auto &seq : out) {
        seq.resize(1 + rng() % max_len);
        for (auto &t : seq) t = static_cast<uint32_t>(3 + rng() % (vocab - 3));
    }
    return out;
}

// Sequences with and without a retained prefix and context counts, on three
// models; the greedy flags of an argmax continuation are all 1.
TEST_F(ScoreTokens, EveryTokenMatchesDirectDecodes) {
    VL_REQUIRE_SHARED_MODEL(stories, "stories260K.gguf");
    for (const std::string &path : {fixture_path("plain"), fixture_path("chatml"), stories}) {
        SCOPED_TRACE(path);
        open(path);
        std::mt19937 rng(3);
        const uint32_t vocab = std::min<uint32_t>(static_cast<uint32_t>(vocab_size(runtime.get())), 400);
        double worst = 0;
        for (bool with_prefix : {false, true}) {
            const std::vector<uint32_t> prefix = with_prefix ? std::vector<uint32_t>{1, 40, 41} : std::vector<uint32_t>{};
            const auto sequences = random_sequences(rng, 5, 40, vocab);
            std::vector<size_t> counts;
            for (const auto &seq : sequences) counts.push_back(rng() % (seq.size() + 1));
            if (with_prefix) {
                ASSERT_EQ(prefill(prefix), "ok");
            }
            const token_scores got = score_tokens(runtime.get(), sequences, counts);
            ASSERT_EQ(got.status, "ok");
            EXPECT_EQ(runtime->has_shared_prefix, with_prefix);
            worst = std::max(worst, compare(prefix, sequences, counts, got));
            // No context counts: everything that can be scored is.
            if (with_prefix) {
                ASSERT_EQ(prefill(prefix), "ok");
            }
            worst = std::max(worst, compare(prefix, sequences, {}, score_tokens(runtime.get(), sequences)));
        }
        std::printf("largest difference from direct decodes: %g\n", worst);

        // A text the model continues greedily after the prefix is greedy
        // throughout, its first token scored from the kept row.
        const std::vector<uint32_t> prefix{1, 403};
        std::vector<uint32_t> text;
        for (int i = 0; i < 12; ++i)
            text.push_back(reference_distributions(runtime.get(), concat(prefix, text)).argmax.back());
        ASSERT_EQ(prefill(prefix), "ok");
        const token_scores greedy = score_tokens(runtime.get(), {text});
        ASSERT_EQ(greedy.status, "ok");
        EXPECT_EQ(greedy.greedy, std::vector<uint8_t>(text.size(), 1));
        // The same text from scratch (score_next discards the prefix): its
        // first token is context.
        float ignored[2];
        const uint32_t one = 1, ids[2] = {3, 4};
        ASSERT_EQ(vl_llama_score_next(runtime.get(), &one, 1, ids, 2, ignored, nullptr, 0), 0);
        const token_scores scratch = score_tokens(runtime.get(), {concat(prefix, text)});
        ASSERT_EQ(scratch.status, "ok");
        EXPECT_EQ(scratch.log_probs[0], 0.0f);
        EXPECT_EQ(scratch.greedy[0], 1);
        EXPECT_EQ(std::vector<uint8_t>(scratch.greedy.begin() + 2, scratch.greedy.end()),
                  std::vector<uint8_t>(text.size(), 1));
    }
}

// The decodes of a call: their sizes, positions and sequences, and that
// every layout scores alike.
struct decode_shape {
    std::vector<size_t> sizes;
    std::vector<std::set<llama_seq_id>> sequences;  // per decode
};

decode_shape traced_decodes() {
    decode_shape shape;
    for (const traced_call &c : trace()) {
        if (c.name != "llama_decode") continue;
        shape.sizes.push_back(c.tokens.size());
        shape.sequences.emplace_back(c.seqs.begin(), c.seqs.end());
    }
    return shape;
}

TEST_F(ScoreTokens, PacksSequencesAtTheBatchSequenceAndWindowEdges) {
    const std::vector<std::vector<uint32_t>> small{sample_prompt(5, 300), sample_prompt(6, 310),
                                                   sample_prompt(13, 320)};
    {
        // Batch edge: 4 + 5 + 12 decoded tokens in decodes of 8; a sequence
        // cut by the batch's end continues at the next decode's start.
        open(fixture_path("plain"), 128, 8, 8);
        start_trace();
        const token_scores got = score_tokens(runtime.get(), small);
        ASSERT_EQ(got.status, "ok");
        const decode_shape shape = traced_decodes();
        EXPECT_EQ(shape.sizes, (std::vector<size_t>{8, 8, 5}));
        std::vector<traced_call> decodes;
        for (const traced_call &c : trace())
            if (c.name == "llama_decode") decodes.push_back(c);
        ASSERT_EQ(decodes.size(), 3u);
        EXPECT_EQ(decodes[0].positions, (std::vector<llama_pos>{0, 1, 2, 3, 0, 1, 2, 3}));
        EXPECT_EQ(decodes[1].positions, (std::vector<llama_pos>{4, 0, 1, 2, 3, 4, 5, 6}));
        EXPECT_EQ(decodes[2].positions, (std::vector<llama_pos>{7, 8, 9, 10, 11}));
        EXPECT_EQ(decodes[2].seqs, std::vector<llama_seq_id>(5, decodes[1].seqs[1]));
        // Rows only where they score a token: the first token is context.
        EXPECT_EQ(decodes[0].logits, std::vector<int8_t>(8, 1));
        compare({}, small, {}, got, batch_shape_tolerance);
        for (llama_seq_id s = 0; s < 8; ++s) EXPECT_EQ(seq_range(runtime.get(), s).first, -1) << s;
    }
    {
        // Context counts: no row before the one that scores the first
        // counted token, and no decode for a sequence with nothing counted.
        open(fixture_path("plain"), 128, 64, 8);
        start_trace();
        const token_scores got = score_tokens(runtime.get(), small, {3, 6, 1});
        ASSERT_EQ(got.status, "ok");
        const decode_shape shape = traced_decodes();
        ASSERT_EQ(shape.sizes, (std::vector<size_t>{4 + 12}));
        for (const traced_call &c : trace()) {
            if (c.name == "llama_decode") {
                EXPECT_EQ(c.logits, (std::vector<int8_t>{0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
            }
        }
        compare({}, small, {3, 6, 1}, got, batch_shape_tolerance);
    }
    {
        // Sequence edge: two scratch sequences for four sequences.
        open(fixture_path("plain"), 128, 64, 3);
        const std::vector<std::vector<uint32_t>> four{sample_prompt(3, 300), sample_prompt(3, 310),
                                                      sample_prompt(3, 320), sample_prompt(3, 330)};
        start_trace();
        const token_scores got = score_tokens(runtime.get(), four);
        ASSERT_EQ(got.status, "ok");
        const decode_shape shape = traced_decodes();
        EXPECT_EQ(shape.sizes, (std::vector<size_t>{4, 4}));
        for (const auto &seqs : shape.sequences) EXPECT_EQ(seqs, (std::set<llama_seq_id>{1, 2}));
        compare({}, four, {}, got, batch_shape_tolerance);
    }
    {
        // Window edge (llama.cpp makes the window a multiple of 256):
        // sequences of 129 tokens take 128 cells each; two fill the window,
        // and after a prefix of 2 one does, alone.
        open(fixture_path("plain"), 256, 256, 8);
        ASSERT_EQ(runtime->n_ctx, 256u);
        const std::vector<std::vector<uint32_t>> three{sample_prompt(129, 300), sample_prompt(129, 310),
                                                       sample_prompt(129, 320)};
        start_trace();
        const token_scores got = score_tokens(runtime.get(), three);
        ASSERT_EQ(got.status, "ok");
        EXPECT_EQ(traced_decodes().sizes, (std::vector<size_t>{256, 128}));
        compare({}, three, {}, got, batch_shape_tolerance);

        ASSERT_EQ(prefill({1, 40}), "ok");
        start_trace();
        const token_scores after = score_tokens(runtime.get(), three);
        ASSERT_EQ(after.status, "ok");
        EXPECT_EQ(traced_decodes().sizes, (std::vector<size_t>{128, 128, 128}));
        compare({1, 40}, three, {}, after, batch_shape_tolerance);

        // The prefix plus all but the last token fill the window exactly; one
        // token more does not fit.
        std::vector<uint32_t> fills = sample_prompt(255, 300);
        EXPECT_EQ(score_tokens(runtime.get(), {fills}).status, "ok");
        fills.push_back(5);
        EXPECT_EQ(score_tokens(runtime.get(), {fills}).status, "sequence does not fit the context window");
    }
}

// A sequence that goes on after another one finished scores as it does
// alone: the finished one's cells are not refilled under it, which would put
// its later tokens below its earlier ones and change llama.cpp's rounding
// (by up to 0.03 on the Q8_0 families).
TEST_F(ScoreTokens, ASequenceGoingOnAfterAnotherEndsScoresAsAlone) {
    std::vector<std::string> models{fixture_path("plain")};
    for (const family &f : families()) models.push_back(f.fixture("q8_0"));
    for (const std::string &path : models) {
        SCOPED_TRACE(path);
        // Decodes of 16 tokens: the first sequence ends in the second, the
        // second starts there and goes on for two more.
        open(path, 256, 16, 4);
        const std::vector<uint32_t> first = sample_prompt(30, 300), second = sample_prompt(30, 310);
        const token_scores packed = score_tokens(runtime.get(), {first, second});
        const token_scores alone = score_tokens(runtime.get(), {second});
        ASSERT_EQ(packed.status, "ok");
        ASSERT_EQ(alone.status, "ok");
        for (size_t k = 0; k < second.size(); ++k)
            EXPECT_NEAR(packed.log_probs[first.size() + k], alone.log_probs[k], 1e-6) << "token " << k;
    }
}

// Every refusal comes before the memory changes: sequence 0 keeps the
// prefix, nothing is decoded, and the outputs are untouched.
TEST_F(ScoreTokens, RefusesBadRequestsBeforeAnyDecode) {
    open(fixture_path("plain"), 64, 64, 4);
    vl_llama_runtime *r = runtime.get();
    const uint32_t n_vocab = static_cast<uint32_t>(vocab_size(r));
    const uint32_t ok_tokens[] = {300, 301, 302, 303}, big[] = {300, 2147483648u, 5, 6};
    const uint32_t out_of_vocab[] = {300, n_vocab, 5, 6};
    const size_t offsets[] = {0, 2, 4}, down[] = {0, 3, 2}, from_one[] = {1, 2, 4};
    const size_t two_each[] = {2, 2}, too_many[] = {0, 3};
    // After a prefix of 2, a sequence as long as the window needs one cell more.
    const std::vector<uint32_t> too_long = sample_prompt(r->n_ctx, 300);
    const size_t long_offsets[] = {0, too_long.size()};
    std::vector<float> out_buffer(too_long.size());
    std::vector<uint8_t> greedy_buffer(too_long.size());
    float *out = out_buffer.data();
    uint8_t *greedy = greedy_buffer.data();
    struct request {
        const char *message;
        vl_llama_runtime *rt;
        const uint32_t *tokens;
        const size_t *offsets;
        const size_t *counts;
        size_t n;
        float *out;
    };
    const request cases[] = {
        {"invalid token scoring arguments", nullptr, ok_tokens, offsets, nullptr, 2, out},
        {"invalid token scoring arguments", r, ok_tokens, offsets, nullptr, 0, out},
        {"invalid token scoring arguments", r, ok_tokens, nullptr, nullptr, 2, out},
        {"invalid token scoring arguments", r, nullptr, offsets, nullptr, 2, out},
        {"invalid token scoring arguments", r, ok_tokens, offsets, nullptr, 2, nullptr},
        {"token scoring offsets are invalid", r, ok_tokens, down, nullptr, 2, out},
        {"token scoring offsets are invalid", r, ok_tokens, from_one, nullptr, 2, out},
        {"context count exceeds its sequence", r, ok_tokens, offsets, too_many, 2, out},
        {"token id exceeds llama.cpp range", r, big, offsets, two_each, 2, out},
        {"token exceeds vocabulary size", r, out_of_vocab, offsets, nullptr, 2, out},
        {"sequence does not fit the context window", r, too_long.data(), long_offsets, nullptr, 1, out},
    };
    ASSERT_EQ(prefill({1, 40}), "ok");
    const std::vector<float> kept = runtime->shared_logits;
    for (const request &c : cases) {
        SCOPED_TRACE(c.message);
        std::fill(out_buffer.begin(), out_buffer.end(), 9.0f);
        std::fill(greedy_buffer.begin(), greedy_buffer.end(), uint8_t{9});
        reset_counts();
        char err[128] = "";
        EXPECT_EQ(vl_llama_score_tokens(c.rt, c.tokens, c.offsets, c.counts, c.n, c.out, greedy, err, sizeof err),
                  -1);
        EXPECT_STREQ(err, c.message);
        EXPECT_EQ(counts().llama_decode + counts().llama_memory_seq_cp + counts().llama_memory_clear +
                      counts().llama_memory_seq_rm,
                  0);
        EXPECT_EQ(out[0], 9.0f);
        EXPECT_EQ(greedy[0], 9);
        EXPECT_TRUE(runtime->has_shared_prefix);
        EXPECT_EQ(runtime->shared_logits, kept);
        EXPECT_EQ(seq_range(r, 0), (std::pair<llama_pos, llama_pos>(0, 1)));
    }
    // Counts of a whole sequence, and empty sequences, score nothing and
    // decode nothing; without a prefix the memory is cleared all the same.
    reset_counts();
    const token_scores none = score_tokens(r, {{300, 301}, {}, {302}}, {2, 0, 1});
    EXPECT_EQ(none.status, "ok");
    EXPECT_EQ(none.log_probs, std::vector<float>(3, 0.0f));
    EXPECT_EQ(counts().llama_decode, 0);
    EXPECT_TRUE(runtime->has_shared_prefix);
}

// A decode or a row that fails midway leaves the prefix retained and no
// scratch sequence behind, and the next call scores as if nothing happened.
TEST_F(ScoreTokens, FailuresMidwayLeaveTheRuntimeUsable) {
    open(fixture_path("plain"), 128, 8, 3);
    const std::vector<uint32_t> prefix{1, 40, 41};
    const std::vector<std::vector<uint32_t>> sequences{sample_prompt(12, 300), sample_prompt(5, 320),
                                                       sample_prompt(9, 330)};
    ASSERT_EQ(prefill(prefix), "ok");
    const token_scores good = score_tokens(runtime.get(), sequences);
    ASSERT_EQ(good.status, "ok");
    const std::vector<float> kept = runtime->shared_logits;
    for (int failing : {1, 2, 3}) {
        for (bool logits : {false, true}) {
            SCOPED_TRACE(testing::Message() << "call " << failing << (logits ? " row" : " decode"));
            fail_nth_call(failing, logits);
            const token_scores failed = score_tokens(runtime.get(), sequences);
            fakes() = fake_set{};
            EXPECT_EQ(failed.status, logits ? "llama_get_logits_ith returned null while scoring tokens"
                                            : "llama_decode failed while scoring tokens");
            // What was scored stays; a token not reached is negative infinity.
            EXPECT_TRUE(std::isinf(failed.log_probs.back()));
            EXPECT_EQ(failed.log_probs.front(), good.log_probs.front());
            EXPECT_TRUE(runtime->has_shared_prefix);
            EXPECT_EQ(runtime->shared_logits, kept);
            EXPECT_EQ(seq_range(runtime.get(), 0), (std::pair<llama_pos, llama_pos>(0, 2)));
            for (llama_seq_id s = 1; s < 3; ++s) EXPECT_EQ(seq_range(runtime.get(), s).first, -1);
            const token_scores again = score_tokens(runtime.get(), sequences);
            ASSERT_EQ(again.status, "ok");
            EXPECT_EQ(again.log_probs, good.log_probs);
        }
    }
}

}  // namespace
