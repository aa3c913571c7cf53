// Readers of the JSON-lines task files: one multiple-choice item per line in
// the generic layout or as HellaSwag, MMLU, ARC and Winogrande publish them.
#pragma once

#include <string>
#include <vector>

#include "tasks/eval_item.h"

namespace vl_eval {

enum class jsonl_layout { automatic, generic, hellaswag, mmlu, arc, winogrande };

// Reads every line of path as one item of the given layout; `automatic`
// recognises each line's layout by its fields. Blank lines are ignored. The
// first malformed line stops the reading with "FILE:LINE: what is wrong".
read_result read_jsonl(const std::string &path, jsonl_layout layout);

// Sets the group of every item (read from path, a JSON-lines file) to the
// top-level string field_name of its line; items whose line has no such
// field have no group. Returns "FILE:LINE: what is wrong", empty on success.
std::string group_items_by(const std::string &path, const std::string &field_name,
                           std::vector<eval_item> &items);

// The item one line of text makes (exposed for tests and the fuzz target);
// returns the error without the FILE:LINE part, empty on success.
std::string parse_jsonl_item(const std::string &text, jsonl_layout layout, eval_item &item);

}  // namespace vl_eval
