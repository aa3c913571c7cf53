// Every scoring export on every real family, against llama.cpp's own logits:
// the raw-logit exports give its rows' entries, and the log-probability
// exports a log-softmax over the whole row (128k, 152k entries) computed here
// in double precision. Few rows are scored: each is the whole vocabulary.
#include <algorithm>
#include <cmath>
#include <string>

#include "support/batch_support.h"
#include "support/codebook.h"
#include "support/family_support.h"
#include "support/test_support.h"

using namespace vl_test;

namespace {

// The library's rows are llama.cpp's to the bit, after a retained prefix
// too (a few dozen tokens of a tiny model, decoded in one piece each). Its
// scores are single precision, a few roundings at magnitudes up to 32
// (ulp 3.8e-6) from the double-precision reference (seen: 1.1e-6).
constexpr double log_prob_tolerance = 1e-5;

class FamilyScoring : public ::testing::TestWithParam<family> {
protected:
    void SetUp() override {
        runtime = cached_runtime(GetParam().fixture("q8_0"));
        ASSERT_NE(runtime, nullptr);
        n_vocab = static_cast<uint32_t>(vocab_size(runtime));
        context = tokens("The capital of France is", true);
        other = tokens("Paris is the capital of", true);
        ASSERT_GE(context.size(), 3u);
        // Answer tokens of ordinary text, and the vocabulary's last id.
        for (uint32_t id : tokens(" Paris, the capital city", false))
            if (std::find(answer.begin(), answer.end(), id) == answer.end()) answer.push_back(id);
        ASSERT_GE(answer.size(), 3u);
        answer.push_back(n_vocab - 1);
    }
    std::vector<uint32_t> tokens(const std::string &text, bool add_special) {
        std::vector<uint32_t> ids(64);
        const int64_t n = vl_llama_tokenize(runtime, text.data(), text.size(), add_special, 0, ids.data(),
                                            ids.size(), nullptr, 0);
        EXPECT_GT(n, 0);
        ids.resize(static_cast<size_t>(std::max<int64_t>(n, 0)));
        return ids;
    }
    std::vector<float> row(std::vector<uint32_t> ids, const std::vector<uint32_t> &more = {}) {
        ids.insert(ids.end(), more.begin(), more.end());
        return reference_row(runtime, {ids.begin(), ids.end()});
    }
    // log P(candidate | ids) from llama.cpp's rows, in double precision.
    double expected_score(const std::vector<uint32_t> &ids, const std::vector<uint32_t> &candidate) {
        double total = 0.0;
        for (size_t j = 0; j < candidate.size(); ++j)
            total += reference_log_prob(row(ids, {candidate.begin(), candidate.begin() + static_cast<long>(j)}),
                                        candidate[j]);
        return total;
    }
    std::string prefill(const std::vector<uint32_t> &prefix) {
        char err[128] = "";
        return vl_llama_prefill_shared(runtime, prefix.data(), prefix.size(), err, sizeof err) == 0 ? "ok"
                                                                                                         : err;
    }

    vl_llama_runtime *runtime = nullptr;
    uint32_t n_vocab = 0;
    std::vector<uint32_t> context, other, answer;
    char err[128] = "";
};

TEST_P(FamilyScoring, RawLogitsAreLlamaCppsRows) {
    const std::vector<uint32_t> candidates = {answer[0], answer[1], answer.back()};
    const std::vector<float> want = pick(row(context), candidates.data(), candidates.size());
    const std::vector<float> want_other = pick(row(other), candidates.data(), candidates.size());
    std::vector<float> out(candidates.size());

    ASSERT_EQ(vl_llama_score_next(runtime, context.data(), context.size(), candidates.data(),
                                  candidates.size(), out.data(), err, sizeof err),
              0)
        << err;
    EXPECT_EQ(out, want);

    const flat_array<uint32_t> prompts = flatten<uint32_t>({context, other});
    const flat_array<uint32_t> both = flatten<uint32_t>({candidates, candidates});
    std::vector<float> roots(both.items.size());
    ASSERT_EQ(vl_llama_score_root_batch(runtime, prompts.items.data(), prompts.offsets.data(),
                                        both.items.data(), both.offsets.data(), 2, roots.data(), err, sizeof err),
              0)
        << err;
    EXPECT_EQ(std::vector<float>(roots.begin(), roots.begin() + 3), want);
    EXPECT_EQ(std::vector<float>(roots.begin() + 3, roots.end()), want_other);

    // After a retained prefix: one suffix, then two in one decode.
    const std::vector<uint32_t> prefix(context.begin(), context.begin() + 2);
    const std::vector<uint32_t> suffix(context.begin() + 2, context.end());
    ASSERT_EQ(prefill(prefix), "ok");
    ASSERT_EQ(vl_llama_score_suffix(runtime, suffix.data(), suffix.size(), candidates.data(),
                                    candidates.size(), out.data(), err, sizeof err),
              0)
        << err;
    EXPECT_EQ(out, want);
    const std::vector<uint32_t> suffix_other = {answer[2]};
    const std::vector<float> want_prefix_other = pick(row(prefix, suffix_other), candidates.data(), candidates.size());
    const flat_array<uint32_t> suffixes = flatten<uint32_t>({suffix, suffix_other});
    ASSERT_EQ(vl_llama_score_suffix_batch(runtime, suffixes.items.data(), suffixes.offsets.data(),
                                          both.items.data(), both.offsets.data(), 2, roots.data(), err, sizeof err),
              0)
        << err;
    EXPECT_EQ(std::vector<float>(roots.begin(), roots.begin() + 3), want);
    EXPECT_EQ(std::vector<float>(roots.begin() + 3, roots.end()), want_prefix_other);
}

TEST_P(FamilyScoring, LogProbabilitiesAreTheWholeRowsLogSoftmax) {
    // Two answers sharing their first token, one of a single token (the
    // vocabulary's last id): two rows of the whole vocabulary per context.
    const codebook book{{answer[0], answer[1]}, {answer[0], answer[2]}, {answer.back()}};
    std::vector<double> want;
    for (size_t i = 0; i < book.size(); ++i) want.push_back(expected_score(context, book.candidate(i)));
    std::vector<float> scores(book.size());

    ASSERT_EQ(vl_llama_score_sequences(runtime, context.data(), context.size(), book.tokens.data(),
                                       book.offsets.data(), book.size(), scores.data(), err, sizeof err),
              0)
        << err;
    for (size_t i = 0; i < book.size(); ++i) EXPECT_NEAR(scores[i], want[i], log_prob_tolerance) << i;

    const std::vector<uint32_t> prefix(context.begin(), context.begin() + 2);
    const std::vector<uint32_t> suffix(context.begin() + 2, context.end());
    ASSERT_EQ(prefill(prefix), "ok");
    ASSERT_EQ(vl_llama_score_suffix_sequences(runtime, suffix.data(), suffix.size(), book.tokens.data(),
                                              book.offsets.data(), book.size(), scores.data(), err, sizeof err),
              0)
        << err;
    for (size_t i = 0; i < book.size(); ++i) EXPECT_NEAR(scores[i], want[i], log_prob_tolerance) << i;

    // The batched scorer after the prefix: the same context's answers, equal
    // and nested ones among them, and an empty context scored from the
    // prefix's own row, with the greedy flags of the rows' maxima.
    const codebook batch{{answer[0], answer[1]}, {answer[0], answer[1]}, {answer[0]}, {answer.back()}};
    const std::vector<size_t> task_offsets = {0, 3, 4};
    const std::vector<size_t> context_offsets = {0, suffix.size(), suffix.size()};
    std::vector<uint8_t> greedy(batch.size(), 7);
    std::vector<float> batch_scores(batch.size());
    ASSERT_EQ(vl_llama_score_sequence_batch(runtime, suffix.data(), context_offsets.data(),
                                            batch.tokens.data(), batch.offsets.data(), task_offsets.data(), 2,
                                            batch_scores.data(), greedy.data(), err, sizeof err),
              0)
        << err;
    EXPECT_NEAR(batch_scores[0], want[0], log_prob_tolerance);
    EXPECT_EQ(batch_scores[1], batch_scores[0]);
    EXPECT_NEAR(batch_scores[2], reference_log_prob(row(context), answer[0]), log_prob_tolerance);
    EXPECT_NEAR(batch_scores[3], reference_log_prob(row(prefix), answer.back()), log_prob_tolerance);
    const std::vector<float> root = row(context);
    const uint32_t argmax = static_cast<uint32_t>(std::max_element(root.begin(), root.end()) - root.begin());
    EXPECT_EQ(greedy[2], answer[0] == argmax ? 1 : 0);

    // Without a prefix the contexts start the sequence; the model's own
    // most probable token is greedy.
    const codebook from_scratch{{argmax}, {answer[0], answer[2]}};
    const std::vector<size_t> one_task = {0, 2};
    const std::vector<size_t> whole_context = {0, context.size()};
    ASSERT_EQ(vl_llama_score_next(runtime, context.data(), 1, answer.data(), 2, batch_scores.data(), err,
                                  sizeof err),
              0);  // discards the retained prefix
    ASSERT_EQ(vl_llama_score_sequence_batch(runtime, context.data(), whole_context.data(),
                                            from_scratch.tokens.data(), from_scratch.offsets.data(), one_task.data(),
                                            1, batch_scores.data(), greedy.data(), err, sizeof err),
              0)
        << err;
    EXPECT_NEAR(batch_scores[0], reference_log_prob(root, argmax), log_prob_tolerance);
    EXPECT_NEAR(batch_scores[1], want[1], log_prob_tolerance);
    EXPECT_EQ(greedy[0], 1);
}

INSTANTIATE_TEST_SUITE_P(Vocabularies, FamilyScoring, ::testing::ValuesIn(families()), family_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FamilyScoring);

}  // namespace
