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

}  // namespace vl
