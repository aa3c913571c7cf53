// The accuracy metrics: which answer each metric picks, and the mean and
// standard error of correctness over items.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vl_eval {

// acc: largest total log-probability; acc_norm: largest log-probability per
// character (Unicode code point) of the answer's text as the task gives it,
// without the space or other text that joins it to the context, as the
// common harness defines it; acc_per_token: largest mean log-probability per
// continuation token.
enum metric : std::size_t { acc = 0, acc_norm = 1, acc_per_token = 2 };
constexpr std::size_t metric_count = 3;
extern const char *const metric_names[metric_count];

struct answer_score {
    double logprob = 0.0;
    std::uint64_t tokens = 0;
    std::uint64_t chars = 0;  // code points of the answer text
};

// The index each metric picks; ties go to the first answer.
std::array<int, metric_count> pick_answers(const std::vector<answer_score> &answers);

// Running mean of 0/1 outcomes with the standard error of the mean (sample
// standard deviation over the square root of n).
class accuracy {
public:
    void add(bool correct) {
        ++n_;
        if (correct) ++k_;
    }
    std::uint64_t count() const { return n_; }
    double mean() const;
    // NaN below two items.
    double stderr_of_mean() const;

private:
    std::uint64_t n_ = 0;
    std::uint64_t k_ = 0;
};

}  // namespace vl_eval
