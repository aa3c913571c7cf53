#include "tasks/task_options.h"

#include "tasks/jsonl_formats.h"

namespace vl_eval {

std::string apply_task_options(const task_options &o, const task_format &format,
                               const std::string &tasks_path, std::vector<eval_item> &items,
                               std::string &examples) {
    examples.clear();
    // Examples first: they are chosen by the format's own subject.
    if (o.fewshot > 0) {
        if (o.fewshot_from.empty()) return "--fewshot needs --fewshot-from FILE";
        const read_result source = format.read(o.fewshot_from);
        if (!source.error.empty()) return source.error;
        fewshot_request request;
        request.n = o.fewshot;
        request.seed = o.fewshot_seed;
        request.source = o.fewshot_from;
        request.tasks = tasks_path;
        if (std::string e = add_fewshot_examples(request, source.items, items, examples); !e.empty())
            return e;
    }
    if (!o.group_by.empty()) return group_items_by(tasks_path, o.group_by, items);
    return {};
}

void describe_task_options(const task_options &o, nlohmann::json &configuration) {
    if (!o.group_by.empty()) configuration["group_by"] = o.group_by;
    if (o.fewshot > 0) {
        configuration["fewshot"] = o.fewshot;
        configuration["fewshot_from"] = o.fewshot_from;
        configuration["fewshot_seed"] = o.fewshot_seed;
    }
}

}  // namespace vl_eval
