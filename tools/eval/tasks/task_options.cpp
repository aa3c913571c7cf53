#include "tasks/task_options.h"

#include <map>

#include "tasks/jsonl_formats.h"

namespace vl_eval {
namespace {

bool solved(const eval_item &item) {
    return item.skip_reason.empty() && item.label >= 0 &&
           item.label < static_cast<long>(item.choices.size());
}

// The few-shot examples before every item's context.
std::string add_examples(const task_options &o, const task_format &format,
                         const std::string &tasks_path, std::vector<eval_item> &items,
                         std::string &examples) {
    if (o.fewshot == 0) return {};
    if (o.fewshot_from.empty()) return "--fewshot needs --fewshot-from FILE";

    const read_result source = format.read(o.fewshot_from);
    if (!source.error.empty()) return source.error;
    // The first N solved examples of each description, in file order.
    std::map<std::string, std::vector<const eval_item *>> by_description;
    for (const eval_item &e : source.items) {
        if (!solved(e)) continue;
        std::vector<const eval_item *> &chosen = by_description[e.description];
        if (chosen.size() < o.fewshot) chosen.push_back(&e);
    }
    std::map<std::string, std::string> blocks;  // description -> rendered examples
    for (eval_item &item : items) {
        auto block = blocks.find(item.description);
        if (block == blocks.end()) {
            const auto &chosen = by_description[item.description];
            if (chosen.size() < o.fewshot) {
                const std::string which = item.description.empty()
                                              ? std::string()
                                              : " of subject '" + item.group + "'";
                return o.fewshot_from + ": has " + std::to_string(chosen.size()) +
                       " solved examples" + which + ", --fewshot asks for " +
                       std::to_string(o.fewshot) + " (for the item on line " +
                       std::to_string(item.line) + " of " + tasks_path + ")";
            }
            std::string text;
            for (const eval_item *e : chosen) text += render_example(*e) + "\n\n";
            block = blocks.emplace(item.description, std::move(text)).first;
            examples += std::to_string(block->second.size()) + ":" + block->second;
        }
        item.context = block->second + item.context;
    }
    return {};
}

}  // namespace

std::string render_example(const eval_item &solved) {
    return solved.context + " " + solved.choices[static_cast<std::size_t>(solved.label)];
}

std::string apply_task_options(const task_options &o, const task_format &format,
                               const std::string &tasks_path, std::vector<eval_item> &items,
                               std::string &examples) {
    examples.clear();
    // Examples first: they are chosen by the format's own subject.
    if (std::string e = add_examples(o, format, tasks_path, items, examples); !e.empty()) return e;
    if (!o.group_by.empty()) return group_items_by(tasks_path, o.group_by, items);
    return {};
}

void describe_task_options(const task_options &o, nlohmann::json &configuration) {
    if (!o.group_by.empty()) configuration["group_by"] = o.group_by;
    if (o.fewshot > 0) {
        configuration["fewshot"] = o.fewshot;
        configuration["fewshot_from"] = o.fewshot_from;
    }
}

}  // namespace vl_eval
