#include "scoring/sizing.h"

#include <algorithm>

namespace vl_eval {

std::string size_tasks(const std::vector<eval_item> &items, const prompt_builder &sizing,
                       task_sizes &sizes) {
    sizes = task_sizes{};
    sizes.needed.assign(items.size(), 0);
    sizes.common.assign(items.size(), 0);
    sizes.work.assign(items.size(), item_size{});
    std::vector<std::uint32_t> previous;
    for (std::size_t i = 0; i < items.size(); ++i) {
        item_prompt p;
        const prompt_status status = sizing.build(items[i], p);
        if (!status.failure.empty()) return item_name(items[i]) + ": " + status.failure;
        if (!status.skip.empty()) {
            previous.clear();
            continue;
        }
        sizes.needed[i] = prompt_builder::tokens_needed(p);
        sizes.work[i] = size_of(p);
        if (i > 0) sizes.common[i - 1] = common_prefix(previous, p.context);
        previous = std::move(p.context);
    }
    return {};
}

std::size_t choose_n_ctx(task_sizes &sizes, std::size_t ctx_option, long trained) {
    std::size_t n_ctx = ctx_option;
    if (n_ctx == 0) {
        n_ctx = 16;
        for (std::size_t n : sizes.needed) n_ctx = std::max(n_ctx, n);
        if (trained > 0) n_ctx = std::min(n_ctx, static_cast<std::size_t>(trained));
    }
    for (std::size_t i = 0; i < sizes.needed.size(); ++i)
        if (sizes.needed[i] > n_ctx) {
            sizes.common[i] = 0;
            if (i > 0) sizes.common[i - 1] = 0;
        }
    return n_ctx;
}

scoring_plan plan_scoring(const task_sizes &sizes, bool share, bool walk, const batch_limits &limits) {
    const std::size_t n = sizes.needed.size();
    scoring_plan plan;
    plan.prefix.assign(n, no_shared_prefix);
    if (share) plan.prefix = plan_shared_prefixes(sizes.common);
    if (walk) {
        for (std::size_t i = 0; i <= n; ++i) plan.starts.push_back(i);
    } else {
        plan.starts = plan_batches(plan.prefix, sizes.common, sizes.work, limits);
    }
    return plan;
}

}  // namespace vl_eval
