// vl_llama_decode_tokens: token ids back to text.
#include <cstdint>
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/token_ids.h"
#include "text/contained_call.h"
#include "text/text_output.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

// Special tokens are neither rendered nor stripped: both flags stay false.
// An id outside the vocabulary makes llama_detokenize throw; that is a
// failed call like any other.
bool detokenize(const llama_vocab *vocab, const std::vector<llama_token> &ids, char *text,
                std::int32_t text_len_max, std::int32_t &result) {
    return call_contained([&] {
        return llama_detokenize(vocab, ids.data(), static_cast<std::int32_t>(ids.size()), text,
                                text_len_max, false, false);
    }, result);
}

outcome decode_tokens(const vl_llama_runtime *runtime, const std::uint32_t *tokens,
                      std::size_t token_count, char *out_text, std::size_t out_cap,
                      std::int64_t &length) {
    if (runtime == nullptr || runtime->vocab == nullptr || (tokens == nullptr && token_count != 0))
        return "invalid decode arguments";
    if (token_count > max_llama_int) return "too many tokens to decode";

    std::vector<llama_token> ids;
    if (token_count != 0) {
        if (outcome failure = convert_token_ids(tokens, token_count, ids)) return failure;
    }

    return query_then_fill([&](char *text, std::int32_t length_max, std::int32_t &result) {
        return detokenize(runtime->vocab, ids, text, length_max, result);
    }, out_text, out_cap, length);
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int64_t vl_llama_decode_tokens(const vl_llama_runtime *runtime,
                                                       const uint32_t *tokens,
                                                       size_t token_count, char *out_text,
                                                       size_t out_cap, char *err,
                                                       size_t err_cap) {
    return vl::count_export(err, err_cap, [&](std::int64_t &length) {
        return vl::decode_tokens(runtime, tokens, token_count, out_text, out_cap, length);
    });
}
