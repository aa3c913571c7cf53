// Text to llama.cpp tokens with the model's own vocabulary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <llama.h>

#include "runtime/outcome.h"

namespace vl {

// Tokenizes length bytes of text (at most INT32_MAX): add_special lets the
// vocabulary add its start and end tokens, parse_special turns special-token
// text into special tokens. An input that makes no token gives an empty
// vector, not a failure.
outcome tokenize_text(const llama_vocab *vocab, const char *text, std::size_t length,
                      bool add_special, bool parse_special, std::vector<llama_token> &tokens);

// Hands tokens to the host the way the text exports do: count is always
// set; with no buffer (out_tokens null or out_cap 0) that is all, otherwise
// the ids are written when they fit.
outcome copy_token_ids(const std::vector<llama_token> &tokens, std::uint32_t *out_tokens,
                       std::size_t out_cap, std::int64_t &count);

}  // namespace vl
