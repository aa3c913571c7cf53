// The model's tokens through the library: plain text as the model reads it,
// and chat prompts laid out with its template. Both commands tokenize
// through here, so that what they score is what the library would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct vl_llama_runtime;

namespace vl_eval {

// Tokens of plain text as the model reads it, through the library: the start
// token where the vocabulary adds one, then the text with no special-token
// parsing (and no end token). Returns the library's error, empty on success.
std::string tokenize_raw(const vl_llama_runtime *runtime, const std::string &text,
                         std::vector<std::uint32_t> &out);

// The token an empty context is conditioned on: the start token where the
// vocabulary adds one, else its start-of-text (BOS) id, else its end-of-text
// (EOS) id, as the evaluation harness's HF model chooses it; -1 when the
// vocabulary has none of them. Qwen2's adds no start token but names
// <|endoftext|> as both.
std::int64_t conditioning_token(const vl_llama_runtime *runtime);

// Tokens of a chat prompt: system and user message laid out with the model's
// template, the assistant turn opened and followed by prefix (may be null).
// Returns the library's error, empty on success.
std::string encode_chat(vl_llama_runtime *runtime, const std::string &system, const std::string &user,
                        const char *prefix, std::vector<std::uint32_t> &out);

}  // namespace vl_eval
