// A host's request to vl_llama_generate, and its checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "runtime/outcome.h"
#include "runtime/runtime.h"

namespace vl {

struct generation_request {
    const std::uint32_t *prompt_tokens;
    const std::size_t *prompt_offsets;
    std::size_t prompt_count;
    const char *stop_text;
    const std::size_t *stop_offsets;
    const std::size_t *stop_set_offsets;  // null: no stop strings
    std::uint32_t *out_tokens;
    const std::size_t *out_offsets;
    std::size_t *out_counts;
    std::int32_t *out_reasons;

    std::size_t prompt_length(std::size_t i) const {
        return prompt_offsets[i + 1] - prompt_offsets[i];
    }
    std::size_t limit(std::size_t i) const { return out_offsets[i + 1] - out_offsets[i]; }
    // Prompt i's stop strings, as views into stop_text.
    std::vector<std::string_view> stops(std::size_t i) const;
};

// Every check of the request, in the documented order, before anything in
// the context's memory changes.
outcome check_generation_request(const vl_llama_runtime *runtime, const generation_request &r);

}  // namespace vl
