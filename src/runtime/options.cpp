#include "runtime/options.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vl {

namespace {

// The struct as library 5.4 introduced it, with every option of that
// release: the smallest size a host can declare.
constexpr std::uint32_t first_options_size = 12;
static_assert(sizeof(vl_llama_options) >= first_options_size);

// A size field that is garbage (an uninitialised struct) would otherwise
// make the library read far past the host's struct.
constexpr std::uint32_t largest_options_size = 4096;

// Bytes past the options this library knows must be zero: an option a newer
// header added and its host set cannot be honoured here, and is refused
// rather than silently dropped.
bool tail_is_zero(const vl_llama_options *options) noexcept {
    const auto *bytes = reinterpret_cast<const unsigned char *>(options);
    for (std::size_t i = sizeof(vl_llama_options); i < options->size; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

}  // namespace

outcome read_options(const vl_llama_options *options, compute_options &out) noexcept {
    vl_llama_options host = VL_LLAMA_OPTIONS_INIT;
    if (options != nullptr) {
        if (options->size < first_options_size || options->size > largest_options_size)
            return "options size is not supported";
        if (!tail_is_zero(options)) return "options hold settings this library does not know";
        // Options past the host's size (an older header's) keep their defaults.
        std::memcpy(&host, options, std::min<std::size_t>(options->size, sizeof host));
    }
    compute_options read;
    switch (host.kv_cache_type) {
    case VL_LLAMA_KV_CACHE_F16: read.kv_type = GGML_TYPE_F16; break;
    case VL_LLAMA_KV_CACHE_F32: read.kv_type = GGML_TYPE_F32; break;
    default: return "unknown kv cache type";
    }
    switch (host.flash_attention) {
    case VL_LLAMA_FLASH_ATTENTION_AUTO: read.flash_attn = LLAMA_FLASH_ATTN_TYPE_AUTO; break;
    case VL_LLAMA_FLASH_ATTENTION_OFF: read.flash_attn = LLAMA_FLASH_ATTN_TYPE_DISABLED; break;
    default: return "unknown flash attention mode";
    }
    out = read;
    return ok;
}

void apply_options(llama_context_params &params, const compute_options &options) noexcept {
    params.type_k = options.kv_type;
    params.type_v = options.kv_type;
    params.flash_attn_type = options.flash_attn;
}

}  // namespace vl
