#include "tasks/task_formats.h"

#include <fstream>
#include <iterator>

#include "tasks/jsonl_formats.h"
#include "tasks/perplexity_formats.h"
#include "tasks/winogrande.h"

namespace vl_eval {
namespace {

template <jsonl_layout layout>
read_result read_layout(const std::string &path) {
    return read_jsonl(path, layout);
}

// auto: llama-perplexity's own files by their content (a binary file's offset
// table, the HellaSwag text's six-line tasks, a Winogrande CSV line), JSON
// lines otherwise, each line by its fields.
read_result read_automatic(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return read_jsonl(path, jsonl_layout::automatic);  // which names the fault
    if (looks_like_multiple_choice_binary(reinterpret_cast<const unsigned char *>(bytes.data()),
                                          bytes.size()))
        return parse_multiple_choice_binary(reinterpret_cast<const unsigned char *>(bytes.data()),
                                            bytes.size(), path);
    if (looks_like_hellaswag_text(bytes)) return parse_hellaswag_text(bytes, path);
    if (looks_like_winogrande_csv(bytes)) return parse_winogrande_csv(bytes, path);
    return read_jsonl(path, jsonl_layout::automatic);
}

}  // namespace

const std::vector<task_format> &task_formats() {
    // One line per format: a new reader is added here and nowhere else.
    static const std::vector<task_format> formats = {
        {"auto", read_automatic},
        {"generic", read_layout<jsonl_layout::generic>},
        {"hellaswag", read_layout<jsonl_layout::hellaswag>},
        {"mmlu", read_layout<jsonl_layout::mmlu>},
        {"arc", read_layout<jsonl_layout::arc>},
        {"winogrande", read_layout<jsonl_layout::winogrande>},
        {"hellaswag-text", read_hellaswag_text},
        {"mc-binary", read_multiple_choice_binary},
        {"winogrande-csv", read_winogrande_csv},
    };
    return formats;
}

const task_format *find_task_format(const std::string &name) {
    for (const task_format &f : task_formats())
        if (name == f.name) return &f;
    return nullptr;
}

}  // namespace vl_eval
