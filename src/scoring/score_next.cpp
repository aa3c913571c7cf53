// vl_llama_score_next: raw candidate logits after a prompt decoded from scratch.
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/batch.h"
#include "scoring/candidate_logits.h"
#include "scoring/shared_prefix.h"
#include "scoring/token_ids.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

outcome score_next(vl_llama_runtime *runtime, const std::uint32_t *prompt_tokens,
                   std::size_t prompt_count, const std::uint32_t *candidate_ids,
                   std::size_t candidate_count, float *out_logits) {
    if (runtime == nullptr || runtime->ctx == nullptr || runtime->vocab == nullptr ||
        prompt_tokens == nullptr || prompt_count == 0 || candidate_ids == nullptr ||
        candidate_count < 2 || out_logits == nullptr)
        return "invalid scoring arguments";

    std::vector<llama_token> prompt;
    if (outcome failure = convert_token_ids(prompt_tokens, prompt_count, prompt)) return failure;

    // A context without memory (an encoder) still scores, within one physical batch.
    llama_memory_t mem = llama_get_memory(runtime->ctx);
    clear_memory_and_reset(*runtime, mem);

    if (!fits_one_decode(*runtime, prompt.size(), mem != nullptr)) return "llama_decode failed";
    llama_batch batch = llama_batch_get_one(prompt.data(), static_cast<std::int32_t>(prompt.size()));
    if (llama_decode(runtime->ctx, batch) != 0) return "llama_decode failed";

    const float *row = llama_get_logits_ith(runtime->ctx, -1);
    if (row == nullptr) return "llama_get_logits_ith returned null";
    return copy_candidate_logits(runtime->vocab, row, candidate_ids, candidate_count, out_logits);
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int32_t vl_llama_score_next(vl_llama_runtime *runtime,
                                                    const uint32_t *prompt_tokens,
                                                    size_t prompt_count,
                                                    const uint32_t *candidate_ids,
                                                    size_t candidate_count, float *out_logits,
                                                    char *err, size_t err_cap) {
    return vl::status_export(err, err_cap, [&] {
        return vl::score_next(runtime, prompt_tokens, prompt_count, candidate_ids,
                              candidate_count, out_logits);
    });
}
