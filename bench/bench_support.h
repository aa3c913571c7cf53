// What the benchmark sections share: their declarations, timing and opening.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "vorlenta_llama_shim.h"

namespace vl_bench {

struct options {
    std::string model = VL_BENCH_MODEL;  // the benchmark-sized fixture model
};

// The sections, one per bench_<name>.cpp; main.cpp runs them in its order.
void bench_suffix(const options &opts);

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

// A failed call ends the benchmark: its numbers would mean nothing.
inline void check(std::int32_t status, const char *what, const char *err) {
    if (status == 0) return;
    std::fprintf(stderr, "vl-bench: %s failed: %s\n", what, err);
    std::exit(1);
}

struct runtime_closer {
    void operator()(vl_llama_runtime *r) const { vl_llama_close(r); }
};
using runtime_ptr = std::unique_ptr<vl_llama_runtime, runtime_closer>;

// Opens the model with two threads (the machine's cores), or ends the benchmark.
inline runtime_ptr open_runtime(const options &opts, std::int32_t n_ctx, std::int32_t n_batch,
                                std::int32_t n_seq_max) {
    vl_llama_config config = {n_ctx, n_batch, n_seq_max, 0, 2, 2};
    char err[256] = "";
    runtime_ptr runtime(vl_llama_open(opts.model.c_str(), &config, err, sizeof err));
    if (runtime == nullptr) {
        std::fprintf(stderr, "vl-bench: cannot open %s: %s\n", opts.model.c_str(), err);
        std::exit(1);
    }
    return runtime;
}

// n ordinary token ids of the fixture vocabulary, varied by seed.
inline std::vector<std::uint32_t> tokens(std::size_t n, std::uint32_t seed = 0) {
    std::vector<std::uint32_t> ids(n);
    for (std::size_t i = 0; i < n; ++i)
        ids[i] = 300 + static_cast<std::uint32_t>((i * 7919 + seed * 104729) % 20000);
    return ids;
}

}  // namespace vl_bench
