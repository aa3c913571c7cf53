// Token capacities that both the batch scorers and the capacity queries use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/runtime.h"

namespace vl {

// No limit applies. Never handed to a host: the queries report it as 0.
inline constexpr std::size_t unlimited = SIZE_MAX;

// The most tokens one llama_decode accepts on the runtime's context, or
// unlimited. llama.cpp aborts the process, rather than failing, on a larger
// batch. It computes a decode in physical batches of n_ubatch tokens only
// where sequence memory carries one piece to the next and attention is
// causal: a context without memory goes through llama.cpp's encoder, and
// non-causal attention must see every token at once, so there the whole
// batch has to fit one physical batch. (A real context never reports 0 for
// either size; 0 means no known limit.)
inline std::size_t largest_decode(const vl_llama_runtime &runtime, bool has_memory) noexcept {
    std::size_t limit = runtime.n_batch != 0 ? runtime.n_batch : unlimited;
    if ((!has_memory || !runtime.causal_attn) && runtime.n_ubatch != 0 && runtime.n_ubatch < limit)
        limit = runtime.n_ubatch;
    return limit;
}

// Total prompt tokens of one multi-root batch as the scorer checks them
// first: the smaller of the non-zero values among n_batch and n_ctx,
// unlimited when both are 0.
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

// What the capacity queries report: a limit above, further bounded by what
// one decode of a context with sequence memory accepts (both batch modes
// need memory), so that a request filled to the reported value decodes.
inline std::size_t decodable(const vl_llama_runtime &runtime, std::size_t limit) noexcept {
    const std::size_t physical = largest_decode(runtime, true);
    return physical < limit ? physical : limit;
}

}  // namespace vl
