#include "scoring/call_plan.h"

#include <algorithm>

namespace vl_eval {

using tokens = std::vector<std::uint32_t>;

std::size_t common_prefix(const tokens &a, const tokens &b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

std::vector<std::size_t> plan_shared_prefixes(const std::vector<std::size_t> &common) {
    const std::size_t n = common.size();
    // A run [a, b) sharing P tokens saves (b - a - 1) * P decoded tokens over
    // prefilling every item whole. best[i]: the largest saving for items
    // [0, i); start[i]: where the last run of that choice begins. Runs look
    // back over a bounded window, which costs one extra prefill per window.
    constexpr std::size_t window = 256;
    std::vector<std::uint64_t> best(n + 1, 0);
    std::vector<std::size_t> start(n + 1, 0), shared(n + 1, 0);
    for (std::size_t i = 1; i <= n; ++i) {
        best[i] = best[i - 1];
        start[i] = i - 1;
        shared[i] = 0;
        std::size_t p = no_shared_prefix;
        for (std::size_t a = i - 1; a-- > 0 && i - a <= window;) {
            p = std::min(p, common[a]);
            if (p == 0) break;
            const std::uint64_t saving = best[a] + static_cast<std::uint64_t>(i - 1 - a) * p;
            if (saving > best[i]) {
                best[i] = saving;
                start[i] = a;
                shared[i] = p;
            }
        }
    }
    std::vector<std::size_t> plan(n, no_shared_prefix);
    for (std::size_t i = n; i > 0; i = start[i])
        if (i - start[i] > 1)
            for (std::size_t k = start[i]; k < i; ++k) plan[k] = shared[i];
    return plan;
}

item_size size_of(const item_prompt &prompt) {
    item_size size;
    size.context = prompt.context.size();
    size.answers = prompt.answers.size();
    for (const answer_prompt &a : prompt.answers)
        if (!a.continuation.empty()) size.answer_tokens += a.continuation.size() - 1;
    return size;
}

std::vector<std::size_t> plan_batches(const std::vector<std::size_t> &plan,
                                      const std::vector<std::size_t> &common,
                                      const std::vector<item_size> &sizes,
                                      const batch_limits &limits) {
    const std::size_t n = plan.size();
    std::vector<std::size_t> starts;
    std::size_t tokens = 0, sequences = 0, token_budget = 0, sequence_budget = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t prefix = plan[i] == no_shared_prefix ? sizes[i].context : plan[i];
        const std::size_t work =
            sizes[i].context - std::min(prefix, sizes[i].context) + sizes[i].answer_tokens;
        const bool same_prefix = i > 0 && plan[i] != no_shared_prefix && plan[i - 1] == plan[i] &&
                                 common[i - 1] >= plan[i];
        if (same_prefix && tokens + work <= token_budget &&
            sequences + sizes[i].answers <= sequence_budget) {
            tokens += work;
            sequences += sizes[i].answers;
            continue;
        }
        starts.push_back(i);
        // What a decode holds after this group's prefix, at least one token.
        std::size_t per_decode = limits.tokens_per_decode;
        if (limits.n_ctx > prefix) per_decode = std::min(per_decode, limits.n_ctx - prefix);
        else per_decode = 1;
        token_budget = limits.decodes * std::max<std::size_t>(per_decode, 1);
        sequence_budget = limits.decodes * std::max<std::size_t>(limits.sequences_per_decode, 1);
        tokens = work;
        sequences = sizes[i].answers;
    }
    starts.push_back(n);
    return starts;
}

}  // namespace vl_eval
