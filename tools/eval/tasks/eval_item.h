// One multiple-choice item, whatever file format it was read from: the unit
// that vl-eval's readers produce and its scorer, metrics and results use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vl_eval {

struct eval_item {
    // The item's id: the file's own id field where it has one, otherwise a
    // name made from its position ("line-12", "task-3"), so that --resume and
    // summaries can refer to every item.
    std::string id;
    // Where the item came from, for messages: the 1-based line of a text file,
    // or the 0-based task index of a binary file.
    std::size_t line = 0;
    // The name of the format the item was read as ("mmlu", "mc-binary"), the
    // same whether it was named with --format or recognised.
    std::string format;
    // The item's own system message (chat prompts); empty for none.
    std::string system;
    // Text that goes before everything else of the prompt, the same for the
    // items of one group (MMLU's subject line); empty for none.
    std::string description;
    // The text the answers continue, before any preamble is added.
    std::string context;
    // The answers as they are scored (MMLU: the letters, not the texts).
    std::vector<std::string> choices;
    // A fill-in-the-blank item (Winogrande): the context is the text before
    // the blank, each choice fills the blank to make a context of its own,
    // and after_blank, the text after the blank, is what is scored.
    bool fill_in = false;
    std::string after_blank;
    // Index of the right answer in choices; -1 when the file gives none.
    long label = -1;
    // The group the summary breaks the metrics down by (MMLU's subject,
    // HellaSwag's activity label, or a field named with --group-by); empty
    // for none.
    std::string group;
    // A fingerprint of the item's record as its file gives it (a JSON line's
    // object), 0 where the file has no such records: the harness tells a
    // few-shot example from the item it goes before by their records.
    std::uint64_t record_hash = 0;
    // Set by a reader that already knows the item cannot be scored (a label
    // out of range, fewer than two answers, an empty answer); the item is
    // still recorded in the results, as skipped, with this reason.
    std::string skip_reason;
    // The item as its file gives it, hashed before any option (--fewshot)
    // changes it: every record carries it, so that the results of an item
    // edited since can be told. Set by the run; empty until then.
    std::string hash;
};

// "item ID (line N)", as messages name an item.
inline std::string item_name(const eval_item &item) {
    return "item " + item.id + " (line " + std::to_string(item.line) + ")";
}

// What a reader made of one file: every item before the first error, and
// that error ("FILE:LINE: what is wrong", or a byte offset for binary files).
// The items read are still scored when the error stops the run.
struct read_result {
    std::vector<eval_item> items;
    std::string error;  // empty when the whole file was read
    // The file's contexts are plain text that the answers continue
    // (llama-perplexity's files): --prompt auto scores them raw even when
    // the model has a chat template.
    bool plain_text = false;
};

}  // namespace vl_eval
