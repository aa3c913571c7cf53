// Sizing and planning over the whole task file, before any item is scored:
// the positions each item needs, the context window, the prefixes runs of
// items share and the items of each library call. Computed from the whole
// file, so that every shard and resumed run plans alike and scores an item
// to the same bits.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tasks/eval_item.h"
#include "prompts/prompts.h"
#include "scoring/call_plan.h"

namespace vl_eval {

// What the whole task file needs: the positions each item takes (0: it
// cannot be scored), the leading context tokens each item shares with the
// next one, and what each item adds to a batch call.
struct task_sizes {
    std::vector<std::size_t> needed;
    std::vector<std::size_t> common;
    std::vector<item_size> work;
};
// A failure of the library to build an item's prompt stops the sizing:
// returns it, naming the item, empty on success.
std::string size_tasks(const std::vector<eval_item> &items, const prompt_builder &sizing,
                       task_sizes &sizes);

// The window longer items are skipped beyond: ctx_option when it is not 0,
// otherwise the longest item's need (at least 16), at most trained (when
// positive). Items past it share no prefix with their neighbours.
std::size_t choose_n_ctx(task_sizes &sizes, std::size_t ctx_option, long trained);

// The prefix each item is scored after and the starts of the items of each
// library call (one item a call when walking), as plan_shared_prefixes and
// plan_batches make them.
struct scoring_plan {
    std::vector<std::size_t> prefix;
    std::vector<std::size_t> starts;
};
scoring_plan plan_scoring(const task_sizes &sizes, bool share, bool walk, const batch_limits &limits);

}  // namespace vl_eval
