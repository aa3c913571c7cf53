#include "task_formats.h"

#include "jsonl_formats.h"

namespace vl_eval {
namespace {

template <jsonl_layout layout>
read_result read_layout(const std::string &path) {
    return read_jsonl(path, layout);
}

}  // namespace

const std::vector<task_format> &task_formats() {
    // One line per format: a new reader is added here and nowhere else.
    static const std::vector<task_format> formats = {
        {"auto", read_layout<jsonl_layout::automatic>},
        {"generic", read_layout<jsonl_layout::generic>},
        {"hellaswag", read_layout<jsonl_layout::hellaswag>},
        {"mmlu", read_layout<jsonl_layout::mmlu>},
        {"arc", read_layout<jsonl_layout::arc>},
    };
    return formats;
}

const task_format *find_task_format(const std::string &name) {
    for (const task_format &f : task_formats())
        if (name == f.name) return &f;
    return nullptr;
}

}  // namespace vl_eval
