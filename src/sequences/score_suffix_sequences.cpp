// vl_llama_score_suffix_sequences: log-probabilities of multi-token
// candidates after the retained shared prefix plus a suffix.
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/batch.h"
#include "scoring/scratch_sequences.h"
#include "scoring/token_ids.h"
#include "sequences/sequence_scoring.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

constexpr llama_seq_id scratch_seq = 1;

// Decodes the suffix into the scratch sequence after the prefix and copies
// the logits after its last token into root_logits.
outcome decode_suffix(const vl_llama_runtime &runtime, const std::uint32_t *suffix_tokens,
                      std::size_t suffix_count, std::size_t prefix,
                      std::vector<float> &root_logits) {
    std::vector<llama_token> suffix;
    if (outcome failure = convert_token_ids(suffix_tokens, suffix_count, suffix)) return failure;
    if (runtime.n_ctx != 0 && prefix + suffix_count > runtime.n_ctx)
        return "shared prefix plus suffix exceeds context window";

    std::int32_t result = 0;
    {
        batch_owner batch(static_cast<std::int32_t>(suffix_count));
        batch.get().n_tokens = static_cast<std::int32_t>(suffix_count);
        for (std::size_t k = 0; k < suffix_count; ++k) {
            const std::size_t position = prefix + k;
            if (position > max_llama_int) return "shared suffix position overflow";
            batch.set(static_cast<std::int32_t>(k), suffix[k], static_cast<llama_pos>(position),
                      scratch_seq, k + 1 == suffix_count);
        }
        if (!fits_one_decode(runtime, suffix_count, true))
            return "llama_decode failed before shared sequence scoring";
        result = llama_decode(runtime.ctx, batch.get());
    }
    if (result != 0) return "llama_decode failed before shared sequence scoring";

    const float *row = llama_get_logits_ith(runtime.ctx, -1);
    const std::int32_t n_vocab = llama_vocab_n_tokens(runtime.vocab);
    if (row == nullptr || n_vocab <= 0) return "missing shared root logits for sequence scoring";
    root_logits.assign(row, row + n_vocab);
    return ok;
}

outcome score_suffix_sequences(vl_llama_runtime *runtime, const std::uint32_t *suffix_tokens,
                               std::size_t suffix_count, const std::uint32_t *sequence_tokens,
                               const std::size_t *sequence_offsets, std::size_t n_sequences,
                               float *out_scores) {
    if (runtime == nullptr || runtime->ctx == nullptr || runtime->vocab == nullptr ||
        !runtime->has_shared_prefix || (suffix_tokens == nullptr && suffix_count != 0) ||
        sequence_tokens == nullptr || sequence_offsets == nullptr || n_sequences < 2 ||
        out_scores == nullptr)
        return "invalid shared-prefix sequence scoring arguments";
    llama_memory_t memory = llama_get_memory(runtime->ctx);
    if (memory == nullptr) return "llama.cpp context does not expose sequence memory";

    // Sequence 1 becomes a copy of the prefix and is removed again on every
    // path from here on; sequence 0 and the shared-prefix state never change.
    scratch_sequences scratch(memory, scratch_seq, scratch_seq);
    scratch.copy_prefix();
    const std::size_t prefix = runtime->shared_prefix_len;

    if (suffix_count == 0) {
        // The kept row stays as it is for the whole call: no copy needed.
        return score_sequence_trie(runtime, scratch_seq, prefix, runtime->shared_logits.data(),
                                   runtime->shared_logits.size(), sequence_tokens,
                                   sequence_offsets, n_sequences, out_scores);
    }
    std::vector<float> root_logits;
    if (outcome failure = decode_suffix(*runtime, suffix_tokens, suffix_count, prefix, root_logits))
        return failure;
    return score_sequence_trie(runtime, scratch_seq, prefix + suffix_count, root_logits.data(),
                               root_logits.size(), sequence_tokens, sequence_offsets, n_sequences,
                               out_scores);
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int32_t vl_llama_score_suffix_sequences(
    vl_llama_runtime *runtime, const uint32_t *suffix_tokens, size_t suffix_count,
    const uint32_t *sequence_tokens, const size_t *sequence_offsets, size_t n_sequences,
    float *out_scores, char *err, size_t err_cap) {
    return vl::status_export(err, err_cap, [&] {
        return vl::score_suffix_sequences(runtime, suffix_tokens, suffix_count, sequence_tokens,
                                          sequence_offsets, n_sequences, out_scores);
    });
}
