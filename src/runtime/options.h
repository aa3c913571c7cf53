// The open-time options a host passes beside vl_llama_config: read from the
// host's versioned struct, checked, and kept by the runtime.
#pragma once

#include <llama.h>

#include "runtime/outcome.h"
#include "vorlenta_llama_shim.h"

namespace vl {

// The options in llama.cpp's terms. Value-initialised, llama.cpp's defaults.
struct compute_options {
    ggml_type kv_type = GGML_TYPE_F16;
    llama_flash_attn_type flash_attn = LLAMA_FLASH_ATTN_TYPE_AUTO;

    bool operator==(const compute_options &other) const noexcept {
        return kv_type == other.kv_type && flash_attn == other.flash_attn;
    }
};

// Reads the host's options (null: the defaults) into out, or returns the
// message of the first check that fails; out is written only on success.
outcome read_options(const vl_llama_options *options, compute_options &out) noexcept;

// Sets the context parameters the options govern.
void apply_options(llama_context_params &params, const compute_options &options) noexcept;

}  // namespace vl
