// Size query then fill for llama.cpp's text writers (llama_detokenize,
// llama_token_to_piece), shared by the exports that return text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "runtime/outcome.h"
#include "scoring/token_ids.h"

namespace vl {

// write(text, text_len_max, result) makes the llama.cpp call contained (see
// call_contained) and returns whether it returned. With out_text NULL or
// out_cap 0 only the length is asked; otherwise the text is written with its
// NUL, into a buffer that must hold both.
template <class Write>
outcome query_then_fill(Write &&write, char *out_text, std::size_t out_cap, std::int64_t &length) {
    std::int32_t c = 0;
    if (!write(nullptr, 0, c)) return "llama_detokenize failed";
    if (c == std::numeric_limits<std::int32_t>::min()) return "llama_detokenize overflow";
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
    if (!write(out_text, text_len_max, r) || r < 0 || r > text_len_max) return "llama_detokenize failed";
    out_text[r] = '\0';
    length = r;
    return ok;
}

// Size query then fill for text the library made itself: with out_text
// NULL or out_cap 0 only the length is set; otherwise the text and a NUL
// are written when both fit, else too_small is the outcome.
inline outcome copy_text(const std::string &text, char *out_text, std::size_t out_cap,
                         outcome too_small, std::int64_t &length) {
    if (out_text != nullptr && out_cap != 0) {
        if (out_cap <= text.size()) return too_small;
        std::memcpy(out_text, text.data(), text.size());
        out_text[text.size()] = '\0';
    }
    length = static_cast<std::int64_t>(text.size());
    return ok;
}

}  // namespace vl
