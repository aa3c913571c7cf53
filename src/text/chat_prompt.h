// Laying out chat messages with the model's own chat template.
#pragma once

#include <string>
#include <vector>

#include <llama.h>

#include "runtime/outcome.h"
#include "runtime/runtime.h"

namespace vl {

// Lays out messages with the template text through llama.cpp's built-in
// template engine, ending with the opened assistant turn when add_assistant
// is set. On success text holds the result; on failure it is unchanged.
outcome render_chat(const std::string &tmpl, const std::vector<llama_chat_message> &messages,
                    bool add_assistant, std::string &text);

// Formats an optional system message (NULL or "" for none) and a user
// message with the runtime's chat_template, ending with the opened
// assistant turn. On success prompt holds the formatted text; on failure it
// is left unchanged.
outcome format_chat_prompt(const vl_llama_runtime *runtime, const char *system_message,
                           const char *user_message, std::string &prompt);

}  // namespace vl
