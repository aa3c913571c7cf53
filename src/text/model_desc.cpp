// vl_llama_model_desc: llama.cpp's description of the loaded model.
#include <array>
#include <cstdint>
#include <cstring>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "text/contained_call.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

outcome model_desc(const vl_llama_runtime *runtime, char *out_text, std::size_t out_cap,
                   std::int64_t &length) {
    if (runtime == nullptr || runtime->model == nullptr) return "runtime is not initialized";

    std::array<char, 512> buffer{};
    std::int32_t n = 0;
    if (!call_contained([&] {
            return llama_model_desc(runtime->model, buffer.data(), buffer.size());
        }, n) || n < 0)
        return "llama_model_desc failed";
    // llama_model_desc reports the full length even when it cut the text to
    // fit; only the bytes before the buffer's last one are the description.
    const std::size_t size = n < static_cast<std::int32_t>(buffer.size())
                                 ? static_cast<std::size_t>(n)
                                 : buffer.size() - 1;

    if (out_text != nullptr && out_cap != 0 && size < out_cap) {
        std::memcpy(out_text, buffer.data(), size);
        out_text[size] = '\0';
    }
    length = static_cast<std::int64_t>(size);
    return ok;
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int64_t vl_llama_model_desc(const vl_llama_runtime *runtime,
                                                    char *out_text, size_t out_cap, char *err,
                                                    size_t err_cap) {
    return vl::count_export(err, err_cap, [&](std::int64_t &length) {
        return vl::model_desc(runtime, out_text, out_cap, length);
    });
}
