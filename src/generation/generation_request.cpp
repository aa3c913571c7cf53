#include "generation/generation_request.h"

#include <llama.h>

#include "scoring/token_ids.h"

namespace vl {
namespace {

// Offsets from 0 that never go down.
bool rising(const std::size_t *offsets, std::size_t count) {
    if (offsets[0] != 0) return false;
    for (std::size_t i = 0; i < count; ++i)
        if (offsets[i + 1] < offsets[i]) return false;
    return true;
}

}  // namespace

std::vector<std::string_view> generation_request::stops(std::size_t i) const {
    std::vector<std::string_view> views;
    if (stop_set_offsets == nullptr) return views;
    for (std::size_t k = stop_set_offsets[i]; k < stop_set_offsets[i + 1]; ++k)
        views.emplace_back(stop_text + stop_offsets[k], stop_offsets[k + 1] - stop_offsets[k]);
    return views;
}

outcome check_generation_request(const vl_llama_runtime *runtime, const generation_request &r) {
    if (runtime == nullptr || runtime->ctx == nullptr || runtime->vocab == nullptr ||
        r.prompt_offsets == nullptr || r.prompt_count == 0 || r.out_offsets == nullptr ||
        r.out_counts == nullptr || r.out_reasons == nullptr ||
        (r.prompt_tokens == nullptr && r.prompt_offsets[r.prompt_count] != 0) ||
        (r.out_tokens == nullptr && r.out_offsets[r.prompt_count] != 0))
        return "invalid generation arguments";
    if (r.stop_set_offsets != nullptr) {
        if (r.stop_offsets == nullptr) return "invalid generation arguments";
        const std::size_t n_stops = r.stop_set_offsets[r.prompt_count];
        if (r.stop_text == nullptr && r.stop_offsets[n_stops] != 0)
            return "invalid generation arguments";
    }
    if (llama_get_memory(runtime->ctx) == nullptr)
        return "llama.cpp context does not expose sequence memory";

    if (!rising(r.prompt_offsets, r.prompt_count) || !rising(r.out_offsets, r.prompt_count))
        return "generation offsets are invalid";
    if (r.stop_set_offsets != nullptr) {
        if (!rising(r.stop_set_offsets, r.prompt_count) ||
            !rising(r.stop_offsets, r.stop_set_offsets[r.prompt_count]))
            return "generation offsets are invalid";
        for (std::size_t k = 0; k < r.stop_set_offsets[r.prompt_count]; ++k)
            if (r.stop_offsets[k + 1] == r.stop_offsets[k]) return "stop string is empty";
    }

    const std::size_t n_prompt = r.prompt_offsets[r.prompt_count];
    if (n_prompt > max_llama_int) return "token sequence is too large for llama.cpp";
    for (std::size_t i = 0; i < n_prompt; ++i)
        if (r.prompt_tokens[i] > max_llama_int) return "token id exceeds llama.cpp range";
    const std::int32_t n_vocab = llama_vocab_n_tokens(runtime->vocab);
    for (std::size_t i = 0; i < n_prompt; ++i)
        if (n_vocab <= 0 || r.prompt_tokens[i] >= static_cast<std::uint32_t>(n_vocab))
            return "prompt token exceeds vocabulary size";

    for (std::size_t i = 0; i < r.prompt_count; ++i)
        if (r.prompt_length(i) == 0 && !runtime->has_shared_prefix)
            return "prompt is empty and no shared prefix is retained";
    const std::size_t prefix = runtime->has_shared_prefix ? runtime->shared_prefix_len : 0;
    const std::size_t window = runtime->n_ctx != 0 ? runtime->n_ctx : max_llama_int;
    for (std::size_t i = 0; i < r.prompt_count; ++i) {
        const std::size_t limit = r.limit(i);
        if (limit == 0) continue;  // nothing of it is decoded
        // Every token but the last one generated is decoded after the prompt.
        const std::size_t length = r.prompt_length(i);
        if (limit - 1 > window || length > window || prefix + length + (limit - 1) > window)
            return "prompt and new-token limit do not fit the context window";
    }
    return ok;
}

}  // namespace vl
