// vl_llama_score_suffix_batch: many suffix tasks after the retained prefix,
// task i in its own copy of the prefix (sequence i + 1), all in one decode.
#include <optional>
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/batch.h"
#include "scoring/candidate_logits.h"
#include "scoring/scratch_sequences.h"
#include "scoring/token_ids.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

outcome score_suffix_batch(vl_llama_runtime *runtime, const std::uint32_t *suffix_tokens,
                           const std::size_t *suffix_offsets, const std::uint32_t *candidate_ids,
                           const std::size_t *candidate_offsets, std::size_t task_count,
                           float *out_logits) {
    if (runtime == nullptr || runtime->ctx == nullptr || runtime->vocab == nullptr ||
        !runtime->has_shared_prefix || suffix_offsets == nullptr || candidate_offsets == nullptr ||
        candidate_ids == nullptr || out_logits == nullptr || task_count < 2)
        return "invalid parallel shared-suffix arguments";

    // Sequence 0 holds the prefix; tasks take sequences 1 to task_count.
    llama_memory_t mem = nullptr;
    if (runtime->n_seq_max < 3 || (mem = llama_get_memory(runtime->ctx)) == nullptr ||
        task_count > runtime->n_seq_max - 1u)
        return "parallel suffix task count exceeds llama.cpp sequence capacity";
    if (task_count > max_llama_int - 1)
        return "parallel suffix task count exceeds llama.cpp sequence-id range";

    const std::size_t *S = suffix_offsets;
    const std::size_t *K = candidate_offsets;
    if (S[0] != 0 || K[0] != 0) return "parallel suffix offsets must start at zero";
    std::size_t longest = 0;
    for (std::size_t i = 0; i < task_count; ++i) {
        if (S[i + 1] < S[i] || K[i + 1] < K[i]) return "parallel suffix offsets must be monotonic";
        if (K[i + 1] - K[i] < 2) return "each parallel suffix task requires at least two candidates";
        if (S[i + 1] - S[i] > longest) longest = S[i + 1] - S[i];
    }
    const std::size_t n_tokens = S[task_count];
    if (n_tokens > 0 && suffix_tokens == nullptr) return "parallel suffix token buffer is null";
    if (n_tokens > max_llama_int) return "parallel suffix token count exceeds llama.cpp batch range";
    if (runtime->n_batch != 0 && n_tokens > runtime->n_batch)
        return "parallel suffix token count exceeds configured n_batch";
    const std::size_t prefix_len = runtime->shared_prefix_len;
    if (runtime->n_ctx != 0) {
        if (prefix_len > runtime->n_ctx || longest > runtime->n_ctx - prefix_len)
            return "shared prefix plus suffix exceeds configured n_ctx";
        if (n_tokens > runtime->n_ctx - prefix_len)
            return "parallel suffix batch exceeds available context capacity";
    }

    // From here every exit removes sequences 1 to task_count again.
    scratch_sequences tasks(mem, 1, static_cast<llama_seq_id>(task_count));
    tasks.copy_prefix();
    std::vector<std::int32_t> output_index(task_count, -1);

    std::optional<batch_owner> batch;
    if (n_tokens > 0) {
        batch.emplace(static_cast<std::int32_t>(n_tokens));
        batch->get().n_tokens = static_cast<std::int32_t>(n_tokens);
        if (prefix_len > max_llama_int) return "shared prefix exceeds llama.cpp position range";
        std::int32_t n = 0;
        for (std::size_t i = 0; i < task_count; ++i) {
            for (std::size_t k = S[i]; k < S[i + 1]; ++k) {
                const std::uint32_t t = suffix_tokens[k];
                if (t > max_llama_int) return "parallel suffix token id exceeds llama.cpp range";
                const bool last = k + 1 == S[i + 1];
                batch->set(n, static_cast<llama_token>(t),
                           static_cast<llama_pos>(prefix_len + (k - S[i])),
                           static_cast<llama_seq_id>(i + 1), last);
                if (last) output_index[i] = n;
                ++n;
            }
        }
        // Within n_batch, but more than a context that cannot split it
        // takes at once: llama.cpp would abort, so the decode fails here.
        if (!fits_one_decode(*runtime, n_tokens, true) || llama_decode(runtime->ctx, batch->get()) != 0)
            return "llama_decode failed while scoring parallel suffixes";
    }

    for (std::size_t i = 0; i < task_count; ++i) {
        const float *row = nullptr;
        if (S[i + 1] == S[i]) {
            // An empty suffix continues straight from the prefix's last logits.
            if (runtime->shared_logits.empty()) return "shared prefix has no retained logits";
            row = runtime->shared_logits.data();
        } else {
            row = llama_get_logits_ith(runtime->ctx, output_index[i]);
            if (row == nullptr) return "llama_get_logits_ith returned null for a parallel suffix";
        }
        if (outcome failure = copy_candidate_logits(runtime->vocab, row, candidate_ids + K[i],
                                                    K[i + 1] - K[i], out_logits + K[i]))
            return failure;
    }
    return ok;
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int32_t vl_llama_score_suffix_batch(
    vl_llama_runtime *runtime, const uint32_t *suffix_tokens, const size_t *suffix_offsets,
    const uint32_t *candidate_ids, const size_t *candidate_offsets, size_t task_count,
    float *out_logits, char *err, size_t err_cap) {
    return vl::status_export(err, err_cap, [&] {
        return vl::score_suffix_batch(runtime, suffix_tokens, suffix_offsets, candidate_ids,
                                      candidate_offsets, task_count, out_logits);
    });
}
