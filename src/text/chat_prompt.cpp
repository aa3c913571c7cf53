#include "text/chat_prompt.h"

#include <algorithm>
#include <cstdint>

#include "text/contained_call.h"

namespace vl {

outcome render_chat(const std::string &tmpl, const std::vector<llama_chat_message> &messages,
                    bool add_assistant, std::string &text) {
    const char *t = tmpl.c_str();
    std::int32_t n = 0;
    if (!call_contained([&] {
            return llama_chat_apply_template(t, messages.data(), messages.size(), add_assistant,
                                             nullptr, 0);
        }, n) || n < 0)
        return "llama_chat_apply_template failed while sizing output";

    // llama.cpp writes no NUL when the text fills the buffer, hence n + 1
    // zeroed bytes (the length argument is int32, so it is capped there).
    std::string buffer(static_cast<std::size_t>(n) + 1, '\0');
    const std::int32_t length = static_cast<std::int32_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(n) + 1, INT32_MAX));
    std::int32_t r = 0;
    if (!call_contained([&] {
            return llama_chat_apply_template(t, messages.data(), messages.size(), add_assistant,
                                             buffer.data(), length);
        }, r) || r < 0)
        return "llama_chat_apply_template failed";
    // A longer text than the sizing pass announced was not all written.
    if (r > n) return "llama_chat_apply_template failed";

    buffer.resize(static_cast<std::size_t>(r));
    text.swap(buffer);
    return ok;
}

outcome format_chat_prompt(const vl_llama_runtime *runtime, const char *system_message,
                           const char *user_message, std::string &prompt) {
    if (runtime == nullptr || runtime->model == nullptr || user_message == nullptr)
        return "invalid runtime or user message";
    if (runtime->chat_template.empty())
        return "GGUF model does not expose a llama.cpp-supported chat template";

    // The roles are the library's constants; the contents stay the host's.
    std::vector<llama_chat_message> messages;
    if (system_message != nullptr && system_message[0] != '\0')
        messages.push_back({"system", system_message});
    messages.push_back({"user", user_message});
    return render_chat(runtime->chat_template, messages, true, prompt);
}

}  // namespace vl
