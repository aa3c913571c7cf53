// vl_llama_extend_shared: a text walked piece by piece, its log-softmax rows
// against direct llama.cpp decodes, the prefix it leaves for the suffix
// scorers, its checks, and what a failing decode leaves behind.
#include <algorithm>
#include <cmath>
#include <string>

#include "support/token_support.h"

using namespace vl_test;

namespace {

// Measured against a reference decoded in one batch: at most 2.1e-6 on the
// plain fixture and stories260K, 9.6e-7 with the text split into batches of
// 8 tokens.
constexpr double tolerance = 2e-5;

class ExtendShared : public ::testing::Test {
protected:
    void open(const std::string &path, int32_t n_ctx = 256, int32_t n_batch = 256) {
        runtime = open_runtime(path, test_config(n_ctx, n_batch, 4));
        ASSERT_NE(runtime, nullptr);
        n_vocab = static_cast<size_t>(vocab_size(runtime.get()));
    }
    // Extends by tokens (or restarts with them); rows (from rows_from on)
    // replace `rows`.
    std::string extend(const std::vector<uint32_t> &tokens, size_t rows_from, bool restart = false) {
        const size_t n_rows = rows_from < tokens.size() ? tokens.size() - rows_from : 0;
        rows.assign(n_rows * n_vocab, 9.0f);
        char err[128] = "";
        return vl_llama_extend_shared(runtime.get(), tokens.data(), tokens.size(), restart ? 1 : 0, rows_from,
                                      rows.empty() ? nullptr : rows.data(), rows.size(), err, sizeof err) == 0
                   ? "ok"
                   : err;
    }
    // The largest difference of rows (of text's positions first, first + 1,
    // ...) from the reference's.
    double compare_rows(const reference_rows &ref, size_t first) {
        double worst = 0;
        for (size_t r = 0; r * n_vocab < rows.size(); ++r)
            for (size_t v = 0; v < n_vocab; ++v)
                worst = std::max(worst, std::fabs(ref.log_probs.at(first + r).at(v) - rows[r * n_vocab + v]));
        return worst;
    }

    runtime_ptr runtime;
    size_t n_vocab = 0;
    std::vector<float> rows;
};

// Three pieces of a text from scratch: every row asked for equals the direct
// decode's, and the prefix they leave scores a suffix as one of that length.
TEST_F(ExtendShared, PiecesGiveTheRowsOfTheWholeText) {
    VL_REQUIRE_SHARED_MODEL(stories, "stories260K.gguf");
    for (const std::string &path : {fixture_path("plain"), stories}) {
        SCOPED_TRACE(path);
        open(path);
        const std::vector<uint32_t> text = concat({1}, sample_prompt(39, 300 % static_cast<uint32_t>(n_vocab)));
        const reference_rows ref = reference_distributions(runtime.get(), text);
        double worst = 0;
        ASSERT_EQ(extend({text.begin(), text.begin() + 10}, 5), "ok");
        worst = std::max(worst, compare_rows(ref, 5));
        EXPECT_EQ(runtime->shared_prefix_len, 10u);
        ASSERT_EQ(extend({text.begin() + 10, text.begin() + 25}, 0), "ok");
        worst = std::max(worst, compare_rows(ref, 10));
        // No rows wanted: nothing written, the prefix grows all the same.
        ASSERT_EQ(extend({text.begin() + 25, text.begin() + 30}, 99), "ok");
        ASSERT_EQ(extend({text.begin() + 30, text.end()}, 0), "ok");
        worst = std::max(worst, compare_rows(ref, 30));
        std::printf("largest difference from direct decodes: %g\n", worst);
        EXPECT_LE(worst, tolerance);

        EXPECT_TRUE(runtime->has_shared_prefix);
        EXPECT_EQ(runtime->shared_prefix_len, text.size());
        EXPECT_EQ(seq_range(runtime.get(), 0), (std::pair<llama_pos, llama_pos>(0, 39)));
        // The kept row is the one after the last token, and a suffix scorer
        // continues after it.
        const std::vector<float> kept = runtime->shared_logits;
        ASSERT_EQ(kept.size(), n_vocab);
        EXPECT_EQ(std::max_element(kept.begin(), kept.end()) - kept.begin(), ref.argmax.back());
        const std::vector<uint32_t> suffix{301, 302};
        const reference_rows longer = reference_distributions(runtime.get(), concat(text, suffix));
        const token_scores after = score_tokens(runtime.get(), {suffix});
        ASSERT_EQ(after.status, "ok");
        EXPECT_NEAR(after.log_probs[0], longer.log_probs[39][301], tolerance);
        EXPECT_NEAR(after.log_probs[1], longer.log_probs[40][302], tolerance);

        // A restart drops the text: the first piece again, as it was.
        const std::vector<float> first_rows = [&] {
            EXPECT_EQ(extend({text.begin(), text.begin() + 10}, 5, true), "ok");
            return rows;
        }();
        EXPECT_EQ(runtime->shared_prefix_len, 10u);
        EXPECT_EQ(seq_range(runtime.get(), 0), (std::pair<llama_pos, llama_pos>(0, 9)));
        EXPECT_LE(compare_rows(ref, 5), tolerance);
        EXPECT_EQ(extend({text.begin(), text.begin() + 10}, 5, true), "ok");
        EXPECT_EQ(rows, first_rows);
    }
}

// A piece longer than the batch is decoded in batches, with rows only where
// asked and after the last token.
TEST_F(ExtendShared, LongPiecesAreSplitAtTheBatch) {
    open(fixture_path("plain"), 256, 8);
    const std::vector<uint32_t> text = sample_prompt(21, 300);
    start_trace();
    ASSERT_EQ(extend(text, 17), "ok");
    std::vector<size_t> sizes;
    std::vector<int8_t> flags;
    for (const traced_call &c : trace())
        if (c.name == "llama_decode") {
            sizes.push_back(c.tokens.size());
            flags.insert(flags.end(), c.logits.begin(), c.logits.end());
            EXPECT_EQ(c.seqs, std::vector<llama_seq_id>(c.tokens.size(), 0));
        }
    EXPECT_EQ(sizes, (std::vector<size_t>{8, 8, 5}));
    std::vector<int8_t> expected(21, 0);
    std::fill(expected.begin() + 17, expected.end(), 1);
    EXPECT_EQ(flags, expected);
    const double worst = compare_rows(reference_distributions(runtime.get(), text), 17);
    std::printf("largest difference, batches of 8: %g\n", worst);
    EXPECT_LE(worst, tolerance);
    EXPECT_EQ(runtime->shared_prefix_len, 21u);

    // Rows from 0 and only the last: the flags of the last token alone.
    ASSERT_EQ(extend({5, 6, 7}, 3), "ok");
    EXPECT_EQ(runtime->shared_prefix_len, 24u);
}

// Every refusal comes before the memory changes: the retained prefix, its
// kept row and sequence 0 stay, nothing is decoded, no row is written.
TEST_F(ExtendShared, RefusesBadRequestsBeforeAnyChange) {
    open(fixture_path("plain"));
    vl_llama_runtime *r = runtime.get();
    const uint32_t n = static_cast<uint32_t>(n_vocab);
    const uint32_t good[] = {300, 301, 302}, big[] = {300, 2147483648u, 5}, beyond[] = {300, n, 5};
    const std::vector<uint32_t> too_long = sample_prompt(r->n_ctx - 1, 300);  // one more than the window holds
    std::vector<float> out(3 * n_vocab, 9.0f);
    struct request {
        const char *message;
        vl_llama_runtime *rt;
        const uint32_t *tokens;
        size_t count, rows_from;
        float *out;
        size_t cap;
        int32_t restart = 0;
    };
    const size_t cap = out.size();
    const request cases[] = {
        {"invalid prefix extension arguments", nullptr, good, 3, 0, out.data(), cap},
        {"invalid prefix extension arguments", r, nullptr, 3, 0, out.data(), cap},
        {"invalid prefix extension arguments", r, good, 0, 0, out.data(), cap},
        {"invalid prefix extension arguments", r, good, 3, 2, nullptr, cap},
        {"token id exceeds llama.cpp range", r, big, 3, 3, nullptr, 0},
        {"token exceeds vocabulary size", r, beyond, 3, 3, nullptr, 0},
        {"row output buffer is too small", r, good, 3, 0, out.data(), cap - 1},
        {"row output buffer is too small", r, good, 3, 1, out.data(), 2 * n_vocab - 1},
        {"tokens do not fit the context window", r, too_long.data(), too_long.size(), too_long.size(), nullptr, 0},
        // A restart refused keeps the prefix it would have dropped.
        {"token exceeds vocabulary size", r, beyond, 3, 3, nullptr, 0, 1},
        {"row output buffer is too small", r, good, 3, 0, out.data(), cap - 1, 1},
    };
    ASSERT_EQ(extend({1, 40}, 2), "ok");
    const std::vector<float> kept = r->shared_logits;
    for (const request &c : cases) {
        SCOPED_TRACE(c.message);
        reset_counts();
        char err[128] = "";
        EXPECT_EQ(vl_llama_extend_shared(c.rt, c.tokens, c.count, c.restart, c.rows_from, c.out, c.cap, err,
                                         sizeof err),
                  -1);
        EXPECT_STREQ(err, c.message);
        EXPECT_EQ(counts().llama_decode + counts().llama_memory_clear + counts().llama_memory_seq_rm, 0);
        EXPECT_EQ(out[0], 9.0f);
        EXPECT_TRUE(r->has_shared_prefix);
        EXPECT_EQ(r->shared_prefix_len, 2u);
        EXPECT_EQ(r->shared_logits, kept);
        EXPECT_EQ(seq_range(r, 0), (std::pair<llama_pos, llama_pos>(0, 1)));
    }
    // One token fewer fills the window exactly; a restart frees the
    // prefix's cells for all of them.
    EXPECT_EQ(extend({too_long.begin() + 1, too_long.end()}, too_long.size()), "ok");
    EXPECT_EQ(extend(too_long, too_long.size(), true), "ok");
    EXPECT_EQ(r->shared_prefix_len, too_long.size());
}

// A decode or a row that fails midway puts the retained prefix back as it
// was, or leaves none when there was none or the call restarted; the walk
// can go on.
TEST_F(ExtendShared, FailuresMidwayRestoreThePrefix) {
    open(fixture_path("plain"), 256, 8);
    const std::vector<uint32_t> head{1, 40, 41}, piece = sample_prompt(20, 300);
    ASSERT_EQ(extend(head, 3, true), "ok");
    const std::vector<float> kept = runtime->shared_logits;
    ASSERT_EQ(extend(piece, 10), "ok");
    const std::vector<float> good = rows;
    enum class start { after_prefix, restarting, from_scratch };
    for (start how : {start::after_prefix, start::restarting, start::from_scratch}) {
        for (int failing : {1, 2, 3}) {
            for (bool logits : {false, true}) {
                SCOPED_TRACE(testing::Message() << static_cast<int>(how) << ", call " << failing
                                                << (logits ? " row" : " decode"));
                if (how == start::from_scratch) {
                    float ignored[2];
                    const uint32_t ids[2] = {3, 4};  // score_next discards the prefix
                    ASSERT_EQ(vl_llama_score_next(runtime.get(), head.data(), 1, ids, 2, ignored, nullptr, 0), 0);
                } else {
                    ASSERT_EQ(extend(head, 3, true), "ok");
                }
                fail_nth_call(failing, logits);
                const std::string status = extend(piece, 10, how == start::restarting);
                fakes() = fake_set{};
                EXPECT_EQ(status, logits ? "llama_get_logits_ith returned null while extending shared prefix"
                                         : "llama_decode failed while extending shared prefix");
                if (how == start::after_prefix) {
                    EXPECT_TRUE(runtime->has_shared_prefix);
                    EXPECT_EQ(runtime->shared_prefix_len, 3u);
                    EXPECT_EQ(runtime->shared_logits, kept);
                    EXPECT_EQ(seq_range(runtime.get(), 0), (std::pair<llama_pos, llama_pos>(0, 2)));
                    ASSERT_EQ(extend(piece, 10), "ok");
                    EXPECT_EQ(rows, good);
                } else {
                    EXPECT_FALSE(runtime->has_shared_prefix);
                    EXPECT_EQ(seq_range(runtime.get(), 0).first, -1);
                }
            }
        }
    }
}

}  // namespace
