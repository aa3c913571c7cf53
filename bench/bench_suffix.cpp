// Shared prefix, then suffixes: a suffix call should cost about the decode of
// its own tokens, not that of the prefix it continues.
#include "bench_support.h"

namespace {

constexpr std::size_t prefix_len = 512;
constexpr std::size_t suffix_len = 8;
constexpr int rounds = 5;
constexpr int calls_per_round = 8;

}  // namespace

int bench_suffix(const char *model_path) {
    using namespace vl_bench;
    std::printf("== shared prefix: one %zu-token prefill, then suffix calls of %zu tokens\n",
                prefix_len, suffix_len);
    runtime_ptr runtime = open_runtime(model_path, 1024, 512, 2);
    if (runtime == nullptr) return 1;
    vl_llama_runtime *rt = runtime.get();
    const std::vector<std::uint32_t> prefix = tokens(prefix_len);
    const std::vector<std::uint32_t> candidates = tokens(16, 99);
    std::vector<float> out(candidates.size());
    char err[256] = "";

    auto prefill = [&] {
        return succeeded(vl_llama_prefill_shared(rt, prefix.data(), prefix.size(), err, sizeof err),
                         "vl_llama_prefill_shared", err);
    };
    auto score_suffix = [&](const std::vector<std::uint32_t> &suffix) {
        return succeeded(vl_llama_score_suffix(rt, suffix.data(), suffix.size(), candidates.data(),
                                               candidates.size(), out.data(), err, sizeof err),
                         "vl_llama_score_suffix", err);
    };
    auto score_next = [&](const std::vector<std::uint32_t> &prompt) {
        return succeeded(vl_llama_score_next(rt, prompt.data(), prompt.size(), candidates.data(),
                                             candidates.size(), out.data(), err, sizeof err),
                         "vl_llama_score_next", err);
    };

    // The first decodes allocate llama.cpp's buffers; they are not timed.
    if (!prefill() || !score_suffix(tokens(suffix_len, 1))) return 1;

    // Rounds interleave the three measurements, so that load from other
    // processes on the machine falls on all of them alike.
    std::vector<double> prefill_ms, suffix_ms, scratch_ms;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        prefill_ms.push_back(time_ms([&] { ok = prefill(); }));
        for (int i = 0; i < calls_per_round && ok; ++i) {
            const std::vector<std::uint32_t> suffix = tokens(suffix_len, 2 + i);
            suffix_ms.push_back(time_ms([&] { ok = score_suffix(suffix); }));
        }
        // The same number of tokens decoded with no prefix at all, for comparison.
        for (int i = 0; i < calls_per_round && ok; ++i) {
            const std::vector<std::uint32_t> prompt = tokens(suffix_len, 2 + i);
            scratch_ms.push_back(time_ms([&] { ok = score_next(prompt); }));
        }
    }
    if (!ok) return 1;

    const double prefill_median = median(prefill_ms);
    const double suffix_median = median(suffix_ms);
    const double scratch_median = median(scratch_ms);
    const std::string n = std::to_string(suffix_len);
    report_ms("prefill, " + std::to_string(prefix_len) + " tokens (median of " +
                  std::to_string(prefill_ms.size()) + ")",
              prefill_median);
    report_ms("suffix call, " + n + " tokens (median of " + std::to_string(suffix_ms.size()) + ")",
              suffix_median);
    report_ms("score_next, " + n + " tokens from scratch (median of " +
                  std::to_string(scratch_ms.size()) + ")",
              scratch_median);
    report_ratio("prefill / suffix call", prefill_median / suffix_median);
    report_ratio("suffix call / " + n + " tokens from scratch", suffix_median / scratch_median);
    return 0;
}
