// vl_llama_decode_tokens: token ids back to text.
#include <cstdint>
#include <limits>
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/token_ids.h"
#include "text/contained_call.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

constexpr std::int32_t int32_min = std::numeric_limits<std::int32_t>::min();

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

    std::int32_t c = 0;
    if (!detokenize(runtime->vocab, ids, nullptr, 0, c)) return "llama_detokenize failed";
    if (c == int32_min) return "llama_detokenize overflow";
    // llama.cpp reports the length a too-small buffer needed as negative.
    const std::int64_t m = c < 0 ? -static_cast<std::int64_t>(c) : c;

    if (out_text == nullptr || out_cap == 0) {
        length = m;
        return ok;
    }
    if (out_cap <= static_cast<std::uint64_t>(m)) return "decode output buffer is too small";

    const std::int32_t text_len_max =
        static_cast<std::int32_t>(out_cap - 1 > max_llama_int ? max_llama_int : out_cap - 1);
    std::int32_t r = 0;
    // A result beyond the buffer's length would put the NUL outside it.
    if (!detokenize(runtime->vocab, ids, out_text, text_len_max, r) || r < 0 ||
        r > text_len_max)
        return "llama_detokenize failed";
    out_text[r] = '\0';
    length = r;
    return ok;
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
