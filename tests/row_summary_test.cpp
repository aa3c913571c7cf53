// The sequence batch scorer's vectorised row normaliser against the walk's
// (glibc's double exp, one entry at a time) over rows of every length up to
// Qwen2's vocabulary, and its greedy token and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "sequences/row_summary.h"
#include "sequences/trie_walk.h"

namespace {

// Deterministic logits in [-spread, spread] around centre.
std::vector<float> row_of(std::size_t n, float centre, float spread, std::uint32_t seed) {
    std::vector<float> row(n);
    std::uint32_t state = seed * 2654435761u + 1u;
    for (float &x : row) {
        state = state * 1664525u + 1013904223u;
        x = centre + spread * (static_cast<float>(state >> 8) / 8388608.0f - 1.0f);
    }
    return row;
}

// One step of single precision at x: the closest two results can be once
// each is rounded to a float.
float step_at(float x) { return std::nextafter(std::fabs(x), std::numeric_limits<float>::infinity()) - std::fabs(x); }

struct summary {
    std::string outcome;
    float normaliser = 0.0f;
    std::size_t argmax = 0;
};

summary summarise(const std::vector<float> &row) {
    summary s;
    s.argmax = 12345;
    const vl::outcome failure = vl::vocab_row_summary(row.data(), row.size(), s.normaliser, s.argmax);
    s.outcome = failure ? failure : "ok";
    return s;
}

// Lengths around every vector width, and whole vocabularies.
const std::size_t lengths[] = {1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 33, 1000, 32000, 151936};

TEST(RowSummary, AgreesWithTheWalksNormaliserOnEveryLengthAndScale) {
    struct shape {
        float centre, spread;
    };
    // Ordinary logits, a row far above and far below zero (the normaliser
    // then lies far from 0, where one step of a float exceeds 1e-6), and a
    // spread wide enough that most entries underflow.
    const shape shapes[] = {{0.0f, 8.0f}, {12.0f, 20.0f}, {-3.0f, 0.5f}, {900.0f, 30.0f}, {-700.0f, 10.0f}, {0.0f, 300.0f}};
    std::uint32_t seed = 1;
    for (std::size_t n : lengths)
        for (const shape &sh : shapes) {
            const std::vector<float> row = row_of(n, sh.centre, sh.spread, seed++);
            float walked = 0.0f;
            ASSERT_EQ(vl::vocab_logsumexp(row.data(), row.size(), walked), vl::ok);
            const summary s = summarise(row);
            ASSERT_EQ(s.outcome, "ok");
            EXPECT_LE(std::fabs(s.normaliser - walked), std::max(1e-6f, step_at(walked)))
                << "n " << n << ", centre " << sh.centre << ", spread " << sh.spread << ": " << s.normaliser
                << " against " << walked;
        }
}

// Entries half-way between powers of e^ln2 put every reduced argument at
// the end of the interval its polynomial covers, where it is least exact;
// random rows average its error out.
TEST(RowSummary, AgreesWithTheWalksNormaliserWhereItsExponentialIsLeastExact) {
    for (std::size_t n : lengths)
        for (float sign : {1.0f, -1.0f}) {
            std::vector<float> row(n);
            for (std::size_t i = 0; i < n; ++i)
                row[i] = i == 0 ? 0.0f : -(static_cast<float>(i % 40) + 0.5f + sign * 0.0001f) * 0.6931472f;
            float walked = 0.0f;
            ASSERT_EQ(vl::vocab_logsumexp(row.data(), row.size(), walked), vl::ok);
            const summary s = summarise(row);
            ASSERT_EQ(s.outcome, "ok");
            EXPECT_LE(std::fabs(s.normaliser - walked), std::max(1e-6f, step_at(walked))) << "n " << n;
        }
}

TEST(RowSummary, EqualEntriesGiveTheirValuePlusTheLogOfTheirCount) {
    for (std::size_t n : lengths) {
        const summary s = summarise(std::vector<float>(n, 2.5f));
        ASSERT_EQ(s.outcome, "ok");
        const double exact = 2.5 + std::log(static_cast<double>(n));
        EXPECT_LE(std::fabs(s.normaliser - exact), std::max(1e-6, static_cast<double>(step_at(s.normaliser))))
            << n;
        EXPECT_EQ(s.argmax, 0u) << n;
    }
}

// The greedy token is the largest entry, the lowest index among equal
// maxima, wherever it lies: in a vector's first lane, its last, or the tail.
TEST(RowSummary, PicksTheFirstLargestEntry) {
    for (std::size_t n : lengths) {
        for (std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
            std::vector<float> row = row_of(n, 0.0f, 4.0f, static_cast<std::uint32_t>(n + at));
            row[at] = 9.0f;
            if (at + 3 < n) row[at + 3] = 9.0f;  // a later equal maximum is not picked
            const summary s = summarise(row);
            ASSERT_EQ(s.outcome, "ok");
            EXPECT_EQ(s.argmax, at) << "n " << n;
        }
    }
    // Finite logits so far apart that their difference is -infinity: the
    // smaller adds nothing.
    const summary far = summarise({-3e38f, 3e38f});
    EXPECT_EQ(far.outcome, "ok");
    EXPECT_EQ(far.normaliser, 3e38f);
    EXPECT_EQ(far.argmax, 1u);
}

TEST(RowSummary, RefusesEmptyRowsAndNonFiniteEntriesAnywhere) {
    float normaliser = 7.0f;
    std::size_t argmax = 7;
    EXPECT_EQ(std::string(vl::vocab_row_summary(nullptr, 5, normaliser, argmax)), "empty vocabulary logits");
    const float one = 1.0f;
    EXPECT_EQ(std::string(vl::vocab_row_summary(&one, 0, normaliser, argmax)), "empty vocabulary logits");
    EXPECT_EQ(normaliser, 7.0f);
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    for (std::size_t n : {std::size_t{1}, std::size_t{9}, std::size_t{151936}})
        for (std::size_t at : {std::size_t{0}, n / 2, n - 1})
            for (float value : bad) {
                std::vector<float> row = row_of(n, 0.0f, 4.0f, 3);
                row[at] = value;
                EXPECT_EQ(summarise(row).outcome, "non-finite vocabulary logit") << "n " << n << " at " << at;
            }
}

}  // namespace
