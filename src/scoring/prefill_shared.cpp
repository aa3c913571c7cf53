// vl_llama_prefill_shared: decode a common prefix once and keep its last logits.
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/batch.h"
#include "scoring/shared_prefix.h"
#include "scoring/token_ids.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

outcome prefill_shared(vl_llama_runtime *runtime, const std::uint32_t *prefix_tokens,
                       std::size_t prefix_count) {
    if (runtime == nullptr || runtime->ctx == nullptr || runtime->vocab == nullptr ||
        prefix_tokens == nullptr || prefix_count == 0)
        return "invalid shared-prefix arguments";
    llama_memory_t mem = llama_get_memory(runtime->ctx);
    if (mem == nullptr) return "llama.cpp context does not expose reusable sequence memory";

    std::vector<llama_token> prefix;
    if (outcome failure = convert_token_ids(prefix_tokens, prefix_count, prefix)) return failure;

    clear_memory_and_reset(*runtime, mem);

    if (!fits_one_decode(*runtime, prefix.size(), true))
        return "llama_decode failed while prefilling shared prefix";
    llama_batch batch = llama_batch_get_one(prefix.data(), static_cast<std::int32_t>(prefix.size()));
    if (llama_decode(runtime->ctx, batch) != 0)
        return "llama_decode failed while prefilling shared prefix";

    const float *row = llama_get_logits_ith(runtime->ctx, -1);
    if (row == nullptr) return "llama_get_logits_ith returned null after shared prefill";
    const std::int32_t n_vocab = llama_vocab_n_tokens(runtime->vocab);
    if (n_vocab <= 0) return "llama.cpp vocabulary is empty";

    try {
        runtime->shared_logits.assign(row, row + n_vocab);  // reuses the capacity
    } catch (...) {
        runtime->shared_logits.clear();
        throw;
    }
    runtime->shared_prefix_len = prefix_count;
    runtime->has_shared_prefix = true;
    return ok;
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int32_t vl_llama_prefill_shared(vl_llama_runtime *runtime,
                                                        const uint32_t *prefix_tokens,
                                                        size_t prefix_count, char *err,
                                                        size_t err_cap) {
    return vl::status_export(err, err_cap, [&] {
        return vl::prefill_shared(runtime, prefix_tokens, prefix_count);
    });
}
