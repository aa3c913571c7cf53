// vl_llama_chat_template: the model's chat template text, for hosts that
// render or record it themselves.
#include <cstdint>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "text/text_output.h"
#include "vorlenta_llama_shim.h"

extern "C" VL_LLAMA_API int64_t vl_llama_chat_template(const vl_llama_runtime *runtime,
                                                       char *out_text, size_t out_cap, char *err,
                                                       size_t err_cap) {
    return vl::count_export(err, err_cap, [&](std::int64_t &length) -> vl::outcome {
        if (runtime == nullptr) return "invalid chat arguments";
        return vl::copy_text(runtime->chat_template, out_text, out_cap,
                             "chat text output buffer is too small", length);
    });
}
