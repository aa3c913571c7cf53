// vl_llama_score_suffix: raw candidate logits after the retained prefix plus a suffix.
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

// The suffix continues sequence 0 in sequence 1.
constexpr llama_seq_id suffix_seq = 1;

outcome score_suffix(vl_llama_runtime *runtime, const std::uint32_t *suffix_tokens,
                     std::size_t suffix_count, const std::uint32_t *candidate_ids,
                     std::size_t candidate_count, float *out_logits) {
    if (runtime == nullptr || runtime->ctx == nullptr || runtime->vocab == nullptr ||
        !runtime->has_shared_prefix || (suffix_tokens == nullptr && suffix_count != 0) ||
        candidate_ids == nullptr || candidate_count < 2 || out_logits == nullptr)
        return "invalid shared-suffix scoring arguments";

    // The kept row already holds the next-token logits after the prefix.
    if (suffix_count == 0) {
        if (runtime->shared_logits.empty()) return "shared prefix has no retained logits";
        return copy_candidate_logits(runtime->vocab, runtime->shared_logits.data(), candidate_ids,
                                     candidate_count, out_logits);
    }

    llama_memory_t mem = llama_get_memory(runtime->ctx);
    if (mem == nullptr) return "llama.cpp context does not expose reusable sequence memory";

    std::vector<llama_token> suffix;
    if (outcome failure = convert_token_ids(suffix_tokens, suffix_count, suffix)) return failure;

    const std::size_t prefix_len = runtime->shared_prefix_len;
    if (prefix_len > max_llama_int) return "shared prefix exceeds llama.cpp position range";
    if (suffix_count > max_llama_int - prefix_len)
        return "shared prefix plus suffix exceeds llama.cpp position range";

    // Sequence 1 is emptied on every return from here on, after the batch is freed.
    scratch_sequences scratch(mem, suffix_seq, suffix_seq);
    scratch.copy_prefix();

    // Refused before its batch is even allocated: llama.cpp would abort on it.
    if (!fits_one_decode(*runtime, suffix.size(), true))
        return "llama_decode failed while scoring shared suffix";

    const auto n = static_cast<std::int32_t>(suffix.size());
    batch_owner batch(n);
    batch.get().n_tokens = n;
    for (std::int32_t j = 0; j < n; ++j) {
        batch.set(j, suffix[j], static_cast<llama_pos>(prefix_len) + j, suffix_seq, j == n - 1);
    }
    if (llama_decode(runtime->ctx, batch.get()) != 0)
        return "llama_decode failed while scoring shared suffix";

    const float *row = llama_get_logits_ith(runtime->ctx, -1);
    if (row == nullptr) return "llama_get_logits_ith returned null after shared suffix";
    return copy_candidate_logits(runtime->vocab, row, candidate_ids, candidate_count, out_logits);
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int32_t vl_llama_score_suffix(vl_llama_runtime *runtime,
                                                      const uint32_t *suffix_tokens,
                                                      size_t suffix_count,
                                                      const uint32_t *candidate_ids,
                                                      size_t candidate_count, float *out_logits,
                                                      char *err, size_t err_cap) {
    return vl::status_export(err, err_cap, [&] {
        return vl::score_suffix(runtime, suffix_tokens, suffix_count, candidate_ids,
                                candidate_count, out_logits);
    });
}
