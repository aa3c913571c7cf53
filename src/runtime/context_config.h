// Turning a vl_llama_config into llama.cpp context parameters.
#pragma once

#include <llama.h>

#include "runtime/options.h"
#include "vorlenta_llama_shim.h"

namespace vl {

// The context parameters vl_llama_open asks for: llama.cpp's defaults with
// the configured n_ctx, n_batch and n_seq_max (at least 2 sequences), one
// KV buffer shared by all sequences, and the cache type and attention the
// options ask for.
llama_context_params context_params_for(const vl_llama_config &config,
                                        const compute_options &options);

// True when llama_init_from_model would abort the process on these
// parameters instead of returning NULL; the caller refuses them first.
bool context_params_abort_llama(const llama_context_params &params, const llama_model *model);

// Applies the configured thread counts to a new context.
void apply_thread_rule(llama_context *ctx, const vl_llama_config &config);

}  // namespace vl
