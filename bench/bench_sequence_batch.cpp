// Section "sequence_batch": HellaSwag-shaped items (a context of about 130
// tokens and four endings of about 16 tokens that share no first token)
// scored by the trie walk, one item at a time, and by the sequence batch
// scorer, all items in one call, alternating in one process; plus the share
// of the batch call that the vocabulary log-softmax of its rows takes.
#include <cmath>

#include "bench_support.h"

namespace {

using namespace vl_bench;

constexpr std::size_t items = 8, endings = 4, context_len = 130, ending_len = 16, rounds = 3;

struct item {
    std::vector<std::uint32_t> context;
    std::vector<std::uint32_t> ending_tokens;
    std::vector<std::size_t> ending_offsets{0};
};

std::vector<item> make_items() {
    std::vector<item> out(items);
    for (std::size_t i = 0; i < items; ++i) {
        out[i].context = tokens(context_len + i % 7, static_cast<std::uint32_t>(i + 1));
        for (std::size_t e = 0; e < endings; ++e) {
            std::vector<std::uint32_t> ending = tokens(ending_len - 2 + e, static_cast<std::uint32_t>(100 + i * 10 + e));
            ending[0] = static_cast<std::uint32_t>(500 + e);  // no two endings share their first token
            out[i].ending_tokens.insert(out[i].ending_tokens.end(), ending.begin(), ending.end());
            out[i].ending_offsets.push_back(out[i].ending_tokens.size());
        }
    }
    return out;
}

}  // namespace

int bench_sequence_batch(const char *model_path) {
    std::printf("sequence_batch: %zu HellaSwag-shaped items (context ~%zu tokens, %zu endings of ~%zu)\n", items,
                context_len, endings, ending_len);
    runtime_ptr rt = open_runtime(model_path, 2048, 512, 16);
    if (rt == nullptr) return 1;
    const std::vector<item> set = make_items();
    char err[256] = "";
    const std::uint32_t start[] = {1};

    // The whole set as one batch call.
    std::vector<std::uint32_t> contexts, sequence_tokens;
    std::vector<std::size_t> context_offsets{0}, sequence_offsets{0}, task_offsets{0};
    std::size_t rows = 0;
    for (const item &it : set) {
        contexts.insert(contexts.end(), it.context.begin(), it.context.end());
        context_offsets.push_back(contexts.size());
        for (std::size_t e = 0; e < endings; ++e) {
            sequence_offsets.push_back(sequence_tokens.size() + it.ending_offsets[e + 1]);
            rows += it.ending_offsets[e + 1] - it.ending_offsets[e] - 1;  // inner nodes
        }
        sequence_tokens.insert(sequence_tokens.end(), it.ending_tokens.begin(), it.ending_tokens.end());
        task_offsets.push_back(sequence_offsets.size() - 1);
        rows += 1;  // the context's last token
    }
    std::vector<float> walk_scores(items * endings), batch_scores(items * endings);

    std::vector<double> walk_ms, batch_ms;
    for (std::size_t r = 0; r < rounds; ++r) {
        bool ok = true;
        walk_ms.push_back(time_ms([&] {
            ok = ok && succeeded(vl_llama_prefill_shared(rt.get(), start, 1, err, sizeof err), "prefill", err);
            for (std::size_t i = 0; ok && i < items; ++i)
                ok = succeeded(vl_llama_score_suffix_sequences(rt.get(), set[i].context.data(), set[i].context.size(),
                                                               set[i].ending_tokens.data(),
                                                               set[i].ending_offsets.data(), endings,
                                                               walk_scores.data() + i * endings, err, sizeof err),
                               "score_suffix_sequences", err);
        }));
        batch_ms.push_back(time_ms([&] {
            ok = ok && succeeded(vl_llama_prefill_shared(rt.get(), start, 1, err, sizeof err), "prefill", err);
            ok = ok && succeeded(vl_llama_score_sequence_batch(rt.get(), contexts.data(), context_offsets.data(),
                                                               sequence_tokens.data(), sequence_offsets.data(),
                                                               task_offsets.data(), items, batch_scores.data(),
                                                               nullptr, err, sizeof err),
                                 "score_sequence_batch", err);
        }));
        if (!ok) return 1;
    }
    float worst = 0.0f;
    for (std::size_t k = 0; k < walk_scores.size(); ++k)
        worst = std::max(worst, std::fabs(walk_scores[k] - batch_scores[k]));

    const double walk = median(walk_ms) / items, batch = median(batch_ms) / items;
    report_ms("trie walk, per item (median of 3)", walk);
    report_ms("sequence batch, per item (median of 3)", batch);
    report_ratio("walk / batch", walk / batch);
    std::printf("  %-52s %10.2g\n", "largest score difference", static_cast<double>(worst));
    // The library's log-softmax of as many rows of the vocabulary's width.
    report_log_softmax_share("the batch call", rt.get(), rows, median(batch_ms));
    return 0;
}
