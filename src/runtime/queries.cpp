// The capability and capacity queries: what a runtime can score, and how much
// one batch call may carry. They never fail, allocate nothing and change
// nothing; an unsupported mode and an empty capacity are both 0.
#include <llama.h>

#include "runtime/capacity.h"
#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

// Asked afresh on every query, and only after every other condition held,
// so that each query makes at most one call.
bool has_memory(const vl_llama_runtime *runtime) noexcept {
    try {
        return llama_get_memory(runtime->ctx) != nullptr;
    } catch (...) {
        return false;
    }
}

bool runs_parallel_suffixes(const vl_llama_runtime *runtime) noexcept {
    return runtime != nullptr && runtime->ctx != nullptr && runtime->n_seq_max >= 3 &&
           has_memory(runtime);
}

bool runs_multi_root(const vl_llama_runtime *runtime) noexcept {
    return runtime != nullptr && runtime->ctx != nullptr && runtime->vocab != nullptr &&
           runtime->n_seq_max >= 2 && has_memory(runtime);
}

}  // namespace
}  // namespace vl

extern "C" {

VL_LLAMA_API int32_t vl_llama_shared_prefix_supported(const vl_llama_runtime *runtime) {
    return runtime != nullptr && runtime->ctx != nullptr && vl::has_memory(runtime) ? 1 : 0;
}

VL_LLAMA_API int32_t vl_llama_sequence_scores_supported(const vl_llama_runtime *runtime) {
    return runtime != nullptr && runtime->ctx != nullptr && runtime->vocab != nullptr &&
                   vl::has_memory(runtime)
               ? 1
               : 0;
}

VL_LLAMA_API int32_t vl_llama_parallel_suffix_supported(const vl_llama_runtime *runtime) {
    return vl::runs_parallel_suffixes(runtime) ? 1 : 0;
}

VL_LLAMA_API int32_t vl_llama_multi_root_supported(const vl_llama_runtime *runtime) {
    return vl::runs_multi_root(runtime) ? 1 : 0;
}

// Sequence 0 keeps the prefix, so every other sequence can take a task.
VL_LLAMA_API uint32_t vl_llama_max_parallel_tasks(const vl_llama_runtime *runtime) {
    return vl::runs_parallel_suffixes(runtime) ? runtime->n_seq_max - 1 : 0;
}

// Depends on the retained prefix only; whether the mode runs at all is
// vl_llama_parallel_suffix_supported's answer.
VL_LLAMA_API size_t vl_llama_max_parallel_suffix_tokens(const vl_llama_runtime *runtime) {
    if (runtime == nullptr || !runtime->has_shared_prefix) return 0;
    const std::size_t limit = vl::decodable(*runtime, vl::parallel_suffix_token_limit(*runtime));
    return limit == vl::unlimited ? 0 : limit;
}

// Every sequence, sequence 0 included, can take a root.
VL_LLAMA_API uint32_t vl_llama_max_multi_root_tasks(const vl_llama_runtime *runtime) {
    return vl::runs_multi_root(runtime) ? runtime->n_seq_max : 0;
}

VL_LLAMA_API size_t vl_llama_max_multi_root_tokens(const vl_llama_runtime *runtime) {
    if (!vl::runs_multi_root(runtime)) return 0;
    const std::size_t limit = vl::decodable(*runtime, vl::multi_root_token_limit(*runtime));
    return limit == vl::unlimited ? 0 : limit;
}

}  // extern "C"
