// vl_llama_encode_chat: chat messages to the token ids of a prompt.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "text/chat_prompt.h"
#include "text/tokenization.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

constexpr std::size_t int32_max = std::numeric_limits<std::int32_t>::max();

outcome encode_chat(const vl_llama_runtime *runtime, const char *system_message,
                    const char *user_message, const char *assistant_prefix,
                    std::uint32_t *out_tokens, std::size_t out_cap, std::int64_t &count) {
    std::string prompt;
    if (outcome failure = format_chat_prompt(runtime, system_message, user_message, prompt))
        return failure;
    if (assistant_prefix != nullptr) prompt += assistant_prefix;
    if (prompt.size() > int32_max) return "prompt exceeds llama.cpp int32 tokenization input limit";

    std::vector<llama_token> tokens;
    if (outcome failure = tokenize_text(runtime->vocab, prompt.data(), prompt.size(), true, true, tokens))
        return failure;
    if (tokens.empty()) return "llama_tokenize returned no tokens";

    return copy_token_ids(tokens, out_tokens, out_cap, count);
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int64_t vl_llama_encode_chat(const vl_llama_runtime *runtime,
                                                     const char *system_message,
                                                     const char *user_message,
                                                     const char *assistant_prefix,
                                                     uint32_t *out_tokens, size_t out_cap,
                                                     char *err, size_t err_cap) {
    return vl::count_export(err, err_cap, [&](std::int64_t &count) {
        return vl::encode_chat(runtime, system_message, user_message, assistant_prefix,
                               out_tokens, out_cap, count);
    });
}
