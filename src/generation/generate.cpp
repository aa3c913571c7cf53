// vl_llama_generate: greedy generation for many prompts in parallel
// sequences that share every decode.
#include <cstdint>

#include <llama.h>

#include "generation/generation_request.h"
#include "generation/greedy_generation.h"
#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/shared_prefix.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

// Puts the memory back on every exit: the scratch sequences emptied, and
// sequence 0 back to the retained prefix alone, or the memory cleared when
// no prefix is retained.
class generation_memory {
public:
    generation_memory(vl_llama_runtime &runtime, llama_memory_t memory)
        : runtime_(runtime), memory_(memory) {}
    ~generation_memory() {
        if (!runtime_.has_shared_prefix) {
            llama_memory_clear(memory_, true);
            return;
        }
        for (llama_seq_id s = 1; s < static_cast<llama_seq_id>(runtime_.n_seq_max); ++s)
            llama_memory_seq_rm(memory_, s, -1, -1);
        llama_memory_seq_rm(memory_, 0, static_cast<llama_pos>(runtime_.shared_prefix_len), -1);
    }
    generation_memory(const generation_memory &) = delete;
    generation_memory &operator=(const generation_memory &) = delete;

private:
    vl_llama_runtime &runtime_;
    llama_memory_t memory_;
};

outcome generate(vl_llama_runtime *runtime, const generation_request &request) {
    if (outcome failure = check_generation_request(runtime, request)) return failure;
    llama_memory_t memory = llama_get_memory(runtime->ctx);
    if (!runtime->has_shared_prefix) clear_memory_and_reset(*runtime, memory);
    generation_memory restore(*runtime, memory);
    greedy_generation loop(*runtime, memory, request, llama_vocab_n_tokens(runtime->vocab));
    return loop.run();
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int32_t vl_llama_generate(
    vl_llama_runtime *runtime, const uint32_t *prompt_tokens, const size_t *prompt_offsets,
    size_t prompt_count, const char *stop_text, const size_t *stop_offsets,
    const size_t *stop_set_offsets, uint32_t *out_tokens, const size_t *out_offsets,
    size_t *out_counts, int32_t *out_reasons, char *err, size_t err_cap) {
    return vl::status_export(err, err_cap, [&] {
        const vl::generation_request request{prompt_tokens, prompt_offsets, prompt_count,
                                             stop_text,     stop_offsets,   stop_set_offsets,
                                             out_tokens,    out_offsets,    out_counts,
                                             out_reasons};
        return vl::generate(runtime, request);
    });
}
