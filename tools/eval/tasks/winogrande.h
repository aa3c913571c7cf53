// Winogrande's fill-in-the-blank items, from both files they come in:
//
//   - the published JSON lines (read by jsonl_formats): sentence, with one
//     '_' for the blank, option1, option2 and answer ("1" or "2", "" in the
//     test split);
//   - llama-perplexity's CSV (--winogrande -f FILE), one task a line:
//     index,sentence,option1,option2,answer. A sentence with commas is put in
//     double quotes, which are taken off as they are (no "" escapes); the
//     options are never quoted, and the answer is the rest of the line.
//
// The item's context is the sentence before the blank, its choices the two
// options, and after_blank the sentence after it: each option fills the
// blank to make a context of its own, and the text after the blank is what
// is scored (see prompts.h for the two ways of scoring it).
#pragma once

#include <string>

#include "tasks/eval_item.h"

namespace vl_eval {

// Fills item from a sentence, its options and the right option's number;
// an empty answer leaves the item without a label (skipped: no label).
// Returns what is wrong, empty when the item was made.
std::string make_winogrande_item(const std::string &sentence, const std::string &option1,
                                 const std::string &option2, const std::string &answer,
                                 eval_item &item);

// llama-perplexity's CSV. Items get the index as their id. A malformed line
// stops the reading with "FILE:LINE: what is wrong"; blank lines are ignored.
read_result read_winogrande_csv(const std::string &path);
// The same from text already in memory; name is used in messages.
read_result parse_winogrande_csv(const std::string &text, const std::string &name);

// Whether text begins like llama-perplexity's Winogrande CSV: its first line
// that is not blank has the five fields, a blank in the sentence and an
// answer of 1 or 2.
bool looks_like_winogrande_csv(const std::string &text);

}  // namespace vl_eval
