// Benchmark section: the two batch scorers against one call per task.
//
//   - 8 suffix tasks of 8 tokens after a 512-token prefix: one
//     vl_llama_score_suffix_batch against 8 vl_llama_score_suffix calls;
//   - 8 roots of 32 tokens: one vl_llama_score_root_batch against 8
//     vl_llama_score_next calls.
//
// Each side is timed over several rounds after a warm-up; the medians and
// their ratio (time of the single calls / time of the batch) are printed.
// The runtime gets 9 sequences: the prefix and one per suffix task.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "vorlenta_llama_shim.h"

int bench_batch(const char *model_path);

namespace {

constexpr std::size_t tasks = 8;
constexpr std::size_t prefix_tokens = 512;
constexpr std::size_t suffix_tokens = 8;
constexpr std::size_t root_tokens = 32;
constexpr int rounds = 5;
constexpr int threads = 2;

// Ordinary token ids of the benchmark model, different per stream.
std::vector<uint32_t> token_run(std::size_t n, uint32_t stream) {
    std::vector<uint32_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = 300 + (stream * 131 + static_cast<uint32_t>(i) * 7) % 2000;
    return ids;
}

// Median wall time of fn in milliseconds; false when a call failed.
bool median_ms(const std::function<bool()> &fn, double &median) {
    if (!fn()) return false;  // warm-up
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        if (!fn()) return false;
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    median = times[times.size() / 2];
    return true;
}

float max_difference(const std::vector<float> &a, const std::vector<float> &b) {
    float worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
    return worst;
}

// Both comparisons on an open runtime.
int run_batch_section(vl_llama_runtime *runtime, char *err, std::size_t err_cap) {
    // Parallel suffixes after one prefix.
    const std::vector<uint32_t> prefix = token_run(prefix_tokens, 0);
    if (vl_llama_prefill_shared(runtime, prefix.data(), prefix.size(), err, err_cap) != 0) {
        std::fprintf(stderr, "bench_batch: prefill failed: %s\n", err);
        return 1;
    }
    std::vector<uint32_t> suffixes, candidates;
    std::vector<std::size_t> suffix_offsets{0}, candidate_offsets{0};
    for (std::size_t t = 0; t < tasks; ++t) {
        const std::vector<uint32_t> s = token_run(suffix_tokens, static_cast<uint32_t>(t + 1));
        suffixes.insert(suffixes.end(), s.begin(), s.end());
        suffix_offsets.push_back(suffixes.size());
        for (uint32_t c : {11u, 12u, 13u, 14u}) candidates.push_back(c + static_cast<uint32_t>(t));
        candidate_offsets.push_back(candidates.size());
    }
    std::vector<float> batched(candidates.size()), single(candidates.size());
    double batch_ms = 0, singles_ms = 0;
    const bool suffix_ok =
        median_ms([&] {
            return vl_llama_score_suffix_batch(runtime, suffixes.data(), suffix_offsets.data(), candidates.data(),
                                               candidate_offsets.data(), tasks, batched.data(), err,
                                               sizeof err) == 0;
        }, batch_ms) &&
        median_ms([&] {
            for (std::size_t t = 0; t < tasks; ++t)
                if (vl_llama_score_suffix(runtime, suffixes.data() + suffix_offsets[t], suffix_tokens,
                                          candidates.data() + candidate_offsets[t], 4,
                                          single.data() + candidate_offsets[t], err, err_cap) != 0)
                    return false;
            return true;
        }, singles_ms);
    if (!suffix_ok) {
        std::fprintf(stderr, "bench_batch: suffix scoring failed: %s\n", err);
        return 1;
    }
    std::printf("parallel suffixes: %zu x %zu tokens after %zu: one batch %.2f ms, %zu calls %.2f ms, "
                "ratio %.2f (largest logit difference %.4g)\n",
                tasks, suffix_tokens, prefix_tokens, batch_ms, tasks, singles_ms, singles_ms / batch_ms,
                max_difference(batched, single));

    // Independent roots.
    std::vector<uint32_t> prompts;
    std::vector<std::size_t> prompt_offsets{0};
    for (std::size_t t = 0; t < tasks; ++t) {
        const std::vector<uint32_t> p = token_run(root_tokens, static_cast<uint32_t>(t + 20));
        prompts.insert(prompts.end(), p.begin(), p.end());
        prompt_offsets.push_back(prompts.size());
    }
    const bool root_ok =
        median_ms([&] {
            return vl_llama_score_root_batch(runtime, prompts.data(), prompt_offsets.data(), candidates.data(),
                                             candidate_offsets.data(), tasks, batched.data(), err,
                                             sizeof err) == 0;
        }, batch_ms) &&
        median_ms([&] {
            for (std::size_t t = 0; t < tasks; ++t)
                if (vl_llama_score_next(runtime, prompts.data() + prompt_offsets[t], root_tokens,
                                        candidates.data() + candidate_offsets[t], 4,
                                        single.data() + candidate_offsets[t], err, err_cap) != 0)
                    return false;
            return true;
        }, singles_ms);
    if (!root_ok) {
        std::fprintf(stderr, "bench_batch: root scoring failed: %s\n", err);
        return 1;
    }
    std::printf("independent roots: %zu x %zu tokens: one batch %.2f ms, %zu calls %.2f ms, "
                "ratio %.2f (largest logit difference %.4g)\n",
                tasks, root_tokens, batch_ms, tasks, singles_ms, singles_ms / batch_ms,
                max_difference(batched, single));
    return 0;
}

}  // namespace

// Opens the model with 9 sequences, runs both comparisons and prints them.
// Returns 0, or 1 after printing what failed.
int bench_batch(const char *model_path) {
    std::printf("== batch scoring: %zu suffix tasks in one decode, %zu roots in one decode\n", tasks, tasks);
    vl_llama_config config{};
    config.n_ctx = 1024;
    config.n_batch = 512;
    config.n_seq_max = static_cast<int32_t>(tasks + 1);
    config.n_threads = threads;
    config.n_threads_batch = threads;
    char err[256] = "";
    vl_llama_runtime *runtime = vl_llama_open(model_path, &config, err, sizeof err);
    if (runtime == nullptr) {
        std::fprintf(stderr, "bench_batch: cannot open %s: %s\n", model_path, err);
        return 1;
    }
    const int status = run_batch_section(runtime, err, sizeof err);
    vl_llama_close(runtime);
    return status;
}
