// The shared-prefix state: which prefix sequence 0 holds for the suffix scorers.
#pragma once

#include <llama.h>

#include "runtime/runtime.h"

namespace vl {

// Forgets the retained prefix: flag, length, then the kept logits (their
// capacity stays for the next prefill).
inline void reset_shared_prefix(vl_llama_runtime &runtime) noexcept {
    runtime.has_shared_prefix = false;
    runtime.shared_prefix_len = 0;
    runtime.shared_logits.clear();
}

// Empties the whole memory, data included, when the context has one, and
// with it the shared-prefix state.
inline void clear_memory_and_reset(vl_llama_runtime &runtime, llama_memory_t mem) {
    if (mem != nullptr) llama_memory_clear(mem, true);
    reset_shared_prefix(runtime);
}

}  // namespace vl
