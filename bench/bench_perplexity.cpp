// Section "perplexity": one chunk of a text scored as vl-eval perplexity
// scores it, a window of 1024 tokens whose second half is counted (one task
// of vl_llama_score_sequence_batch: the first half as context, the prefixes
// of the rest as its candidates, so every counted token is one row), and the
// share of that call the log-softmax of its rows takes.
#include "bench_support.h"

namespace {

using namespace vl_bench;

constexpr std::size_t n_ctx = 1024, rounds = 3;

}  // namespace

int bench_perplexity(const char *model_path) {
    const std::size_t first = n_ctx / 2, counted = n_ctx - 1 - first;
    std::printf("perplexity: one chunk of %zu tokens, the last %zu counted\n", n_ctx, counted);
    runtime_ptr rt = open_runtime(model_path, static_cast<std::int32_t>(n_ctx), static_cast<std::int32_t>(n_ctx), 2);
    if (rt == nullptr) return 1;
    const std::vector<std::uint32_t> chunk = tokens(n_ctx, 7);
    char err[256] = "";

    // The chunk's first token is retained, so that its row is there to time
    // the log-softmax on; the call decodes the rest of the first half and
    // the counted tokens, as vl-eval's call decodes the whole chunk.
    const std::vector<std::uint32_t> context(chunk.begin() + 1, chunk.begin() + static_cast<long>(first) + 1);
    std::vector<std::uint32_t> sequence_tokens;
    std::vector<std::size_t> sequence_offsets{0};
    for (std::size_t k = 1; k <= counted; ++k) {
        sequence_tokens.insert(sequence_tokens.end(), chunk.begin() + static_cast<long>(first) + 1,
                               chunk.begin() + static_cast<long>(first + 1 + k));
        sequence_offsets.push_back(sequence_tokens.size());
    }
    const std::size_t context_offsets[] = {0, context.size()};
    const std::size_t task_offsets[] = {0, counted};
    std::vector<float> scores(counted);

    std::vector<double> call_ms;
    for (std::size_t r = 0; r < rounds; ++r) {
        if (!succeeded(vl_llama_prefill_shared(rt.get(), chunk.data(), 1, err, sizeof err), "prefill", err))
            return 1;
        bool ok = true;
        call_ms.push_back(time_ms([&] {
            ok = succeeded(vl_llama_score_sequence_batch(rt.get(), context.data(), context_offsets,
                                                         sequence_tokens.data(), sequence_offsets.data(),
                                                         task_offsets, 1, scores.data(), nullptr, err, sizeof err),
                           "score_sequence_batch", err);
        }));
        if (!ok) return 1;
    }
    // One row after the context's last token, one after each counted token
    // but the last.
    const std::size_t rows = counted;
    report_ms("chunk call (median of 3)", median(call_ms));
    report_log_softmax_share("the chunk", rt.get(), rows, median(call_ms));
    return 0;
}
