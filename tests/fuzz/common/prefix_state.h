// The retained-prefix state a scoring target's input asks for, and the
// state every call must leave behind whatever its outcome.
#pragma once

#include <cstddef>
#include <cstdint>

#include <llama.h>

#include "common/check.h"
#include "common/fixture_runtime.h"
#include "common/input_reader.h"
#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

namespace vl_fuzz {

// The mode byte's bit of value 8 retains a prefix of 1 to 6 tokens (the
// next byte says how many), else none; the runtime is put in that state
// before the call under test, and the length returned.
inline std::size_t retain_prefix_asked(vl_llama_runtime *rt, input_reader &in, std::uint8_t mode) {
    const std::size_t prefix_len = mode & 8 ? 1 + in.u8() % 6 : 0;
    VL_FUZZ_CHECK(retain_prefix_or_reset(rt, prefix_len), "the prefix state the input chose");
    return prefix_len;
}

// The prefix stays as it was (or none stays), and no scratch sequence is
// left behind.
inline void check_prefix_kept(vl_llama_runtime *rt, std::size_t prefix_len) {
    llama_memory_t memory = llama_get_memory(rt->ctx);
    VL_FUZZ_CHECK(rt->has_shared_prefix == (prefix_len != 0), "the shared-prefix state is kept");
    if (prefix_len != 0)
        VL_FUZZ_CHECK(llama_memory_seq_pos_max(memory, 0) == static_cast<llama_pos>(prefix_len - 1), "prefix kept");
    for (llama_seq_id s = 1; s < static_cast<llama_seq_id>(rt->n_seq_max); ++s)
        VL_FUZZ_CHECK(llama_memory_seq_pos_max(memory, s) == -1, "no scratch sequence left");
}

}  // namespace vl_fuzz
