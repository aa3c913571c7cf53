// vl_llama_tokenize: any text to token ids with the model's own vocabulary,
// for hosts that lay out their prompts themselves.
#include <cstdint>
#include <limits>
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "text/tokenization.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

outcome tokenize(const vl_llama_runtime *runtime, const char *text, std::size_t text_len,
                 std::int32_t add_special, std::int32_t parse_special, std::uint32_t *out_tokens,
                 std::size_t out_cap, std::int64_t &count) {
    if (runtime == nullptr || runtime->vocab == nullptr || (text == nullptr && text_len != 0))
        return "invalid tokenize arguments";
    if (text_len > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        return "text exceeds llama.cpp int32 tokenization input limit";
    std::vector<llama_token> tokens;
    if (outcome failure = tokenize_text(runtime->vocab, text == nullptr ? "" : text, text_len,
                                        add_special != 0, parse_special != 0, tokens))
        return failure;
    return copy_token_ids(tokens, out_tokens, out_cap, count);
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int64_t vl_llama_tokenize(const vl_llama_runtime *runtime, const char *text,
                                                  size_t text_len, int32_t add_special,
                                                  int32_t parse_special, uint32_t *out_tokens,
                                                  size_t out_cap, char *err, size_t err_cap) {
    return vl::count_export(err, err_cap, [&](std::int64_t &count) {
        return vl::tokenize(runtime, text, text_len, add_special, parse_special, out_tokens, out_cap,
                            count);
    });
}
