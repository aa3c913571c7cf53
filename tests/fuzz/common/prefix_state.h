// The retained-prefix state a scoring target starts each input from, and
// the state every call must leave behind whatever its outcome.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <llama.h>

#include "common/check.h"
#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

namespace vl_fuzz {

// Retains a prefix of prefix_len tokens (40, 41, ...), or, for 0, none: a
// from-scratch call discards whatever was retained.
inline void start_from_prefix(vl_llama_runtime *rt, std::size_t prefix_len) {
    char err[256] = "";
    if (prefix_len != 0) {
        std::vector<std::uint32_t> prefix(prefix_len);
        for (std::size_t k = 0; k < prefix_len; ++k) prefix[k] = 40 + static_cast<std::uint32_t>(k % 50);
        VL_FUZZ_CHECK(vl_llama_prefill_shared(rt, prefix.data(), prefix_len, err, sizeof err) == 0, "prefill");
    } else {
        const std::uint32_t one = 1, ids[2] = {3, 4};
        float ignored[2];
        VL_FUZZ_CHECK(vl_llama_score_next(rt, &one, 1, ids, 2, ignored, err, sizeof err) == 0, "reset");
    }
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
