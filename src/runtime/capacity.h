// Token capacities that both the batch scorers and the capacity queries use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/runtime.h"

namespace vl {

// No limit applies. Never handed to a host: the queries report it as 0.
inline constexpr std::size_t unlimited = SIZE_MAX;

// Total prompt tokens of one multi-root batch: the smaller of the non-zero
// values among n_batch and n_ctx, unlimited when both are 0.
inline std::size_t multi_root_token_limit(const vl_llama_runtime &runtime) noexcept {
    std::size_t limit = runtime.n_batch != 0 ? runtime.n_batch : unlimited;
    if (runtime.n_ctx != 0 && runtime.n_ctx < limit) limit = runtime.n_ctx;
    return limit;
}

// Total suffix tokens of one parallel suffix batch after the retained prefix:
// at most n_batch, and at most what the window leaves after the prefix.
inline std::size_t parallel_suffix_token_limit(const vl_llama_runtime &runtime) noexcept {
    std::size_t limit = runtime.n_batch != 0 ? runtime.n_batch : unlimited;
    if (runtime.n_ctx != 0) {
        if (runtime.shared_prefix_len >= runtime.n_ctx) return 0;
        const std::size_t remainder = runtime.n_ctx - runtime.shared_prefix_len;
        if (remainder < limit) limit = remainder;
    }
    return limit;
}

}  // namespace vl
