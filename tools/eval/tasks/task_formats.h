// The task file formats vl-eval reads, by the name --format gives them.
#pragma once

#include <string>
#include <vector>

#include "tasks/eval_item.h"

namespace vl_eval {

struct task_format {
    const char *name;
    read_result (*read)(const std::string &path);
};

// Every format, "auto" first.
const std::vector<task_format> &task_formats();

// The format called name, or nullptr.
const task_format *find_task_format(const std::string &name);

}  // namespace vl_eval
