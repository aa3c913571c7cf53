#include "runtime/context_config.h"

#include <algorithm>

namespace vl {

llama_context_params context_params_for(const vl_llama_config &config,
                                        const compute_options &options) {
    llama_context_params params = llama_context_default_params();
    // Negative values are taken as their unsigned pattern, as llama.cpp would.
    if (config.n_ctx != 0) params.n_ctx = static_cast<uint32_t>(config.n_ctx);
    if (config.n_batch != 0) params.n_batch = static_cast<uint32_t>(config.n_batch);
    if (config.n_seq_max != 0) params.n_seq_max = static_cast<uint32_t>(config.n_seq_max);
    if (params.n_seq_max < 2) params.n_seq_max = 2;
    // One KV buffer for all sequences: copying sequence 0 into a scratch
    // sequence is then metadata only, one batch may carry tokens of several
    // sequences, and every sequence may use the whole window. Without it
    // llama.cpp splits n_ctx into per-sequence shares.
    params.kv_unified = true;
    apply_options(params, options);
    return params;
}

void apply_thread_rule(llama_context *ctx, const vl_llama_config &config) {
    const int32_t t = config.n_threads;
    const int32_t tb = config.n_threads_batch;
    if (t > 0) {
        llama_set_n_threads(ctx, t, tb > 0 ? tb : t);
    } else if (tb > 0) {
        llama_set_n_threads(ctx, tb, tb);
    }
}

bool context_params_abort_llama(const llama_context_params &params, const llama_model *model) {
    // llama.cpp caps n_batch at the requested n_ctx (0: the trained length)
    // and then asserts that a batch can hold one token of every sequence.
    // Measured on llama.cpp b11669 over n_ctx, n_batch and n_seq_max grids,
    // negative (huge unsigned) values included: this is the only abort.
    const uint32_t n_ctx = params.n_ctx != 0
                               ? params.n_ctx
                               : static_cast<uint32_t>(llama_model_n_ctx_train(model));
    const uint32_t n_batch = std::min(params.n_batch, n_ctx);
    return n_batch < params.n_seq_max;
}

}  // namespace vl
