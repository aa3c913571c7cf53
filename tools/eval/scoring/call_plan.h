// The plan of a run's library calls, made once for the whole task file
// before anything is scored: the prefix each item is scored after, and the
// items each call holds. Every shard and resumed run makes the same plan,
// so that it scores an item beside the same items after the same prefix and
// gets the same scores to the bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "prompts/prompts.h"

namespace vl_eval {

// How many leading tokens a and b share.
std::size_t common_prefix(const std::vector<std::uint32_t> &a, const std::vector<std::uint32_t> &b);

// The prefix length each item is scored after, chosen once for the whole
// task file so that every shard and every resumed run scores an item after
// the same decoded prefix, and so gets the same scores to the bit.
// common[i] is the number of leading context tokens items i and i + 1 share
// (0 where either cannot be scored). Consecutive items form runs that keep
// the tokens all of them share decoded once; the runs are chosen to decode
// the fewest tokens. An item alone in its run gets no_shared_prefix: it is
// prefilled whole.
constexpr std::size_t no_shared_prefix = static_cast<std::size_t>(-1);
std::vector<std::size_t> plan_shared_prefixes(const std::vector<std::size_t> &common);

// What one item adds to a batch call: its context tokens (the part after its
// prefix is decoded), the tokens of its answers but their last (an upper
// bound of the inner nodes decoded) and how many answers it has. All 0 for an
// item that cannot be scored.
struct item_size {
    std::size_t context = 0;
    std::size_t answer_tokens = 0;
    std::size_t answers = 0;
};
item_size size_of(const item_prompt &prompt);

// What one batch call may fill: `decodes` decodes of at most
// tokens_per_decode tokens and sequences_per_decode candidates each, in a
// window of n_ctx tokens that also holds the retained prefix.
struct batch_limits {
    std::size_t tokens_per_decode = 0;
    std::size_t sequences_per_decode = 0;
    std::size_t n_ctx = 0;
    std::size_t decodes = 4;
};

// The items of each batch call, as the starts of consecutive groups:
// group g is items [starts[g], starts[g + 1]), and starts ends with n.
// Consecutive items join one group while they have the same planned prefix
// (plan and common as for plan_shared_prefixes: the first plan[i] tokens of
// both contexts are equal) and the group stays within the limits; an item
// the plan leaves alone is a group of its own. Computed from the whole task
// file, so every shard and resumed run scores an item in the same group,
// beside the same items, and gets the same scores to the bit.
std::vector<std::size_t> plan_batches(const std::vector<std::size_t> &plan,
                                      const std::vector<std::size_t> &common,
                                      const std::vector<item_size> &sizes,
                                      const batch_limits &limits);

}  // namespace vl_eval
