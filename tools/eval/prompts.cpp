#include "prompts.h"

#include <algorithm>

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

std::string tokenize_raw(const vl_llama_runtime *runtime, const std::string &text,
                         std::vector<std::uint32_t> &out) {
    out.clear();
    // The start token is put first here rather than by the tokenizer, which
    // would also append an end token where the vocabulary adds one.
    const int64_t start = vl_llama_model_info(runtime, VL_LLAMA_INFO_START_TOKEN);
    if (start >= 0) out.push_back(static_cast<std::uint32_t>(start));
    if (text.empty()) return {};
    char err[256] = "";
    const int64_t n = vl_llama_tokenize(runtime, text.data(), text.size(), 0, 0, nullptr, 0, err, sizeof err);
    // The library leaves err empty when memory ran out.
    if (n < 0) return err[0] != '\0' ? std::string(err) : "out of memory";
    const std::size_t head = out.size();
    out.resize(head + static_cast<std::size_t>(n));
    const int64_t m = vl_llama_tokenize(runtime, text.data(), text.size(), 0, 0, out.data() + head,
                                        static_cast<std::size_t>(n), err, sizeof err);
    if (m != n) {
        out.resize(head);
        return m < 0 ? (err[0] != '\0' ? std::string(err) : "out of memory")
                     : "tokenization changed between calls";
    }
    return {};
}

prompt_builder::prompt_builder(const vl_llama_runtime *runtime, prompt_mode mode, std::string system,
                               std::string preamble, chat_encoder chat)
    : runtime_(runtime), mode_(mode), system_(std::move(system)),
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

    if (std::string err = tokenize_raw(runtime_, context, out.context); !err.empty())
        return "tokenization failed: " + err;
    if (out.context.empty()) return "empty context";
    for (const std::string &choice : item.choices) {
        const std::string continuation = moved + " " + choice;
        std::vector<std::uint32_t> whole;
        if (std::string err = tokenize_raw(runtime_, context + continuation, whole); !err.empty())
            return "tokenization failed: " + err;
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
    // A vocabulary that ends every text with its end token would put it
    // between the context and the answer: leave it out of both.
    const int64_t end = vl_llama_model_info(runtime_, VL_LLAMA_INFO_END_TOKEN);
    const auto drop_end = [&](std::vector<std::uint32_t> &t) {
        if (end >= 0 && !t.empty() && t.back() == static_cast<std::uint32_t>(end)) t.pop_back();
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
