// What the task options do to the items read, before any is sized or
// scored: --group-by names the field the summary breaks metrics down by, and
// --fewshot N --fewshot-from FILE puts N solved examples before every item.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tasks/eval_item.h"
#include "tasks/task_formats.h"

namespace vl_eval {

struct task_options {
    std::string group_by;      // top-level string field of JSON-lines items; empty: the format's own
    std::size_t fewshot = 0;   // solved examples before each item
    std::string fewshot_from;  // the file they come from, in the task file's format
};

// An example as the harness writes it: the item's context, a space and its
// right answer.
std::string render_example(const eval_item &solved);

// Applies the options to items (read from tasks_path). The examples for an
// item are the first N solved items of the examples file with the same
// description (MMLU: of the same subject; other formats have none, so the
// first N of the file), joined by blank lines and followed by one before the
// item's context; the subject line stays first. `examples` receives every
// distinct block of examples used, for the run's fingerprint. Returns an
// error naming the file and what is wrong, empty on success.
std::string apply_task_options(const task_options &options, const task_format &format,
                               const std::string &tasks_path, std::vector<eval_item> &items,
                               std::string &examples);

// The options as the summary's configuration records them.
void describe_task_options(const task_options &options, nlohmann::json &configuration);

}  // namespace vl_eval
