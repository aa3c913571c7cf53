// Every token of a text on every real family: vl_llama_score_tokens and the
// rows of vl_llama_extend_shared against llama.cpp's own rows and a
// double-precision log-softmax over the whole vocabulary (128k, 152k
// entries).
#include <algorithm>
#include <cmath>
#include <string>

#include "support/family_support.h"
#include "support/test_support.h"

using namespace vl_test;

namespace {

// As the family scoring tests measured: single-precision scores a few
// roundings from the double-precision reference.
constexpr double log_prob_tolerance = 1e-5;

class FamilyTokens : public ::testing::TestWithParam<family> {};

TEST_P(FamilyTokens, EveryTokenAndEveryRowAreTheWholeRowsLogSoftmax) {
    vl_llama_runtime *runtime = cached_runtime(GetParam().fixture("q8_0"));
    ASSERT_NE(runtime, nullptr);
    const std::string text = "The capital of France is Paris, a city";
    std::vector<uint32_t> ids(64);
    const int64_t n = vl_llama_tokenize(runtime, text.data(), text.size(), 1, 0, ids.data(), ids.size(), nullptr, 0);
    ASSERT_GE(n, 6);
    ids.resize(static_cast<size_t>(n));
    // The distribution after each prefix of the text, from llama.cpp.
    std::vector<std::vector<float>> rows;
    for (size_t k = 1; k < ids.size(); ++k) rows.push_back(reference_row(runtime, {ids.begin(), ids.begin() + static_cast<long>(k)}));

    // From scratch: the first token is context, every other one scored, its
    // flag set where the row's argmax is the token.
    float ignored[2];
    char err[128] = "";
    ASSERT_EQ(vl_llama_score_next(runtime, ids.data(), 1, ids.data(), 2, ignored, err, sizeof err), 0) << err;
    const size_t offsets[] = {0, ids.size()};
    std::vector<float> scores(ids.size());
    std::vector<uint8_t> greedy(ids.size());
    ASSERT_EQ(vl_llama_score_tokens(runtime, ids.data(), offsets, nullptr, 1, scores.data(), greedy.data(), err,
                                    sizeof err),
              0)
        << err;
    EXPECT_EQ(scores[0], 0.0f);
    for (size_t k = 1; k < ids.size(); ++k) {
        const std::vector<float> &row = rows[k - 1];
        EXPECT_NEAR(scores[k], reference_log_prob(row, ids[k]), log_prob_tolerance) << k;
        const uint32_t argmax = static_cast<uint32_t>(std::max_element(row.begin(), row.end()) - row.begin());
        EXPECT_EQ(greedy[k], argmax == ids[k] ? 1 : 0) << k;
    }

    // Walked in two pieces, the last two rows whole.
    const size_t half = ids.size() / 2, n_vocab = static_cast<size_t>(vocab_size(runtime));
    std::vector<float> out(2 * n_vocab);
    ASSERT_EQ(vl_llama_extend_shared(runtime, ids.data(), half, 1, half, nullptr, 0, err, sizeof err), 0) << err;
    ASSERT_EQ(vl_llama_extend_shared(runtime, ids.data() + half, ids.size() - 1 - half, 0, ids.size() - 3 - half,
                                     out.data(), out.size(), err, sizeof err),
              0)
        << err;
    for (size_t r = 0; r < 2; ++r) {
        const std::vector<float> &row = rows[ids.size() - 3 + r];
        for (size_t v = 0; v < n_vocab; v += 997)
            EXPECT_NEAR(out[r * n_vocab + v], reference_log_prob(row, static_cast<uint32_t>(v)), log_prob_tolerance)
                << "row " << r << " entry " << v;
    }
}

INSTANTIATE_TEST_SUITE_P(Vocabularies, FamilyTokens, ::testing::ValuesIn(families()), family_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FamilyTokens);

}  // namespace
