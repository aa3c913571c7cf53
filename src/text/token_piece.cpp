// vl_llama_token_piece: the text of one token as the model reads it, special
// tokens written out, for hosts that show a prompt token by token.
#include <cstdint>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "text/contained_call.h"
#include "text/text_output.h"
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

    return query_then_fill([&](char *text, std::int32_t length_max, std::int32_t &result) {
        return to_piece(runtime->vocab, id, text, length_max, result);
    }, out_text, out_cap, length);
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
