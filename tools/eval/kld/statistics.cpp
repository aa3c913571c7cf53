#include "kld/statistics.h"

#include <algorithm>
#include <cmath>

namespace vl_eval {

const std::vector<double> kld_fractions = {0.999, 0.990, 0.950, 0.900, 0.100, 0.050, 0.010, 0.001};
const std::vector<double> p_diff_fractions = {0.999, 0.990, 0.950, 0.900, 0.750,
                                              0.250, 0.100, 0.050, 0.010, 0.001};

void kld_sums::add(const kld_sums &o) {
    nll += o.nll;
    nll2 += o.nll2;
    nll_base += o.nll_base;
    nll_base2 += o.nll_base2;
    nll_nll_base += o.nll_nll_base;
    kld += o.kld;
    kld2 += o.kld2;
    p_diff += o.p_diff;
    p_diff2 += o.p_diff2;
    p_diff4 += o.p_diff4;
    max_p_diff = std::max(max_p_diff, o.max_p_diff);
    same_top += o.same_top;
    count += o.count;
}

// In llama-perplexity's arithmetic, single precision where it uses single
// precision, so that the statistics agree with its to the last printed digit
// (the model's row is a log-softmax row here, its logits there: the same
// values but for rounding).
void compare_position(const float *row, const base_row &base, std::size_t n_vocab, std::uint32_t token,
                      kld_sums &sums, float &kld, float &p_diff) {
    float max_logit = row[0];
    std::size_t imax = 0;
    for (std::size_t i = 1; i < n_vocab; ++i)
        if (row[i] > max_logit) {
            max_logit = row[i];
            imax = i;
        }
    double sum_exp = 0.0;
    for (std::size_t i = 0; i < n_vocab; ++i) sum_exp += std::exp(row[i] - max_logit);
    const float log_sum_exp = static_cast<float>(std::log(sum_exp));

    const float nll = max_logit + log_sum_exp - row[token];
    sums.nll += nll;
    sums.nll2 += nll * nll;
    const float nll_base = -base.log_prob(token);
    sums.nll_base += nll_base;
    sums.nll_base2 += nll_base * nll_base;
    sums.nll_nll_base += nll * nll_base;

    max_logit += log_sum_exp;
    double sum = 0;
    std::size_t imax_base = 0;
    float p_log_base_max = 0;
    for (std::size_t i = 0; i < n_vocab; ++i) {
        const float p_log_base = base.log_prob(i);
        if (i == 0 || p_log_base > p_log_base_max) {
            p_log_base_max = p_log_base;
            imax_base = i;
        }
        if (p_log_base > -16.f) {
            const float p_base = std::exp(p_log_base);
            sum += p_base * (p_log_base - row[i] + max_logit);
        }
    }
    sums.kld += sum;
    sums.kld2 += sum * sum;
    ++sums.count;
    if (imax == imax_base) ++sums.same_top;

    const float p_base = std::exp(-nll_base);
    const float p = std::exp(-nll);
    p_diff = p - p_base;
    sums.p_diff += p_diff;
    const double p_diff2 = p_diff * p_diff;
    sums.p_diff2 += p_diff2;
    sums.p_diff4 += p_diff2 * p_diff2;
    sums.max_p_diff = std::max(sums.max_p_diff, std::fabs(p_diff));
    kld = static_cast<float>(sum);
}

estimate mean_and_error(double sum, double sum2, std::uint64_t count) {
    if (count < 1) return {};
    const double f = sum / static_cast<double>(count);
    double df = sum2 / static_cast<double>(count) - f * f;
    df = df > 0 && count > 10 ? std::sqrt(df / static_cast<double>(count - 1)) : 0.;
    return {f, df};
}

namespace {

double covariance(double sum_a, double sum_b, double sum_ab, std::uint64_t count) {
    if (count < 10) return 0.0;
    const double n = static_cast<double>(count);
    return (sum_ab / n - (sum_a / n) * (sum_b / n)) / (n - 1);
}

// Linear interpolation between the sorted values around the fraction, in
// single precision.
float percentile(const std::vector<float> &values, float fraction) {
    if (fraction <= 0) return values.front();
    if (fraction >= 1) return values.back();
    float p = fraction * static_cast<float>(values.size() - 1);
    const std::size_t ip = static_cast<std::size_t>(p);
    p -= static_cast<float>(ip);
    return (1 - p) * values[ip] + p * values[std::min(ip + 1, values.size() - 1)];
}

float median(const std::vector<float> &v) {
    const std::size_t n = v.size();
    return n % 2 == 0 ? 0.5f * (v[n / 2] + v[n / 2 - 1]) : v[n / 2];
}

}  // namespace

kld_report make_report(const kld_sums &s, std::vector<float> kld_values, std::vector<float> p_diff_values) {
    kld_report r;
    r.count = s.count;
    const estimate log_ppl = mean_and_error(s.nll, s.nll2, s.count);
    const estimate log_ppl_base = mean_and_error(s.nll_base, s.nll_base2, s.count);
    r.ppl = {std::exp(log_ppl.value), std::exp(log_ppl.value) * log_ppl.error};
    r.ppl_base = {std::exp(log_ppl_base.value), std::exp(log_ppl_base.value) * log_ppl_base.error};
    const double cov = covariance(s.nll, s.nll_base, s.nll_nll_base, s.count);
    r.correlation = cov / (log_ppl.error * log_ppl_base.error);
    r.log_ratio = {log_ppl.value - log_ppl_base.value,
                   std::sqrt(log_ppl.error * log_ppl.error + log_ppl_base.error * log_ppl_base.error - 2.0 * cov)};
    r.ratio = {std::exp(r.log_ratio.value), std::exp(r.log_ratio.value) * r.log_ratio.error};
    const double ppl_cov = r.ppl.value * r.ppl_base.value * cov;
    r.difference = {r.ppl.value - r.ppl_base.value,
                    std::sqrt(r.ppl.error * r.ppl.error + r.ppl_base.error * r.ppl_base.error - 2.0 * ppl_cov)};

    r.kld = mean_and_error(s.kld, s.kld2, s.count);
    if (!kld_values.empty()) {
        std::sort(kld_values.begin(), kld_values.end());
        r.kld_max = kld_values.back();
        r.kld_min = kld_values.front();
        r.kld_median = median(kld_values);
        for (double f : kld_fractions) r.kld_percentiles.push_back(percentile(kld_values, static_cast<float>(f)));
    }
    r.p_diff = mean_and_error(s.p_diff, s.p_diff2, s.count);
    if (!p_diff_values.empty()) {
        std::sort(p_diff_values.begin(), p_diff_values.end());
        r.p_diff_max = p_diff_values.back();
        r.p_diff_min = p_diff_values.front();
        r.p_diff_median = median(p_diff_values);
        for (double f : p_diff_fractions)
            r.p_diff_percentiles.push_back(percentile(p_diff_values, static_cast<float>(f)));
    }
    const estimate mse = mean_and_error(s.p_diff2, s.p_diff4, s.count);
    r.p_diff_rms = {std::sqrt(mse.value), 0.5 / std::sqrt(mse.value) * mse.error};
    const double top = s.count ? static_cast<double>(s.same_top) / static_cast<double>(s.count) : 0;
    r.same_top = {top, s.count > 1 ? std::sqrt(top * (1.0 - top) / static_cast<double>(s.count - 1)) : 0};
    return r;
}

void print_chunk_heading(std::FILE *out) {
    std::fprintf(out, "chunk             PPL               ln(PPL(Q)/PPL(base))          KL Divergence"
                      "              \xce\x94p RMS            Same top p\n");
}

void print_chunk_line(std::FILE *out, std::size_t chunk, const kld_sums &s) {
    const estimate log_ppl = mean_and_error(s.nll, s.nll2, s.count);
    const estimate log_ppl_base = mean_and_error(s.nll_base, s.nll_base2, s.count);
    const double ppl = std::exp(log_ppl.value);
    const double cov = covariance(s.nll, s.nll_base, s.nll_nll_base, s.count);
    const double ratio_error =
        std::sqrt(log_ppl.error * log_ppl.error + log_ppl_base.error * log_ppl_base.error - 2.0 * cov);
    const estimate kld = mean_and_error(s.kld, s.kld2, s.count);
    const estimate mse = mean_and_error(s.p_diff2, s.p_diff4, s.count);
    const double rms = std::sqrt(mse.value), rms_error = 0.5 / rms * mse.error;
    const double top = static_cast<double>(s.same_top) / static_cast<double>(s.count);
    const double top_error = std::sqrt(top * (1 - top) / static_cast<double>(s.count - 1));
    std::fprintf(out, "%4zu    %9.4lf \xc2\xb1 %9.4lf    %10.5lf \xc2\xb1 %10.5lf    %10.5lf \xc2\xb1 %10.5lf"
                      "    %6.3lf \xc2\xb1 %6.3lf %%    %6.3lf \xc2\xb1 %6.3lf %%\n",
                 chunk, ppl, ppl * log_ppl.error, log_ppl.value - log_ppl_base.value, ratio_error, kld.value,
                 kld.error, 100.0 * rms, 100.0 * rms_error, 100.0 * top, 100.0 * top_error);
}

void print_report(std::FILE *out, const kld_report &r) {
    const char *pm = "\xc2\xb1";
    std::fprintf(out, "====== Perplexity statistics ======\n");
    std::fprintf(out, "Mean PPL(Q)                   : %10.6lf %s %10.6lf\n", r.ppl.value, pm, r.ppl.error);
    std::fprintf(out, "Mean PPL(base)                : %10.6lf %s %10.6lf\n", r.ppl_base.value, pm, r.ppl_base.error);
    std::fprintf(out, "Cor(ln(PPL(Q)), ln(PPL(base))): %6.2lf%%\n", 100.0 * r.correlation);
    std::fprintf(out, "Mean ln(PPL(Q)/PPL(base))     : %10.6lf %s %10.6lf\n", r.log_ratio.value, pm, r.log_ratio.error);
    std::fprintf(out, "Mean PPL(Q)/PPL(base)         : %10.6lf %s %10.6lf\n", r.ratio.value, pm, r.ratio.error);
    std::fprintf(out, "Mean PPL(Q)-PPL(base)         : %10.6lf %s %10.6lf\n", r.difference.value, pm, r.difference.error);
    std::fprintf(out, "\n====== KL divergence statistics ======\n");
    std::fprintf(out, "Mean    KLD: %10.6lf %s %10.6lf\n", r.kld.value, pm, r.kld.error);
    std::fprintf(out, "Maximum KLD: %10.6f\n", r.kld_max);
    const char *kld_labels[] = {"99.9%", "99.0%", "95.0%", "90.0%", "10.0%", " 5.0%", " 1.0%", " 0.1%"};
    for (std::size_t i = 0; i < r.kld_percentiles.size(); ++i) {
        if (i == 4) std::fprintf(out, "Median  KLD: %10.6f\n", r.kld_median);
        std::fprintf(out, "%s   KLD: %10.6f\n", kld_labels[i], r.kld_percentiles[i]);
    }
    std::fprintf(out, "Minimum KLD: %10.6f\n", r.kld_min);
    std::fprintf(out, "\n====== Token probability statistics ======\n");
    std::fprintf(out, "Mean    \xce\x94p: %6.3lf %s %5.3lf %%\n", 100.0 * r.p_diff.value, pm, 100.0 * r.p_diff.error);
    std::fprintf(out, "Maximum \xce\x94p: %6.3lf%%\n", 100.0 * r.p_diff_max);
    const char *dp_labels[] = {"99.9%", "99.0%", "95.0%", "90.0%", "75.0%", "25.0%", "10.0%", " 5.0%", " 1.0%", " 0.1%"};
    for (std::size_t i = 0; i < r.p_diff_percentiles.size(); ++i) {
        if (i == 5) std::fprintf(out, "Median  \xce\x94p: %6.3lf%%\n", 100.0 * r.p_diff_median);
        std::fprintf(out, "%s   \xce\x94p: %6.3lf%%\n", dp_labels[i], 100.0 * r.p_diff_percentiles[i]);
    }
    std::fprintf(out, "Minimum \xce\x94p: %6.3lf%%\n", 100.0 * r.p_diff_min);
    std::fprintf(out, "RMS \xce\x94p    : %6.3lf %s %5.3lf %%\n", 100.0 * r.p_diff_rms.value, pm, 100.0 * r.p_diff_rms.error);
    std::fprintf(out, "Same top p: %6.3lf %s %5.3lf %%\n", 100.0 * r.same_top.value, pm, 100.0 * r.same_top.error);
}

namespace {

nlohmann::ordered_json with_error(const estimate &e) {
    nlohmann::ordered_json o;
    o["value"] = e.value;
    o["error"] = e.error;
    return o;
}

nlohmann::ordered_json distribution(float max, float median, float min, const std::vector<double> &fractions,
                                    const std::vector<float> &values) {
    nlohmann::ordered_json o;
    o["max"] = max;
    for (std::size_t i = 0; i < values.size(); ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "p%g", 100.0 * fractions[i]);
        o[key] = values[i];
    }
    o["median"] = median;
    o["min"] = min;
    return o;
}

}  // namespace

nlohmann::ordered_json report_json(const kld_report &r) {
    nlohmann::ordered_json o;
    o["positions"] = r.count;
    o["ppl"] = with_error(r.ppl);
    o["ppl_base"] = with_error(r.ppl_base);
    o["ppl_correlation"] = r.correlation;
    o["ln_ppl_ratio"] = with_error(r.log_ratio);
    o["ppl_ratio"] = with_error(r.ratio);
    o["ppl_difference"] = with_error(r.difference);
    o["kld"] = with_error(r.kld);
    o["kld_distribution"] = distribution(r.kld_max, r.kld_median, r.kld_min, kld_fractions, r.kld_percentiles);
    o["delta_p"] = with_error(r.p_diff);
    o["delta_p_rms"] = with_error(r.p_diff_rms);
    o["delta_p_distribution"] =
        distribution(r.p_diff_max, r.p_diff_median, r.p_diff_min, p_diff_fractions, r.p_diff_percentiles);
    o["same_top"] = with_error(r.same_top);
    return o;
}

}  // namespace vl_eval
