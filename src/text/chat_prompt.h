// Laying out chat messages with the model's own chat template.
#pragma once

#include <string>

#include "runtime/outcome.h"
#include "runtime/runtime.h"

namespace vl {

// Formats an optional system message (NULL or "" for none) and a user
// message with the runtime's chat_template through llama.cpp's built-in
// template engine, ending with the opened assistant turn. On success prompt
// holds the formatted text; on failure it is left unchanged.
outcome format_chat_prompt(const vl_llama_runtime *runtime, const char *system_message,
                           const char *user_message, std::string &prompt);

}  // namespace vl
