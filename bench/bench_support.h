// What the benchmark sections share: their declarations, timing and opening.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "sequences/row_summary.h"
#include "sequences/trie_walk.h"
#include "vorlenta_llama_shim.h"

// The sections, one per bench_<name>.cpp, run by main.cpp in its order. Each
// takes the model's path and returns 0, or 1 after printing why it failed.
int bench_suffix(const char *model_path);
int bench_sequences(const char *model_path);
int bench_batch(const char *model_path);
int bench_sequence_batch(const char *model_path);
int bench_perplexity(const char *model_path);

namespace vl_bench {

// Milliseconds one call of f takes.
template <class F>
double time_ms(F &&f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(end - start).count();
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// One line of a section's report: a label, then a time or a ratio.
inline void report_ms(const std::string &label, double ms) {
    std::printf("  %-52s %10.2f ms\n", label.c_str(), ms);
}
inline void report_ratio(const std::string &label, double ratio) {
    std::printf("  %-52s %10.2f\n", label.c_str(), ratio);
}

// True when a call succeeded; otherwise says which call failed and why.
inline bool succeeded(std::int32_t status, const char *what, const char *err) {
    if (status == 0) return true;
    std::fprintf(stderr, "vl-bench: %s failed: %s\n", what, err);
    return false;
}

struct runtime_closer {
    void operator()(vl_llama_runtime *r) const { vl_llama_close(r); }
};
using runtime_ptr = std::unique_ptr<vl_llama_runtime, runtime_closer>;

// Opens the model with two threads (the machine's cores); null, after saying
// why, when it cannot.
inline runtime_ptr open_runtime(const char *model_path, std::int32_t n_ctx, std::int32_t n_batch,
                                std::int32_t n_seq_max) {
    const vl_llama_config config = {n_ctx, n_batch, n_seq_max, 0, 2, 2};
    char err[256] = "";
    runtime_ptr runtime(vl_llama_open(model_path, &config, err, sizeof err));
    if (runtime == nullptr) std::fprintf(stderr, "vl-bench: cannot open %s: %s\n", model_path, err);
    return runtime;
}

// Milliseconds the library's log-softmax normalisers take over rows rows of
// the model's whole vocabulary (the row of logits the runtime keeps after
// its retained prefix, as many times over), timed taking turns: the
// sequence batch's vectorised one and the walk's, one entry at a time.
// Their cost does not depend on the values, only on the row's length.
struct log_softmax_times {
    double batch_ms, walk_ms;
};
inline log_softmax_times log_softmax_ms(const vl_llama_runtime *runtime, std::size_t rows) {
    const std::vector<float> &row = runtime->shared_logits;
    volatile float sink = 0.0f;
    std::vector<double> batch, walk;
    for (int round = 0; round < 3; ++round) {
        batch.push_back(time_ms([&] {
            for (std::size_t k = 0; k < rows; ++k) {
                float normaliser = 0.0f;
                std::size_t argmax = 0;
                vl::vocab_row_summary(row.data(), row.size(), normaliser, argmax);
                sink = sink + normaliser + static_cast<float>(argmax);
            }
        }));
        walk.push_back(time_ms([&] {
            for (std::size_t k = 0; k < rows; ++k) {
                float normaliser = 0.0f;
                vl::vocab_logsumexp(row.data(), row.size(), normaliser);
                sink = sink + normaliser;
            }
        }));
    }
    return {median(batch), median(walk)};
}

// The share lines of a section: what the rows' log-softmax takes of a call
// of call_ms, with the batch's normaliser and with the walk's.
inline void report_log_softmax_share(const char *what, const vl_llama_runtime *runtime, std::size_t rows,
                                     double call_ms) {
    const log_softmax_times t = log_softmax_ms(runtime, rows);
    const std::string of = " (" + std::to_string(rows) + " rows of " + std::to_string(runtime->shared_logits.size()) + ")";
    report_ms(std::string("log-softmax of its rows, vectorised") + of, t.batch_ms);
    report_ms("log-softmax of its rows, one entry at a time", t.walk_ms);
    report_ratio(std::string("log-softmax share of ") + what + ", %", 100.0 * t.batch_ms / call_ms);
    report_ratio(std::string("  the same one entry at a time, %"), 100.0 * t.walk_ms / call_ms);
    report_ratio("one entry at a time / vectorised", t.walk_ms / t.batch_ms);
}

// n ordinary token ids of the benchmark model's vocabulary, varied by seed.
inline std::vector<std::uint32_t> tokens(std::size_t n, std::uint32_t seed = 0) {
    std::vector<std::uint32_t> ids(n);
    for (std::size_t i = 0; i < n; ++i)
        ids[i] = 300 + static_cast<std::uint32_t>((i * 7919 + seed * 104729) % 20000);
    return ids;
}

}  // namespace vl_bench
