// Many tasks in one decode: 8 suffix tasks of 8 tokens after a 512-token
// prefix in one vl_llama_score_suffix_batch against 8 vl_llama_score_suffix
// calls, and 8 roots of 32 tokens in one vl_llama_score_root_batch against 8
// vl_llama_score_next calls. The runtime has 9 sequences: the prefix and one
// per suffix task.
#include <cmath>

#include "bench_support.h"

namespace {

constexpr std::size_t tasks = 8;
constexpr std::size_t prefix_len = 512;
constexpr std::size_t suffix_len = 8;
constexpr std::size_t root_len = 32;
constexpr std::size_t candidates_per_task = 4;
constexpr int rounds = 5;

// Tasks as flat arrays with offsets, candidates included.
struct task_set {
    std::vector<std::uint32_t> tokens, candidates;
    std::vector<std::size_t> token_offsets{0}, candidate_offsets{0};
};

task_set make_tasks(std::size_t tokens_each, std::uint32_t seed) {
    task_set set;
    for (std::size_t t = 0; t < tasks; ++t) {
        const std::vector<std::uint32_t> run = vl_bench::tokens(tokens_each, seed + static_cast<std::uint32_t>(t));
        set.tokens.insert(set.tokens.end(), run.begin(), run.end());
        set.token_offsets.push_back(set.tokens.size());
        const std::vector<std::uint32_t> c = vl_bench::tokens(candidates_per_task, 99 + static_cast<std::uint32_t>(t));
        set.candidates.insert(set.candidates.end(), c.begin(), c.end());
        set.candidate_offsets.push_back(set.candidates.size());
    }
    return set;
}

float largest_difference(const std::vector<float> &a, const std::vector<float> &b) {
    float worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
    return worst;
}

}  // namespace

int bench_batch(const char *model_path) {
    using namespace vl_bench;
    std::printf("== batches: %zu suffix tasks of %zu tokens after %zu, %zu roots of %zu tokens, one decode each\n",
                tasks, suffix_len, prefix_len, tasks, root_len);
    runtime_ptr runtime = open_runtime(model_path, 1024, 512, static_cast<std::int32_t>(tasks + 1));
    if (runtime == nullptr) return 1;
    vl_llama_runtime *rt = runtime.get();
    const std::vector<std::uint32_t> prefix = tokens(prefix_len);
    const task_set suffixes = make_tasks(suffix_len, 2), roots = make_tasks(root_len, 40);
    std::vector<float> batched(suffixes.candidates.size()), single(batched.size());
    char err[256] = "";

    auto suffix_batch = [&] {
        return succeeded(vl_llama_score_suffix_batch(rt, suffixes.tokens.data(), suffixes.token_offsets.data(),
                                                     suffixes.candidates.data(),
                                                     suffixes.candidate_offsets.data(), tasks, batched.data(),
                                                     err, sizeof err),
                         "vl_llama_score_suffix_batch", err);
    };
    auto suffix_calls = [&] {
        for (std::size_t t = 0; t < tasks; ++t) {
            const std::size_t k = suffixes.candidate_offsets[t];
            if (!succeeded(vl_llama_score_suffix(rt, suffixes.tokens.data() + suffixes.token_offsets[t], suffix_len,
                                                 suffixes.candidates.data() + k, candidates_per_task,
                                                 single.data() + k, err, sizeof err),
                           "vl_llama_score_suffix", err))
                return false;
        }
        return true;
    };
    auto root_batch = [&] {
        return succeeded(vl_llama_score_root_batch(rt, roots.tokens.data(), roots.token_offsets.data(),
                                                   roots.candidates.data(), roots.candidate_offsets.data(), tasks,
                                                   batched.data(), err, sizeof err),
                         "vl_llama_score_root_batch", err);
    };
    auto root_calls = [&] {
        for (std::size_t t = 0; t < tasks; ++t) {
            const std::size_t k = roots.candidate_offsets[t];
            if (!succeeded(vl_llama_score_next(rt, roots.tokens.data() + roots.token_offsets[t], root_len,
                                               roots.candidates.data() + k, candidates_per_task, single.data() + k,
                                               err, sizeof err),
                           "vl_llama_score_next", err))
                return false;
        }
        return true;
    };

    // The first decodes allocate llama.cpp's buffers; they are not timed.
    // Rounds interleave batch and single calls, so that load from other
    // processes falls on both alike.
    if (!succeeded(vl_llama_prefill_shared(rt, prefix.data(), prefix.size(), err, sizeof err),
                   "vl_llama_prefill_shared", err) ||
        !suffix_batch() || !suffix_calls())
        return 1;
    std::vector<double> suffix_batch_ms, suffix_calls_ms;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        suffix_batch_ms.push_back(time_ms([&] { ok = suffix_batch(); }));
        if (ok) suffix_calls_ms.push_back(time_ms([&] { ok = suffix_calls(); }));
    }
    if (!ok) return 1;
    const float suffix_difference = largest_difference(batched, single);

    // The root batch clears the memory, so it runs after the suffix rounds.
    if (!root_batch() || !root_calls()) return 1;
    std::vector<double> root_batch_ms, root_calls_ms;
    for (int round = 0; round < rounds && ok; ++round) {
        root_batch_ms.push_back(time_ms([&] { ok = root_batch(); }));
        if (ok) root_calls_ms.push_back(time_ms([&] { ok = root_calls(); }));
    }
    if (!ok) return 1;
    const float root_difference = largest_difference(batched, single);

    const std::string n = std::to_string(tasks);
    const double sb = median(suffix_batch_ms), sc = median(suffix_calls_ms);
    const double rb = median(root_batch_ms), rc = median(root_calls_ms);
    report_ms("suffix batch, " + n + " tasks (median of " + std::to_string(rounds) + ")", sb);
    report_ms(n + " suffix calls (median of " + std::to_string(rounds) + ")", sc);
    report_ratio(n + " suffix calls / suffix batch", sc / sb);
    report_ratio("largest logit difference, batch against calls", suffix_difference);
    report_ms("root batch, " + n + " roots (median of " + std::to_string(rounds) + ")", rb);
    report_ms(n + " score_next calls (median of " + std::to_string(rounds) + ")", rc);
    report_ratio(n + " score_next calls / root batch", rc / rb);
    report_ratio("largest logit difference, batch against calls", root_difference);
    return 0;
}
