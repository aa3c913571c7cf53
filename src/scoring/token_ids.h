// Host token ids (unsigned 32-bit) to llama.cpp tokens (signed 32-bit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <llama.h>

#include "runtime/outcome.h"

namespace vl {

inline constexpr std::uint64_t max_llama_int = 2147483647u;  // largest int32

// Checks the pointer, the count (at most 2147483647) and every id (at most
// 2147483647, in order) and fills out with the converted ids. On failure out
// is left empty.
outcome convert_token_ids(const std::uint32_t *tokens, std::size_t count,
                          std::vector<llama_token> &out);

// The same checks without a copy, for ids read in place: the count, then
// every id, with convert_token_ids's messages. tokens may be null when count
// is 0.
outcome ids_in_llama_range(const std::uint32_t *tokens, std::size_t count);

// Whether every id is below n_vocab (a positive vocabulary size).
bool ids_in_vocabulary(const std::uint32_t *tokens, std::size_t count, std::int32_t n_vocab);

// Offsets of count items that start at 0 and never go down (strictly rising
// when each item must own at least one entry).
bool offsets_valid(const std::size_t *offsets, std::size_t count, bool strictly);

}  // namespace vl
