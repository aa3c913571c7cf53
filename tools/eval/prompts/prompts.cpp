#include "prompts/prompts.h"

#include <algorithm>

#include "model/tokens.h"
#include "tasks/python_text.h"
#include "vorlenta_llama_shim.h"

namespace vl_eval {
namespace {

// Adds the answer a joint tokenization of context and answer makes: split
// after the context's own token count, what comes before is the context
// this answer is scored after, the rest is the answer.
std::string add_answer(const std::vector<std::uint32_t> &whole, const std::string &choice,
                       item_prompt &out) {
    if (whole.size() <= out.context.size()) return "empty answer";
    answer_prompt answer;
    answer.context.assign(whole.begin(), whole.begin() + static_cast<long>(out.context.size()));
    answer.continuation.assign(whole.begin() + static_cast<long>(out.context.size()), whole.end());
    answer.chars = code_points(choice);
    out.answers.push_back(std::move(answer));
    return {};
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

chat_encoder library_chat_encoder(vl_llama_runtime *runtime) {
    return [runtime](const std::string &system, const std::string &user, const char *prefix,
                     std::vector<std::uint32_t> &out) { return encode_chat(runtime, system, user, prefix, out); };
}

prompt_builder::prompt_builder(const vl_llama_runtime *runtime, prompt_mode mode, std::string system,
                               std::string preamble, chat_encoder chat, blank_scoring blanks)
    : runtime_(runtime), mode_(mode), system_(std::move(system)),
      preamble_(std::move(preamble)), chat_(std::move(chat)), blanks_(blanks) {}

prompt_status prompt_builder::build(const eval_item &item, item_prompt &out) const {
    out = item_prompt{};
    if (!item.skip_reason.empty()) return {item.skip_reason, {}};
    prompt_status status = item.fill_in ? build_fill_in(item, out)
                           : mode_ == prompt_mode::raw ? build_raw(item, out)
                                                       : build_chat(item, out);
    if (!status.built()) out = item_prompt{};
    return status;
}

// The harnesses' convention: the context's trailing whitespace moves to the
// continuation " " + answer, context and continuation are tokenized together,
// and the answer is what follows the context's own token count.
prompt_status prompt_builder::build_raw(const eval_item &item, item_prompt &out) const {
    std::string context = item.description + preamble_ + item.context;
    std::size_t keep = context.size();
    while (keep > 0 && is_blank(context[keep - 1])) --keep;
    const std::string moved = context.substr(keep);
    context.resize(keep);

    if (std::string err = tokenize_raw(runtime_, context, out.context); !err.empty())
        return {{}, "tokenization failed: " + err};
    // Nothing to condition on, where the vocabulary adds no start token: the
    // answers follow its BOS or EOS id, as the harness's HF model scores them.
    std::vector<std::uint32_t> lead;
    if (out.context.empty()) {
        const int64_t token = conditioning_token(runtime_);
        if (token < 0) return {"empty context", {}};
        lead.push_back(static_cast<std::uint32_t>(token));
        out.context = lead;
    }
    for (const std::string &choice : item.choices) {
        std::vector<std::uint32_t> whole;
        if (std::string err = tokenize_raw(runtime_, context + moved + " " + choice, whole); !err.empty())
            return {{}, "tokenization failed: " + err};
        whole.insert(whole.begin(), lead.begin(), lead.end());
        if (std::string reason = add_answer(whole, choice, out); !reason.empty()) return {reason, {}};
    }
    return {};
}

// The prompt with the assistant turn opened; each answer is what the prompt
// with the answer written as the assistant's first words adds to it.
prompt_status prompt_builder::build_chat(const eval_item &item, item_prompt &out) const {
    const std::string &system = item.system.empty() ? system_ : item.system;
    const std::string user = item.description + preamble_ + item.context;
    if (std::string err = chat_(system, user, nullptr, out.context); !err.empty())
        return {{}, "chat encoding failed: " + err};
    // A vocabulary that ends every text with its end token would put it
    // between the context and the answer: leave it out of both.
    const int64_t end = vl_llama_model_info(runtime_, VL_LLAMA_INFO_END_TOKEN);
    const auto drop_end = [&](std::vector<std::uint32_t> &t) {
        if (end >= 0 && !t.empty() && t.back() == static_cast<std::uint32_t>(end)) t.pop_back();
    };
    drop_end(out.context);
    if (out.context.empty()) return {"empty context", {}};
    for (const std::string &choice : item.choices) {
        std::vector<std::uint32_t> whole;
        if (std::string err = chat_(system, user, choice.c_str(), whole); !err.empty())
            return {{}, "chat encoding failed: " + err};
        drop_end(whole);
        if (std::string reason = add_answer(whole, choice, out); !reason.empty()) return {reason, {}};
    }
    return {};
}

// Each option fills the blank to make a context of its own, which the text
// after the blank continues; the answer is scored after the context's own
// token count, as in build_raw. The tokens all the filled contexts begin
// with are the item's context, so that it is decoded once: each answer then
// holds its option's own tokens, given and not scored, before the tokens
// that are.
prompt_status prompt_builder::build_fill_in(const eval_item &item, item_prompt &out) const {
    if (mode_ != prompt_mode::raw) return {"fill-in-the-blank item needs --prompt raw", {}};
    const bool harness = blanks_ == blank_scoring::harness;
    const std::string before = item.description + preamble_ + item.context;
    const std::string after = harness ? python_strip(item.after_blank) : item.after_blank;
    struct filled {
        std::vector<std::uint32_t> whole;
        std::size_t context = 0;  // the filled context's own token count
        std::size_t end = 0;      // where the tokens scored end
    };
    std::vector<filled> runs(item.choices.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        std::string context = before + item.choices[i], continuation = after;
        if (harness) {
            std::size_t keep = context.size();
            while (keep > 0 && is_blank(context[keep - 1])) --keep;
            continuation = context.substr(keep) + " " + after;
            context.resize(keep);
        }
        std::vector<std::uint32_t> alone;
        if (std::string err = tokenize_raw(runtime_, context, alone); !err.empty())
            return {{}, "tokenization failed: " + err};
        if (std::string err = tokenize_raw(runtime_, context + continuation, runs[i].whole); !err.empty())
            return {{}, "tokenization failed: " + err};
        runs[i].context = alone.size();
        runs[i].end = runs[i].whole.size();
        if (runs[i].end <= runs[i].context) return {"empty answer", {}};
        if (!harness && runs[i].end - runs[i].context > 1) --runs[i].end;
    }
    std::size_t shared = runs[0].context;
    for (const filled &r : runs) {
        const auto differ = std::mismatch(r.whole.begin(), r.whole.end(), runs[0].whole.begin(),
                                          runs[0].whole.end());
        shared = std::min({shared, r.context, static_cast<std::size_t>(differ.first - r.whole.begin())});
    }
    if (shared == 0) return {"empty context", {}};
    out.context.assign(runs[0].whole.begin(), runs[0].whole.begin() + static_cast<long>(shared));
    for (const filled &r : runs) {
        answer_prompt answer;
        answer.context = out.context;
        answer.continuation.assign(r.whole.begin() + static_cast<long>(shared),
                                   r.whole.begin() + static_cast<long>(r.end));
        answer.given = r.context - shared;
        answer.chars = code_points(after);
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
