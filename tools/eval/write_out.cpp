#include "write_out.h"

#include <algorithm>
#include <string>

#include <llama.h>
#include <nlohmann/json.hpp>

namespace vl_eval {
namespace {

using json = nlohmann::json;

// A token's text as the model reads it, special tokens written out.
std::string piece(const llama_vocab *vocab, std::uint32_t token) {
    char buf[256];
    const int32_t n = llama_token_to_piece(vocab, static_cast<llama_token>(token), buf,
                                           sizeof buf, 0, true);
    return n < 0 ? "<?>" : std::string(buf, static_cast<std::size_t>(n));
}

std::string text_of(const llama_vocab *vocab, const std::vector<std::uint32_t> &tokens) {
    std::string text;
    for (std::uint32_t t : tokens) text += piece(vocab, t);
    return text;
}

std::string quoted(const std::string &text) {
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

void write_out(std::FILE *out, const std::vector<eval_item> &items, std::size_t begin,
               std::size_t end, std::size_t n, const prompt_builder &builder,
               const llama_model *vocab_model) {
    const llama_vocab *vocab = llama_model_get_vocab(vocab_model);
    end = std::min(end, items.size());
    for (std::size_t i = begin; i < end && i - begin < n; ++i) {
        const eval_item &item = items[i];
        std::fprintf(out, "=== item %s (line %zu) ===\n", item.id.c_str(), item.line);
        item_prompt prompt;
        if (std::string reason = builder.build(item, prompt); !reason.empty()) {
            std::fprintf(out, "skipped: %s\n\n", reason.c_str());
            continue;
        }
        std::fprintf(out, "--- prompt (%zu tokens) ---\n%s\n--- answers ---\n", prompt.context.size(),
                     text_of(vocab, prompt.context).c_str());
        for (std::size_t a = 0; a < prompt.answers.size(); ++a) {
            const answer_prompt &answer = prompt.answers[a];
            json pieces = json::array();
            for (std::uint32_t t : answer.continuation) pieces.push_back(piece(vocab, t));
            std::fprintf(out, "%zu%s %s (%zu tokens, %zu characters) %s\n", a,
                         static_cast<long>(a) == item.label ? "*" : " ",
                         quoted(text_of(vocab, answer.continuation)).c_str(),
                         answer.continuation.size(), answer.chars,
                         pieces.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
            if (answer.context != prompt.context)
                std::fprintf(out, "   after its own context, which ends %s\n",
                             quoted(text_of(vocab, std::vector<std::uint32_t>(
                                                       answer.context.end() -
                                                           std::min<std::size_t>(answer.context.size(), 4),
                                                       answer.context.end())))
                                 .c_str());
        }
        std::fprintf(out, "\n");
    }
    std::fflush(out);
}

}  // namespace vl_eval
