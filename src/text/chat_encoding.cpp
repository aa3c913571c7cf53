// vl_llama_encode_chat: chat messages to the token ids of a prompt.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "text/chat_prompt.h"
#include "text/contained_call.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

constexpr std::int32_t int32_min = std::numeric_limits<std::int32_t>::min();
constexpr std::size_t int32_max = std::numeric_limits<std::int32_t>::max();

// Tokenizes the whole prompt: add_special lets the vocabulary add its start
// and end tokens, parse_special turns special-token text into special tokens.
outcome tokenize_prompt(const llama_vocab *vocab, const std::string &prompt,
                        std::vector<llama_token> &tokens) {
    const std::int32_t length = static_cast<std::int32_t>(prompt.size());
    std::int32_t c = 0;
    if (!call_contained([&] {
            return llama_tokenize(vocab, prompt.data(), length, nullptr, 0, true, true);
        }, c))
        return "llama_tokenize failed";
    if (c == int32_min) return "llama_tokenize overflow";
    // llama.cpp reports the needed count of a too-small buffer as negative.
    const std::int32_t m = c < 0 ? -c : c;
    if (m == 0) return "llama_tokenize returned no tokens";

    std::vector<llama_token> filled(static_cast<std::size_t>(m));
    std::int32_t f = 0;
    if (!call_contained([&] {
            return llama_tokenize(vocab, prompt.data(), length, filled.data(), m, true, true);
        }, f) || f < 0 || f > m)
        return "llama_tokenize failed";
    filled.resize(static_cast<std::size_t>(f));
    tokens.swap(filled);
    return ok;
}

outcome encode_chat(const vl_llama_runtime *runtime, const char *system_message,
                    const char *user_message, const char *assistant_prefix,
                    std::uint32_t *out_tokens, std::size_t out_cap, std::int64_t &count) {
    std::string prompt;
    if (outcome failure = format_chat_prompt(runtime, system_message, user_message, prompt))
        return failure;
    if (assistant_prefix != nullptr) prompt += assistant_prefix;
    if (prompt.size() > int32_max) return "prompt exceeds llama.cpp int32 tokenization input limit";

    std::vector<llama_token> tokens;
    if (outcome failure = tokenize_prompt(runtime->vocab, prompt, tokens)) return failure;

    count = static_cast<std::int64_t>(tokens.size());
    if (out_tokens == nullptr || out_cap == 0) return ok;
    if (out_cap < tokens.size()) return "token output buffer is too small";
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i] < 0) return "llama.cpp produced a negative token id";
        out_tokens[i] = static_cast<std::uint32_t>(tokens[i]);
    }
    return ok;
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
