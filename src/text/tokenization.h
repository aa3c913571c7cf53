// Text to llama.cpp tokens with the model's own vocabulary.
#pragma once

#include <cstddef>
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

}  // namespace vl
