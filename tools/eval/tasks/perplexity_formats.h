// Readers for the task files of llama-perplexity, so that one file feeds both
// it and vl-eval:
//
//   - the HellaSwag text format (--hellaswag -f FILE): six lines a task, the
//     context, the index of the right ending, then the four endings;
//   - the multiple-choice binary format (--multiple-choice -bf FILE), all
//     integers little-endian:
//         uint32 n_tasks
//         uint32 offset[n_tasks]        byte offset of each task from the file's start
//         n_tasks times:
//             string question           uint32 length, then that many bytes
//             answers                   the answers scored
//             answers                   a second set, read but not scored
//     where answers is a uint32 count (at most 100), that many strings, then
//     one int32 label per answer (1 marks a correct one).
//
// Every item is scored in raw mode: the context, then each choice as the
// continuation " " + choice. Items get ids "task-<index>" (0-based, in file
// order). A malformed file yields the items before the fault and an error
// naming the line (text) or byte offset (binary) at fault.
#pragma once

#include <cstddef>
#include <string>

#include "tasks/eval_item.h"

namespace vl_eval {

// Most answers a multiple-choice task may have; llama-perplexity's own limit.
constexpr std::size_t max_multiple_choice_answers = 100;

read_result read_hellaswag_text(const std::string &path);
// The same from text already in memory; name is used in messages.
read_result parse_hellaswag_text(const std::string &text, const std::string &name);

read_result read_multiple_choice_binary(const std::string &path);
// The same from bytes already in memory; never reads outside [data, data + size).
read_result parse_multiple_choice_binary(const unsigned char *data, std::size_t size,
                                         const std::string &name);

// Whether bytes begin like a multiple-choice binary file: a task count of at
// least one, an offset table that fits, and a first offset pointing just past
// that table. Text (JSON lines, HellaSwag text) practically never does.
bool looks_like_multiple_choice_binary(const unsigned char *data, std::size_t size);

// Whether text looks like the HellaSwag text format: a whole number of
// six-line tasks, none starting with '{', each with an index line that is a
// whole number.
bool looks_like_hellaswag_text(const std::string &text);

}  // namespace vl_eval
