// vl_llama_score_sequences: log-probabilities of multi-token candidates after
// a prompt decoded from scratch.
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/batch.h"
#include "scoring/shared_prefix.h"
#include "scoring/token_ids.h"
#include "sequences/sequence_scoring.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

outcome score_sequences(vl_llama_runtime *runtime, const std::uint32_t *prompt_tokens,
                        std::size_t prompt_count, const std::uint32_t *sequence_tokens,
                        const std::size_t *sequence_offsets, std::size_t n_sequences,
                        float *out_scores) {
    if (runtime == nullptr || runtime->ctx == nullptr || runtime->vocab == nullptr ||
        prompt_tokens == nullptr || prompt_count == 0 || sequence_tokens == nullptr ||
        sequence_offsets == nullptr || n_sequences < 2 || out_scores == nullptr)
        return "invalid sequence scoring arguments";
    llama_memory_t memory = llama_get_memory(runtime->ctx);
    if (memory == nullptr) return "llama.cpp context does not expose sequence memory";

    std::vector<llama_token> prompt;
    if (outcome failure = convert_token_ids(prompt_tokens, prompt_count, prompt)) return failure;

    clear_memory_and_reset(*runtime, memory);

    if (!fits_one_decode(*runtime, prompt.size(), true)) return "llama_decode failed before sequence scoring";
    llama_batch batch = llama_batch_get_one(prompt.data(), static_cast<std::int32_t>(prompt.size()));
    if (llama_decode(runtime->ctx, batch) != 0) return "llama_decode failed before sequence scoring";

    const float *row = llama_get_logits_ith(runtime->ctx, -1);
    const std::int32_t n_vocab = llama_vocab_n_tokens(runtime->vocab);
    if (row == nullptr || n_vocab <= 0) return "missing root logits for sequence scoring";
    // The walk's decodes overwrite the context's row.
    const std::vector<float> root_logits(row, row + n_vocab);

    // The trie goes into sequence 0 after the prompt; nothing is removed
    // afterwards, and the shared-prefix state stays reset.
    return score_sequence_trie(runtime, 0, prompt_count, root_logits.data(), root_logits.size(),
                               sequence_tokens, sequence_offsets, n_sequences, out_scores);
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int32_t vl_llama_score_sequences(vl_llama_runtime *runtime,
                                                         const uint32_t *prompt_tokens,
                                                         size_t prompt_count,
                                                         const uint32_t *sequence_tokens,
                                                         const size_t *sequence_offsets,
                                                         size_t n_sequences, float *out_scores,
                                                         char *err, size_t err_cap) {
    return vl::status_export(err, err_cap, [&] {
        return vl::score_sequences(runtime, prompt_tokens, prompt_count, sequence_tokens,
                                   sequence_offsets, n_sequences, out_scores);
    });
}
