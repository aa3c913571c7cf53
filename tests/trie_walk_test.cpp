// The trie walk against llama.cpp fakes: logits rows chosen by the test, one
// per decoded token, so that arithmetic, call order and limits are exact.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "sequences/row_summary.h"
#include "sequences/sequence_trie.h"
#include "sequences/trie_walk.h"
#include "support/codebook.h"
#include "support/test_support.h"

using namespace vl_test;

namespace {

int32_t n_vocab = 16;
std::vector<float> root;                 // logits after the context
std::vector<std::vector<float>> after;   // logits after decoding token t
llama_token last_decoded = -1;

std::vector<float> varied_row(int seed) {
    std::vector<float> row(n_vocab);
    for (int32_t i = 0; i < n_vocab; ++i) row[i] = 4.0f * std::sin(0.7f * seed + 1.3f * i) + 0.1f * i;
    return row;
}

// log P of candidate tokens computed from the same rows in double precision.
double reference_score(const std::vector<uint32_t> &candidate) {
    double total = 0.0;
    const std::vector<float> *row = &root;
    for (uint32_t token : candidate) {
        double sum = 0.0;
        for (float x : *row) sum += std::exp(static_cast<double>(x));
        total += (*row)[token] - std::log(sum);
        row = &after[token];
    }
    return total;
}

class TrieWalk : public ::testing::Test {
protected:
    void SetUp() override {
        n_vocab = 16;
        root = varied_row(100);
        after.clear();
        for (int t = 0; t < n_vocab; ++t) after.push_back(varied_row(t));
        last_decoded = -1;
        runtime.ctx = reinterpret_cast<llama_context *>(&runtime);  // never dereferenced
        runtime.vocab = reinterpret_cast<const llama_vocab *>(&runtime);
        fakes().llama_vocab_n_tokens = [](const llama_vocab *) { return n_vocab; };
        fakes().llama_decode = [](llama_context *, llama_batch b) {
            last_decoded = b.token[0];
            return 0;
        };
        fakes().llama_get_logits_ith = [](llama_context *, int32_t) { return after[last_decoded].data(); };
        fakes().llama_memory_seq_rm = [](llama_memory_t, llama_seq_id, llama_pos, llama_pos) { return true; };
        start_trace();
    }

    // Builds the trie and walks it in sequence 3 from base_pos; the message or "ok".
    std::string walk(const codebook &book, size_t base_pos = 10) {
        scores.assign(book.size(), 123.0f);
        vl::outcome failure =
            vl::build_sequence_trie(&runtime, book.tokens.data(), book.offsets.data(), book.size(), nodes);
        if (failure == vl::ok) {
            const vl::trie_walk w{runtime, reinterpret_cast<llama_memory_t>(&runtime), 3, base_pos,
                                  n_vocab, nodes, scores.data()};
            failure = vl::walk_sequence_trie(w, root.data(), book.size());
        }
        return failure == vl::ok ? "ok" : failure;
    }

    // "decode T@P" and "rm P" entries of the trace, in order.
    std::vector<std::string> sequence_work() const {
        std::vector<std::string> out;
        for (const traced_call &c : trace()) {
            if (c.name == "llama_decode") {
                EXPECT_EQ(c.tokens.size(), 1u);
                EXPECT_EQ(c.seqs, std::vector<llama_seq_id>{3});
                EXPECT_EQ(c.logits, std::vector<int8_t>{1});
                out.push_back("decode " + std::to_string(c.tokens[0]) + "@" + std::to_string(c.positions[0]));
            } else if (c.name == "llama_memory_seq_rm") {
                EXPECT_EQ(c.seq, 3);
                EXPECT_EQ(c.p1, -1);
                out.push_back("rm " + std::to_string(c.p0));
            }
        }
        return out;
    }

    vl_llama_runtime runtime;
    std::vector<vl::trie_node> nodes;
    std::vector<float> scores;
};

TEST_F(TrieWalk, DecodesEachSharedPrefixOnceInTokenOrder) {
    const codebook book{{5, 2, 9}, {5, 2, 1}, {5, 3}, {7}};
    ASSERT_EQ(walk(book), "ok");
    EXPECT_EQ(sequence_work(), (std::vector<std::string>{"decode 5@10", "decode 2@11", "rm 11", "rm 10"}));
    EXPECT_EQ(counts().llama_batch_init, 2);
    EXPECT_EQ(counts().llama_batch_free, 2);
    for (size_t i = 0; i < book.size(); ++i)
        EXPECT_NEAR(scores[i], reference_score(book.candidate(i)), 2e-5) << "candidate " << i;

    start_trace();
    ASSERT_EQ(walk({{7, 1}, {3, 1}}), "ok");
    EXPECT_EQ(sequence_work(), (std::vector<std::string>{"decode 3@10", "rm 10", "decode 7@10", "rm 10"}));

    reset_counts();
    ASSERT_EQ(walk({{4}, {0}, {15}}), "ok");
    EXPECT_EQ(counts().llama_decode, 0);
    EXPECT_EQ(counts().llama_memory_seq_rm, 0);
}

TEST_F(TrieWalk, EqualLogitsGiveMinusLogOfTheVocabularySize) {
    root.assign(n_vocab, 0.0f);
    ASSERT_EQ(walk({{0}, {9}, {15}}), "ok");
    for (float s : scores) EXPECT_EQ(s, -static_cast<float>(std::log(16.0)));
    root.assign(n_vocab, 3.25f);
    ASSERT_EQ(walk({{0}, {9}}), "ok");
    for (float s : scores) EXPECT_FLOAT_EQ(s, -static_cast<float>(std::log(16.0)));
    n_vocab = 2;
    root = {-7.5f, -7.5f};
    ASSERT_EQ(walk({{0}, {1}}), "ok");
    EXPECT_EQ(scores, (std::vector<float>{-0.6931472f, -0.6931472f}));
}

// The normaliser is shifted by the row's maximum: rows far below zero
// (where exp underflows to 0 in double precision) and far above 710 (where
// it overflows) give the log-probabilities of the same row near zero.
TEST_F(TrieWalk, ExtremeLogitRowsGiveTheSameLogProbabilities) {
    const std::vector<float> moderate = varied_row(100);
    const codebook book{{0}, {9}, {15}};
    root = moderate;
    ASSERT_EQ(walk(book), "ok");
    const std::vector<float> expected = scores;
    for (float offset : {-1000.0f, -5000.0f, 720.0f, 3000.0f}) {
        SCOPED_TRACE(testing::Message() << "logits shifted by " << offset);
        root = moderate;
        for (float &x : root) x += offset;
        double maximum = -std::numeric_limits<double>::infinity(), sum = 0.0;
        for (float x : root) maximum = std::max(maximum, static_cast<double>(x));
        for (float x : root) sum += std::exp(static_cast<double>(x) - maximum);
        float normaliser = 0.0f;
        ASSERT_EQ(vl::vocab_logsumexp(root.data(), root.size(), normaliser), vl::ok);
        ASSERT_TRUE(std::isfinite(normaliser));
        EXPECT_NEAR(normaliser, maximum + std::log(sum), 4e-4);
        ASSERT_EQ(walk(book), "ok");
        for (std::size_t i = 0; i < book.size(); ++i) EXPECT_NEAR(scores[i], expected[i], 4e-4) << "candidate " << i;
    }
}

TEST_F(TrieWalk, StopsAtTheContextWindowAndThePositionRange) {
    runtime.n_ctx = 8;
    EXPECT_EQ(walk({{1, 2, 3}, {4}}, 6), "ok");
    EXPECT_EQ(sequence_work(), (std::vector<std::string>{"decode 1@6", "decode 2@7", "rm 7", "rm 6"}));
    start_trace();
    EXPECT_EQ(walk({{1, 2, 3, 4}, {4}}, 6), "candidate sequence exceeds llama.cpp context window");
    EXPECT_EQ(sequence_work(), (std::vector<std::string>{"decode 1@6", "decode 2@7"}));
    runtime.n_ctx = 0;
    EXPECT_EQ(walk({{1, 2, 3, 4}, {4}}, 6), "ok");
    start_trace();
    EXPECT_EQ(walk({{1, 2, 3}, {0}}, 2147483647), "candidate sequence exceeds llama.cpp position range");
    EXPECT_EQ(sequence_work(), (std::vector<std::string>{"decode 1@2147483647"}));
    // The failed walk leaves the scores written so far, negative infinity elsewhere.
    EXPECT_EQ(scores[0], -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isfinite(scores[1]));
}

// The greedy token of a row is its largest entry, the lowest index among
// equal maxima, and the normaliser the walk's, to the batch's precision.
TEST_F(TrieWalk, RowSummaryPicksTheFirstLargestEntry) {
    const std::vector<float> row{1.0f, 3.0f, -2.0f, 3.0f, 2.5f};
    float normaliser = 0.0f, walked = 0.0f;
    std::size_t argmax = 99;
    ASSERT_EQ(vl::vocab_row_summary(row.data(), row.size(), normaliser, argmax), vl::ok);
    EXPECT_EQ(argmax, 1u);
    ASSERT_EQ(vl::vocab_logsumexp(row.data(), row.size(), walked), vl::ok);
    EXPECT_NEAR(normaliser, walked, 1e-6f);
}

TEST_F(TrieWalk, RefusesNonFiniteLogitsAndScores) {
    float normaliser = 0.0f;
    EXPECT_EQ(vl::vocab_logsumexp(root.data(), 0, normaliser), std::string("empty vocabulary logits"));
    root[7] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(walk({{1, 2}, {3}}), "non-finite vocabulary logit");
    EXPECT_EQ(counts().llama_decode, 0);
    root[7] = -std::numeric_limits<float>::infinity();
    EXPECT_EQ(walk({{1, 2}, {3}}), "non-finite vocabulary logit");
    root = varied_row(100);
    after[1][0] = std::numeric_limits<float>::infinity();  // below the first decode
    EXPECT_EQ(walk({{1, 2}, {3}}), "non-finite vocabulary logit");
    EXPECT_EQ(counts().llama_decode, 1);
    EXPECT_EQ(counts().llama_memory_seq_rm, 0);
    // Finite logits so far apart that a score overflows to negative infinity.
    n_vocab = 2;
    root = {3e38f, -3e38f};
    EXPECT_EQ(walk({{0}, {1}}), "candidate sequence did not receive a finite score");
    EXPECT_EQ(scores[0], 0.0f);
}

TEST_F(TrieWalk, ReportsLlamaFailuresWithoutBacktracking) {
    fakes().llama_decode = [](llama_context *, llama_batch) { return -1; };
    EXPECT_EQ(walk({{1, 2}, {3}}), "llama_decode failed while traversing candidate sequence trie");
    EXPECT_EQ(scores[1], -std::numeric_limits<float>::infinity());
    EXPECT_EQ(counts().llama_batch_free, 1);
    fakes().llama_decode = [](llama_context *, llama_batch b) {
        last_decoded = b.token[0];
        return 0;
    };
    fakes().llama_get_logits_ith = [](llama_context *, int32_t) -> float * { return nullptr; };
    EXPECT_EQ(walk({{1, 2}, {3}}), "llama_get_logits_ith returned null during candidate sequence scoring");
    EXPECT_EQ(counts().llama_memory_seq_rm, 0);
    EXPECT_EQ(counts().llama_batch_init, counts().llama_batch_free);
}

// A candidate as long as a large context window walks on without exhausting
// the thread's stack.
TEST_F(TrieWalk, WalksCandidatesLongerThanAStackCouldRecurse) {
    n_vocab = 4;
    root = {0.5f, 1.0f, 1.5f, 2.0f};
    after.assign(n_vocab, root);
    codebook book{{0}};
    book.add(std::vector<uint32_t>(100000, 3));
    ASSERT_EQ(walk(book), "ok");
    EXPECT_EQ(counts().llama_decode, 99999);
    EXPECT_EQ(counts().llama_memory_seq_rm, 99999);
    // A single-precision running sum over 100000 terms: a relative tolerance.
    const double expected = 100000 * reference_score({3});
    EXPECT_NEAR(scores[1], expected, 5e-3 * std::fabs(expected));
}

}  // namespace
