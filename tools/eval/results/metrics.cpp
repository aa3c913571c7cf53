#include "results/metrics.h"

#include <cmath>
#include <limits>

namespace vl_eval {

const char *const metric_names[metric_count] = {"acc", "acc_norm", "acc_per_token"};

std::array<int, metric_count> pick_answers(const std::vector<answer_score> &answers) {
    std::array<int, metric_count> picks = {0, 0, 0};
    std::array<double, metric_count> best;
    best.fill(-std::numeric_limits<double>::infinity());
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const answer_score &a = answers[i];
        const std::array<double, metric_count> value = {
            a.logprob,
            a.chars > 0 ? a.logprob / static_cast<double>(a.chars) : a.logprob,
            a.tokens > 0 ? a.logprob / static_cast<double>(a.tokens) : a.logprob};
        for (std::size_t m = 0; m < metric_count; ++m)
            if (i == 0 || value[m] > best[m]) {
                best[m] = value[m];
                picks[m] = static_cast<int>(i);
            }
    }
    return picks;
}

double accuracy::mean() const {
    return n_ == 0 ? std::numeric_limits<double>::quiet_NaN()
                   : static_cast<double>(k_) / static_cast<double>(n_);
}

double accuracy::stderr_of_mean() const {
    if (n_ < 2) return std::numeric_limits<double>::quiet_NaN();
    const double n = static_cast<double>(n_);
    const double p = mean();
    // Sample variance of 0/1 values: n p (1 - p) / (n - 1).
    const double variance = n * p * (1.0 - p) / (n - 1.0);
    return std::sqrt(variance / n);
}

}  // namespace vl_eval
