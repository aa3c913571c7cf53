// What the task options do to the items read, before any is sized or
// scored: --group-by names the field the summary breaks metrics down by, and
// --fewshot N --fewshot-from FILE puts N solved examples before every item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tasks/eval_item.h"
#include "tasks/fewshot.h"
#include "tasks/task_formats.h"

namespace vl_eval {

struct task_options {
    std::string group_by;      // top-level string field of JSON-lines items; empty: the format's own
    std::size_t fewshot = 0;   // solved examples before each item
    std::string fewshot_from;  // the file they come from, in the task file's format
    std::int64_t fewshot_seed = harness_fewshot_seed;  // of the random draws
};

// Applies the options to items (read from tasks_path). The examples for an
// item are chosen from the examples file as the harness chooses them (see
// fewshot.h) and put before its context. `examples` receives a fingerprint
// of every item's examples, for the run's identity. Returns an error naming
// the file and what is wrong, empty on success.
std::string apply_task_options(const task_options &options, const task_format &format,
                               const std::string &tasks_path, std::vector<eval_item> &items,
                               std::string &examples);

// The options as the summary's configuration records them.
void describe_task_options(const task_options &options, nlohmann::json &configuration);

}  // namespace vl_eval
