// How far a model's next-token distributions are from a reference's, with
// llama-perplexity --kl-divergence's formulas and output: per counted
// position the KL divergence from the reference to the model, the change in
// the probability of the token that follows (Δp), whether both rank the same
// token first, and both models' log-likelihoods of that token, for the two
// perplexities, their ratio, difference and correlation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kld/base_file.h"

namespace vl_eval {

// Sums over counted positions.
struct kld_sums {
    double nll = 0, nll2 = 0;            // the model's -log p of the next token, and its square
    double nll_base = 0, nll_base2 = 0;  // the reference's
    double nll_nll_base = 0;             // their product
    double kld = 0, kld2 = 0;
    double p_diff = 0, p_diff2 = 0, p_diff4 = 0;
    float max_p_diff = 0;                // largest |Δp|
    std::uint64_t same_top = 0;
    std::uint64_t count = 0;
    void add(const kld_sums &other);
};

// One counted position: the model's log-softmax row (n_vocab floats), the
// reference's stored row and the token that follows. Adds to sums; kld and
// p_diff receive the position's KL divergence and Δp.
void compare_position(const float *row, const base_row &base, std::size_t n_vocab, std::uint32_t token,
                      kld_sums &sums, float &kld, float &p_diff);

// A mean and its standard error, as llama-perplexity reports them (no
// error below 11 values).
struct estimate {
    double value = 0;
    double error = 0;
};
estimate mean_and_error(double sum, double sum2, std::uint64_t count);

// Everything the final report says.
struct kld_report {
    estimate ppl, ppl_base, log_ratio, ratio, difference;
    double correlation = 0;
    estimate kld;
    float kld_max = 0, kld_min = 0, kld_median = 0;
    std::vector<float> kld_percentiles;   // at kld_fractions
    estimate p_diff, p_diff_rms;
    float p_diff_max = 0, p_diff_min = 0, p_diff_median = 0;
    std::vector<float> p_diff_percentiles;  // at p_diff_fractions
    estimate same_top;
    std::uint64_t count = 0;
};
extern const std::vector<double> kld_fractions;     // 0.999 0.99 0.95 0.90 0.10 0.05 0.01 0.001
extern const std::vector<double> p_diff_fractions;  // those and 0.75, 0.25

// The report from the sums and every position's values (sorted here).
kld_report make_report(const kld_sums &sums, std::vector<float> kld_values, std::vector<float> p_diff_values);

// llama-perplexity's table: its heading, one line per chunk with the
// running values, and the final statistics.
void print_chunk_heading(std::FILE *out);
void print_chunk_line(std::FILE *out, std::size_t chunk, const kld_sums &running);
void print_report(std::FILE *out, const kld_report &report);

// The report as JSON, for --summary.
nlohmann::ordered_json report_json(const kld_report &report);

}  // namespace vl_eval
