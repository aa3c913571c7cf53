#include "scoring/token_ids.h"

namespace vl {

outcome convert_token_ids(const std::uint32_t *tokens, std::size_t count,
                          std::vector<llama_token> &out) {
    out.clear();
    if (tokens == nullptr) return "token pointer is null";
    if (count > max_llama_int) return "token sequence is too large for llama.cpp";
    out.assign(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        if (tokens[i] > max_llama_int) {
            out.clear();
            return "token id exceeds llama.cpp range";
        }
        out[i] = static_cast<llama_token>(tokens[i]);
    }
    return ok;
}

outcome ids_in_llama_range(const std::uint32_t *tokens, std::size_t count) {
    if (count > max_llama_int) return "token sequence is too large for llama.cpp";
    for (std::size_t i = 0; i < count; ++i)
        if (tokens[i] > max_llama_int) return "token id exceeds llama.cpp range";
    return ok;
}

bool ids_in_vocabulary(const std::uint32_t *tokens, std::size_t count, std::int32_t n_vocab) {
    for (std::size_t i = 0; i < count; ++i)
        if (tokens[i] >= static_cast<std::uint32_t>(n_vocab)) return false;
    return true;
}

bool offsets_valid(const std::size_t *offsets, std::size_t count, bool strictly) {
    if (offsets[0] != 0) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (offsets[i + 1] < offsets[i] || (strictly && offsets[i + 1] == offsets[i])) return false;
    }
    return true;
}

}  // namespace vl
