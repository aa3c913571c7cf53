// vl_llama_apply_chat_template: a whole conversation laid out with the
// model's chat template, as text.
#include <cstdint>
#include <string>
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "text/chat_prompt.h"
#include "text/text_output.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

outcome apply_chat_template(const vl_llama_runtime *runtime, const vl_llama_message *messages,
                            std::size_t message_count, bool add_assistant, char *out_text,
                            std::size_t out_cap, std::int64_t &length) {
    if (runtime == nullptr || (messages == nullptr && message_count != 0))
        return "invalid chat arguments";
    for (std::size_t i = 0; i < message_count; ++i)
        if (messages[i].role == nullptr || messages[i].content == nullptr)
            return "invalid chat arguments";
    if (runtime->chat_template.empty())
        return "GGUF model does not expose a llama.cpp-supported chat template";

    std::vector<llama_chat_message> chat;
    chat.reserve(message_count);
    for (std::size_t i = 0; i < message_count; ++i)
        chat.push_back({messages[i].role, messages[i].content});
    std::string text;
    if (outcome failure = render_chat(runtime->chat_template, chat, add_assistant, text))
        return failure;
    return copy_text(text, out_text, out_cap, "chat text output buffer is too small", length);
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int64_t vl_llama_apply_chat_template(const vl_llama_runtime *runtime,
                                                             const vl_llama_message *messages,
                                                             size_t message_count,
                                                             int32_t add_assistant, char *out_text,
                                                             size_t out_cap, char *err,
                                                             size_t err_cap) {
    return vl::count_export(err, err_cap, [&](std::int64_t &length) {
        return vl::apply_chat_template(runtime, messages, message_count, add_assistant != 0,
                                       out_text, out_cap, length);
    });
}
