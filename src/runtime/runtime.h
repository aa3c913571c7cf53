// The runtime record behind the opaque vl_llama_runtime handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <llama.h>

#include "runtime/options.h"

struct vl_llama_runtime {
    llama_model *model = nullptr;        // owned
    llama_context *ctx = nullptr;        // owned; the one inference context
    const llama_vocab *vocab = nullptr;  // borrowed from model
    std::string chat_template;           // empty when the model has none
    vl::compute_options options;         // every context of the runtime is made with them

    // Shared-prefix state: sequence 0 holds the retained prefix while
    // has_shared_prefix is true; shared_logits is the row after its last token.
    std::size_t shared_prefix_len = 0;
    std::vector<float> shared_logits;
    bool has_shared_prefix = false;

    // Limits the context reported after creation; every capacity check uses them.
    std::uint32_t n_ctx = 0;
    std::uint32_t n_ctx_seq = 0;
    std::uint32_t n_batch = 0;
    std::uint32_t n_seq_max = 0;
    // The physical batch: llama.cpp computes a decode in pieces of at most
    // n_ubatch tokens, and some contexts cannot split a decode at all.
    std::uint32_t n_ubatch = 0;
    bool causal_attn = true;  // attention to earlier positions only
};
