#include "prompts.h"

#include <algorithm>
#include <climits>

#include <llama.h>

#include "python_text.h"
#include "vorlenta_llama_shim.h"

namespace vl_eval {
namespace {

// Splits a joint tokenization after the context's own token count: what
// comes before is the context this answer is scored after, the rest is the
// answer.
std::string split_answer(const std::vector<std::uint32_t> &context,
                         const std::vector<std::uint32_t> &whole, std::size_t chars,
                         answer_prompt &answer) {
    if (whole.size() <= context.size()) return "empty answer";
    answer.context.assign(whole.begin(), whole.begin() + static_cast<long>(context.size()));
    answer.continuation.assign(whole.begin() + static_cast<long>(context.size()), whole.end());
    answer.chars = chars;
    return {};
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

chat_encoder library_chat_encoder(vl_llama_runtime *runtime) {
    return [runtime](const std::string &system, const std::string &user, const char *prefix,
                     std::vector<std::uint32_t> &out) -> std::string {
        char err[256] = "";
        const int64_t n = vl_llama_encode_chat(runtime, system.c_str(), user.c_str(), prefix,
                                               nullptr, 0, err, sizeof err);
        // The library leaves err empty when memory ran out.
        if (n < 0) return err[0] != '\0' ? std::string(err) : "out of memory";
        out.assign(static_cast<std::size_t>(n), 0);
        const int64_t m = vl_llama_encode_chat(runtime, system.c_str(), user.c_str(), prefix,
                                               out.data(), out.size(), err, sizeof err);
        if (m != n)
            return m < 0 ? (err[0] != '\0' ? std::string(err) : "out of memory")
                         : "chat encoding changed between calls";
        return {};
    };
}

std::vector<std::uint32_t> tokenize_raw(const llama_model *vocab_model, const std::string &text) {
    const llama_vocab *vocab = llama_model_get_vocab(vocab_model);
    std::vector<std::uint32_t> out;
    if (llama_vocab_get_add_bos(vocab) && llama_vocab_bos(vocab) >= 0)
        out.push_back(static_cast<std::uint32_t>(llama_vocab_bos(vocab)));
    if (text.empty() || text.size() > INT32_MAX / 2) return out;
    const int32_t len = static_cast<int32_t>(text.size());
    int32_t c = llama_tokenize(vocab, text.data(), len, nullptr, 0, false, false);
    if (c == INT32_MIN) return out;
    std::vector<llama_token> tokens(static_cast<std::size_t>(c < 0 ? -c : c));
    c = llama_tokenize(vocab, text.data(), len, tokens.data(), static_cast<int32_t>(tokens.size()),
                       false, false);
    for (int32_t i = 0; i < c; ++i)
        if (tokens[static_cast<std::size_t>(i)] >= 0)
            out.push_back(static_cast<std::uint32_t>(tokens[static_cast<std::size_t>(i)]));
    return out;
}

prompt_builder::prompt_builder(const llama_model *vocab_model, prompt_mode mode, std::string system,
                               std::string preamble, chat_encoder chat)
    : vocab_model_(vocab_model), mode_(mode), system_(std::move(system)),
      preamble_(std::move(preamble)), chat_(std::move(chat)) {}

std::string prompt_builder::build(const eval_item &item, item_prompt &out) const {
    out = item_prompt{};
    if (!item.skip_reason.empty()) return item.skip_reason;
    return mode_ == prompt_mode::raw ? build_raw(item, out) : build_chat(item, out);
}

// The harnesses' convention: the context's trailing whitespace moves to the
// continuation " " + answer, context and continuation are tokenized together,
// and the answer is what follows the context's own token count.
std::string prompt_builder::build_raw(const eval_item &item, item_prompt &out) const {
    std::string context = item.description + preamble_ + item.context;
    std::size_t keep = context.size();
    while (keep > 0 && is_blank(context[keep - 1])) --keep;
    const std::string moved = context.substr(keep);
    context.resize(keep);

    out.context = tokenize_raw(vocab_model_, context);
    if (out.context.empty()) return "empty context";
    for (const std::string &choice : item.choices) {
        const std::string continuation = moved + " " + choice;
        const std::vector<std::uint32_t> whole = tokenize_raw(vocab_model_, context + continuation);
        answer_prompt answer;
        if (std::string reason = split_answer(out.context, whole, code_points(choice), answer);
            !reason.empty())
            return reason;
        out.answers.push_back(std::move(answer));
    }
    return {};
}

// The prompt with the assistant turn opened; each answer is what the prompt
// with the answer written as the assistant's first words adds to it.
std::string prompt_builder::build_chat(const eval_item &item, item_prompt &out) const {
    const std::string &system = item.system.empty() ? system_ : item.system;
    const std::string user = item.description + preamble_ + item.context;
    if (std::string err = chat_(system, user, nullptr, out.context); !err.empty())
        return "chat encoding failed: " + err;
    const llama_vocab *vocab = llama_model_get_vocab(vocab_model_);
    // A vocabulary that ends every text with its end token would put it
    // between the context and the answer: leave it out of both.
    const bool trailing_end = llama_vocab_get_add_eos(vocab);
    const auto drop_end = [&](std::vector<std::uint32_t> &t) {
        if (trailing_end && !t.empty() &&
            t.back() == static_cast<std::uint32_t>(llama_vocab_eos(vocab)))
            t.pop_back();
    };
    drop_end(out.context);
    if (out.context.empty()) return "empty context";
    for (const std::string &choice : item.choices) {
        std::vector<std::uint32_t> whole;
        if (std::string err = chat_(system, user, choice.c_str(), whole); !err.empty())
            return "chat encoding failed: " + err;
        drop_end(whole);
        answer_prompt answer;
        if (std::string reason = split_answer(out.context, whole, code_points(choice), answer);
            !reason.empty())
            return reason;
        out.answers.push_back(std::move(answer));
    }
    return {};
}

std::size_t prompt_builder::tokens_needed(const item_prompt &prompt) {
    std::size_t needed = prompt.context.size();
    for (const answer_prompt &a : prompt.answers)
        needed = std::max(needed, a.context.size() + a.continuation.size());
    return needed;
}

}  // namespace vl_eval
