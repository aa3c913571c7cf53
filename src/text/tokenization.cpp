#include "text/tokenization.h"

#include <cstdint>
#include <limits>

#include "text/contained_call.h"

namespace vl {

outcome tokenize_text(const llama_vocab *vocab, const char *text, std::size_t length,
                      bool add_special, bool parse_special, std::vector<llama_token> &tokens) {
    const std::int32_t n = static_cast<std::int32_t>(length);
    std::int32_t c = 0;
    if (!call_contained([&] {
            return llama_tokenize(vocab, text, n, nullptr, 0, add_special, parse_special);
        }, c))
        return "llama_tokenize failed";
    if (c == std::numeric_limits<std::int32_t>::min()) return "llama_tokenize overflow";
    // llama.cpp reports the needed count of a too-small buffer as negative.
    const std::int32_t m = c < 0 ? -c : c;
    tokens.clear();
    if (m == 0) return ok;

    std::vector<llama_token> filled(static_cast<std::size_t>(m));
    std::int32_t f = 0;
    if (!call_contained([&] {
            return llama_tokenize(vocab, text, n, filled.data(), m, add_special, parse_special);
        }, f) || f < 0 || f > m)
        return "llama_tokenize failed";
    filled.resize(static_cast<std::size_t>(f));
    tokens.swap(filled);
    return ok;
}

outcome copy_token_ids(const std::vector<llama_token> &tokens, std::uint32_t *out_tokens,
                       std::size_t out_cap, std::int64_t &count) {
    count = static_cast<std::int64_t>(tokens.size());
    if (out_tokens == nullptr || out_cap == 0) return ok;
    if (out_cap < tokens.size()) return "token output buffer is too small";
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i] < 0) return "llama.cpp produced a negative token id";
        out_tokens[i] = static_cast<std::uint32_t>(tokens[i]);
    }
    return ok;
}

}  // namespace vl
