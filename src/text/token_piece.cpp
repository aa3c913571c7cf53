// vl_llama_token_piece: the text of one token as the model reads it, special
// tokens written out, for hosts that show a prompt token by token.
#include <cstdint>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/token_ids.h"
#include "text/contained_call.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

// No leading space is stripped; special tokens give their text.
bool to_piece(const llama_vocab *vocab, llama_token token, char *text, std::int32_t length,
              std::int32_t &result) {
    return call_contained([&] { return llama_token_to_piece(vocab, token, text, length, 0, true); },
                          result);
}

outcome token_piece(const vl_llama_runtime *runtime, std::uint32_t token, char *out_text,
                    std::size_t out_cap, std::int64_t &length) {
    if (runtime == nullptr || runtime->vocab == nullptr) return "invalid decode arguments";
    // llama.cpp indexes its token table with the id unchecked on some paths.
    const std::int32_t n_vocab = llama_vocab_n_tokens(runtime->vocab);
    if (n_vocab <= 0 || token >= static_cast<std::uint32_t>(n_vocab))
        return "token id exceeds vocabulary size";
    const auto id = static_cast<llama_token>(token);

    std::int32_t c = 0;
    if (!to_piece(runtime->vocab, id, nullptr, 0, c)) return "llama_detokenize failed";
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
    if (!to_piece(runtime->vocab, id, out_text, text_len_max, r) || r < 0 || r > text_len_max)
        return "llama_detokenize failed";
    out_text[r] = '\0';
    length = r;
    return ok;
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int64_t vl_llama_token_piece(const vl_llama_runtime *runtime, uint32_t token,
                                                     char *out_text, size_t out_cap, char *err,
                                                     size_t err_cap) {
    return vl::count_export(err, err_cap, [&](std::int64_t &length) {
        return vl::token_piece(runtime, token, out_text, out_cap, length);
    });
}
