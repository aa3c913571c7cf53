// vl_llama_score_tokens: the log-probability of every token of many
// sequences given all before it (teacher forcing), in batched decodes.
#include <algorithm>
#include <limits>
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/scratch_sequences.h"
#include "scoring/shared_prefix.h"
#include "scoring/token_ids.h"
#include "tokens/token_runs.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

// The host's request, as the export received it.
struct token_request {
    const std::uint32_t *tokens;
    const std::size_t *offsets;
    const std::size_t *context_counts;  // may be null: no context-only tokens
    std::size_t count;
    float *out_log_probs;
    std::uint8_t *out_greedy;
};

// Every check of the request, in the documented order, before anything in
// the context's memory changes.
outcome check_request(const vl_llama_runtime *runtime, const token_request &r,
                      std::int32_t &n_vocab) {
    if (runtime == nullptr || runtime->ctx == nullptr || runtime->vocab == nullptr ||
        runtime->n_seq_max < 2 || r.offsets == nullptr || r.count == 0 ||
        r.out_log_probs == nullptr || (r.tokens == nullptr && r.offsets[r.count] != 0))
        return "invalid token scoring arguments";
    if (llama_get_memory(runtime->ctx) == nullptr)
        return "llama.cpp context does not expose sequence memory";
    if (!offsets_valid(r.offsets, r.count, false)) return "token scoring offsets are invalid";
    if (r.context_counts != nullptr)
        for (std::size_t s = 0; s < r.count; ++s)
            if (r.context_counts[s] > r.offsets[s + 1] - r.offsets[s])
                return "context count exceeds its sequence";

    const std::size_t n_tokens = r.offsets[r.count];
    if (outcome failure = ids_in_llama_range(r.tokens, n_tokens)) return failure;
    n_vocab = llama_vocab_n_tokens(runtime->vocab);
    if (n_vocab <= 0) return "llama.cpp vocabulary is empty";
    if (!ids_in_vocabulary(r.tokens, n_tokens, n_vocab)) return "token exceeds vocabulary size";
    return ok;
}

// The runs of the request; fails when one that decodes does not fit the
// window after the retained prefix.
outcome make_runs(const vl_llama_runtime &runtime, const token_request &r,
                  std::vector<token_run> &runs) {
    const bool prefix = runtime.has_shared_prefix;
    const std::size_t prefix_len = prefix ? runtime.shared_prefix_len : 0;
    runs.reserve(r.count);
    for (std::size_t s = 0; s < r.count; ++s) {
        const std::size_t begin = r.offsets[s];
        token_run run{};
        run.tokens = r.tokens + begin;
        run.length = r.offsets[s + 1] - begin;
        // Without a retained prefix nothing predicts a sequence's first token.
        const std::size_t context = r.context_counts != nullptr ? r.context_counts[s] : 0;
        run.first_scored = std::max<std::size_t>(context, prefix ? 0 : 1);
        run.log_probs = r.out_log_probs + begin;
        run.greedy = r.out_greedy != nullptr ? r.out_greedy + begin : nullptr;
        const std::size_t cells = prefix_len + decoded_tokens(run);
        if (cells > max_llama_int || (runtime.n_ctx != 0 && cells > runtime.n_ctx))
            return "sequence does not fit the context window";
        runs.push_back(run);
    }
    return ok;
}

// Context-only tokens get 0 and greedy 1, so that sums and all-of checks over
// a whole sequence cover exactly its scored tokens; scored ones start at
// negative infinity, not greedy, until their row is read.
void preset_outputs(const std::vector<token_run> &runs) {
    for (const token_run &run : runs) {
        const std::size_t first = std::min(run.first_scored, run.length);
        std::fill(run.log_probs, run.log_probs + first, 0.0f);
        std::fill(run.log_probs + first, run.log_probs + run.length,
                  -std::numeric_limits<float>::infinity());
        if (run.greedy == nullptr) continue;
        std::fill(run.greedy, run.greedy + first, std::uint8_t{1});
        std::fill(run.greedy + first, run.greedy + run.length, std::uint8_t{0});
    }
}

outcome score_tokens(vl_llama_runtime *runtime, const token_request &request) {
    std::int32_t n_vocab = 0;
    if (outcome failure = check_request(runtime, request, n_vocab)) return failure;
    std::vector<token_run> runs;
    if (outcome failure = make_runs(*runtime, request, runs)) return failure;
    llama_memory_t memory = llama_get_memory(runtime->ctx);

    // Without a retained prefix nothing in the memory is worth keeping, and
    // the whole window is the call's.
    if (!runtime->has_shared_prefix) clear_memory_and_reset(*runtime, memory);
    scratch_sequences scratch(memory, 1, static_cast<llama_seq_id>(runtime->n_seq_max - 1));
    preset_outputs(runs);

    // A first token scored after the prefix comes from its kept row.
    for (const token_run &run : runs) {
        if (run.first_scored != 0 || run.length == 0) continue;
        if (runtime->shared_logits.size() != static_cast<std::size_t>(n_vocab))
            return "root vocabulary logits have the wrong size";
        if (outcome failure = score_token(runtime->shared_logits.data(), n_vocab, run, 0))
            return failure;
    }
    return decode_token_runs(*runtime, memory, runs, n_vocab);
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int32_t vl_llama_score_tokens(vl_llama_runtime *runtime,
                                                      const uint32_t *tokens,
                                                      const size_t *offsets,
                                                      const size_t *context_counts,
                                                      size_t sequence_count,
                                                      float *out_log_probs, uint8_t *out_greedy,
                                                      char *err, size_t err_cap) {
    return vl::status_export(err, err_cap, [&] {
        const vl::token_request request{tokens,         offsets,       context_counts,
                                        sequence_count, out_log_probs, out_greedy};
        return vl::score_tokens(runtime, request);
    });
}
