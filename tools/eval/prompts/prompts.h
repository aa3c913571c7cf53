// Prompt building: an item's context and answers as the token runs the
// scorer decodes, in chat mode (the model's chat template, answers as the
// assistant's words) or raw mode (plain text continued by " " + answer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tasks/eval_item.h"

struct vl_llama_runtime;

namespace vl_eval {

enum class prompt_mode { chat, raw };

// What is scored for a filled blank (Winogrande), after each option fills
// it: as the harness scores it, the text after the blank stripped and
// joined by a space, every token of it; or as llama-perplexity --winogrande
// does, the sentence as written, the tokens after the filled blank but the
// last (when more than one follows it).
enum class blank_scoring { harness, llama_perplexity };

// One answer: the context tokens it is scored after (normally the item's
// context; different when the joint tokenization changed the context's own
// tokens) and the tokens of the answer itself.
struct answer_prompt {
    std::vector<std::uint32_t> context;
    std::vector<std::uint32_t> continuation;
    std::size_t chars = 0;  // code points of the answer text alone (acc_norm)
    // Leading continuation tokens the answer is scored after, not scored
    // themselves: a filled blank's option, which each answer writes in its
    // own way after the context the answers share.
    std::size_t given = 0;
};

struct item_prompt {
    std::vector<std::uint32_t> context;  // the context alone, tokenized alone
    std::vector<answer_prompt> answers;  // one per choice, in order
};

// Tokens of a chat prompt: system and user message laid out with the model's
// template, the assistant turn opened and followed by prefix (may be null).
// Returns an error message, empty on success.
using chat_encoder = std::function<std::string(const std::string &system, const std::string &user,
                                               const char *prefix, std::vector<std::uint32_t> &out)>;

// Through the library, as scoring (and sizing) uses it.
chat_encoder library_chat_encoder(vl_llama_runtime *runtime);

// What building an item's prompt came to: built, or a reason the item
// cannot be scored by its nature (an empty answer, a label out of range),
// which is recorded with it, or a failure of the library to tokenize or
// encode it, which is no property of the item and stops the run.
struct prompt_status {
    std::string skip;
    std::string failure;
    bool built() const { return skip.empty() && failure.empty(); }
};

class prompt_builder {
public:
    // runtime tokenizes raw prompts and names the vocabulary's end token;
    // chat encodes chat prompts.
    prompt_builder(const vl_llama_runtime *runtime, prompt_mode mode, std::string system,
                   std::string preamble, chat_encoder chat,
                   blank_scoring blanks = blank_scoring::harness);

    // Builds the item's prompt into out.
    prompt_status build(const eval_item &item, item_prompt &out) const;

    // Positions the longest answer needs: its context plus its continuation.
    static std::size_t tokens_needed(const item_prompt &prompt);

private:
    prompt_status build_raw(const eval_item &item, item_prompt &out) const;
    prompt_status build_chat(const eval_item &item, item_prompt &out) const;
    prompt_status build_fill_in(const eval_item &item, item_prompt &out) const;

    const vl_llama_runtime *runtime_;
    prompt_mode mode_;
    std::string system_;
    std::string preamble_;
    chat_encoder chat_;
    blank_scoring blanks_;
};

}  // namespace vl_eval
