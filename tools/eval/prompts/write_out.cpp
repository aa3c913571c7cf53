#include "prompts/write_out.h"

#include <algorithm>
#include <string>

#include <nlohmann/json.hpp>

#include "vorlenta_llama_shim.h"

namespace vl_eval {
namespace {

using json = nlohmann::json;

// A token's text as the model reads it, special tokens written out.
std::string piece(const vl_llama_runtime *runtime, std::uint32_t token) {
    const int64_t n = vl_llama_token_piece(runtime, token, nullptr, 0, nullptr, 0);
    if (n < 0) return "<?>";
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    const int64_t m = vl_llama_token_piece(runtime, token, text.data(), text.size(), nullptr, 0);
    if (m != n) return "<?>";
    text.resize(static_cast<std::size_t>(n));
    return text;
}

std::string text_of(const vl_llama_runtime *runtime, const std::vector<std::uint32_t> &tokens) {
    std::string text;
    for (std::uint32_t t : tokens) text += piece(runtime, t);
    return text;
}

// The pieces of tokens as a JSON array.
std::string pieces_of(const vl_llama_runtime *runtime, const std::vector<std::uint32_t> &tokens) {
    json pieces = json::array();
    for (std::uint32_t t : tokens) pieces.push_back(piece(runtime, t));
    return pieces.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string quoted(const std::string &text) {
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string write_out(std::FILE *out, const std::vector<eval_item> &items, std::size_t begin,
               std::size_t end, std::size_t n, const prompt_builder &builder,
               const vl_llama_runtime *runtime) {
    end = std::min(end, items.size());
    for (std::size_t i = begin; i < end && i - begin < n; ++i) {
        const eval_item &item = items[i];
        std::fprintf(out, "=== item %s (line %zu) ===\n", item.id.c_str(), item.line);
        item_prompt prompt;
        const prompt_status status = builder.build(item, prompt);
        if (!status.failure.empty()) return item_name(item) + ": " + status.failure;
        if (!status.skip.empty()) {
            std::fprintf(out, "skipped: %s\n\n", status.skip.c_str());
            continue;
        }
        std::fprintf(out, "--- prompt (%zu tokens) ---\n%s\n--- answers ---\n", prompt.context.size(),
                     text_of(runtime, prompt.context).c_str());
        for (std::size_t a = 0; a < prompt.answers.size(); ++a) {
            const answer_prompt &answer = prompt.answers[a];
            const auto split = answer.continuation.begin() + static_cast<long>(answer.given);
            const std::vector<std::uint32_t> given(answer.continuation.begin(), split),
                scored(split, answer.continuation.end());
            std::fprintf(out, "%zu%s %s (%zu tokens, %zu characters) %s\n", a,
                         static_cast<long>(a) == item.label ? "*" : " ",
                         quoted(text_of(runtime, scored)).c_str(), scored.size(), answer.chars,
                         pieces_of(runtime, scored).c_str());
            if (!given.empty())
                std::fprintf(out, "   after the prompt and %s %s\n", quoted(text_of(runtime, given)).c_str(),
                             pieces_of(runtime, given).c_str());
            if (answer.context != prompt.context)
                std::fprintf(out, "   after its own context, which ends %s\n",
                             quoted(text_of(runtime, std::vector<std::uint32_t>(
                                                       answer.context.end() -
                                                           std::min<std::size_t>(answer.context.size(), 4),
                                                       answer.context.end())))
                                 .c_str());
        }
        std::fprintf(out, "\n");
    }
    std::fflush(out);
    return {};
}

}  // namespace vl_eval
