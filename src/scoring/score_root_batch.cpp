// vl_llama_score_root_batch: independent prompts in one decode, root r in
// sequence r from position 0, starting and ending with an empty memory.
#include <vector>

#include <llama.h>

#include "runtime/capacity.h"
#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/batch.h"
#include "scoring/candidate_logits.h"
#include "scoring/memory_clear_on_exit.h"
#include "scoring/shared_prefix.h"
#include "scoring/token_ids.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

outcome score_root_batch(vl_llama_runtime *runtime, const std::uint32_t *prompt_tokens,
                         const std::size_t *prompt_offsets, const std::uint32_t *candidate_ids,
                         const std::size_t *candidate_offsets, std::size_t root_count,
                         float *out_logits) {
    if (runtime == nullptr || runtime->ctx == nullptr || runtime->vocab == nullptr ||
        prompt_tokens == nullptr || prompt_offsets == nullptr || candidate_ids == nullptr ||
        candidate_offsets == nullptr || root_count < 2 || out_logits == nullptr ||
        prompt_offsets[0] != 0 || candidate_offsets[0] != 0)
        return "invalid multi-root scoring arguments";

    llama_memory_t mem = nullptr;
    if (runtime->n_seq_max < 2 || (mem = llama_get_memory(runtime->ctx)) == nullptr ||
        root_count > runtime->n_seq_max)
        return "multi-root task count exceeds llama.cpp sequence capacity";
    if (root_count > max_llama_int) return "multi-root task count exceeds llama.cpp sequence-id range";

    const std::size_t *R = prompt_offsets;
    const std::size_t *K = candidate_offsets;
    std::size_t longest = 0;
    for (std::size_t r = 0; r < root_count; ++r) {
        if (R[r + 1] <= R[r] || K[r + 1] < K[r] || K[r + 1] - K[r] < 2)
            return "multi-root offsets or candidate counts are invalid";
        if (R[r + 1] - R[r] > longest) longest = R[r + 1] - R[r];
    }
    const std::size_t n_tokens = R[root_count];
    if (n_tokens > max_llama_int) return "multi-root token buffers are invalid";
    const std::size_t limit = multi_root_token_limit(*runtime);
    if (limit != unlimited && n_tokens > limit)
        return "multi-root prompt tokens exceed configured batch/context capacity";
    if (runtime->n_ctx_seq != 0 && longest > runtime->n_ctx_seq)
        return "one multi-root prompt exceeds effective per-sequence context capacity";

    // The roots decode into an empty memory, and whatever happens next
    // leaves it empty again (the batch is freed first, then the memory).
    clear_memory_and_reset(*runtime, mem);
    memory_clear_on_exit clear_again(mem);
    batch_owner batch(static_cast<std::int32_t>(n_tokens));
    batch.get().n_tokens = static_cast<std::int32_t>(n_tokens);
    std::vector<std::int32_t> output_index(root_count, -1);

    std::int32_t n = 0;
    for (std::size_t r = 0; r < root_count; ++r) {
        for (std::size_t k = R[r]; k < R[r + 1]; ++k) {
            const std::uint32_t t = prompt_tokens[k];
            if (t > max_llama_int) return "multi-root prompt token id exceeds llama.cpp range";
            const bool last = k + 1 == R[r + 1];
            batch.set(n, static_cast<llama_token>(t), static_cast<llama_pos>(k - R[r]),
                      static_cast<llama_seq_id>(r), last);
            if (last) output_index[r] = n;
            ++n;
        }
    }
    // Within n_batch, but more than a context that cannot split it takes at
    // once: llama.cpp would abort, so the decode fails here.
    if (!fits_one_decode(*runtime, n_tokens, true) || llama_decode(runtime->ctx, batch.get()) != 0)
        return "llama_decode failed while scoring independent roots";

    for (std::size_t r = 0; r < root_count; ++r) {
        const float *row = llama_get_logits_ith(runtime->ctx, output_index[r]);
        if (row == nullptr) return "llama_get_logits_ith returned null for a multi-root output";
        if (outcome failure = copy_candidate_logits(runtime->vocab, row, candidate_ids + K[r],
                                                    K[r + 1] - K[r], out_logits + K[r]))
            return failure;
    }
    return ok;
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int32_t vl_llama_score_root_batch(
    vl_llama_runtime *runtime, const uint32_t *prompt_tokens, const size_t *prompt_offsets,
    const uint32_t *candidate_ids, const size_t *candidate_offsets, size_t root_count,
    float *out_logits, char *err, size_t err_cap) {
    return vl::status_export(err, err_cap, [&] {
        return vl::score_root_batch(runtime, prompt_tokens, prompt_offsets, candidate_ids,
                                    candidate_offsets, root_count, out_logits);
    });
}
