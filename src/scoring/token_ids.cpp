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

}  // namespace vl
