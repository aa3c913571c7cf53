#include "tasks/winogrande.h"

#include <array>
#include <map>

#include "tasks/python_text.h"
#include "tasks/whole_file.h"

namespace vl_eval {
namespace {

// One CSV line's fields as llama-perplexity splits them: at the first four
// commas outside double quotes, the answer being the rest of the line.
struct csv_task {
    std::string index, sentence, option1, option2, answer;
};

std::string split_task(const std::string &line, csv_task &task) {
    std::array<std::size_t, 4> commas{};
    std::size_t found = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size() && found < commas.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        else if (line[i] == ',' && !quoted) commas[found++] = i;
    }
    if (found < commas.size())
        return "expected index,sentence,option1,option2,answer (" + std::to_string(found) +
               " commas outside quotes)";
    const auto field = [&](std::size_t k) {
        return line.substr(commas[k] + 1, commas[k + 1] - commas[k] - 1);
    };
    task.index = line.substr(0, commas[0]);
    task.sentence = field(0);
    task.option1 = field(1);
    task.option2 = field(2);
    task.answer = line.substr(commas[3] + 1);
    if (!task.sentence.empty() && task.sentence.front() == '"') {
        if (task.sentence.size() < 2 || task.sentence.back() != '"')
            return "the sentence's opening quote is not closed before its comma";
        task.sentence = task.sentence.substr(1, task.sentence.size() - 2);
    }
    return {};
}

bool blank_line(const std::string &line) {
    return line.find_first_not_of(" \t\r") == std::string::npos;
}

}  // namespace

std::string make_winogrande_item(const std::string &sentence, const std::string &option1,
                                 const std::string &option2, const std::string &answer,
                                 eval_item &item) {
    const std::size_t blank = sentence.find('_');
    if (blank == std::string::npos) return "the sentence has no blank '_'";
    item.fill_in = true;
    item.context = sentence.substr(0, blank);
    item.after_blank = sentence.substr(blank + 1);
    item.choices = {option1, option2};
    const std::string a = python_strip(answer);
    if (a == "1" || a == "2") item.label = a == "1" ? 0 : 1;
    else if (a.empty()) item.skip_reason = "no label";
    else return "the answer must be 1 or 2, not \"" + answer.substr(0, 20) + "\"";
    // An empty option is caught by the scorability check of every reader.
    if (python_strip(item.after_blank).empty() && item.skip_reason.empty())
        item.skip_reason = "no text after the blank";
    return {};
}

read_result parse_winogrande_csv(const std::string &text, const std::string &name) {
    read_result out;
    out.plain_text = true;
    std::map<std::string, std::size_t> seen;  // id -> line
    const std::vector<std::string> lines = split_lines(text);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::size_t line = n + 1;
        if (blank_line(lines[n])) continue;
        const std::string where = name + ":" + std::to_string(line) + ": ";
        csv_task task;
        eval_item item;
        item.line = line;
        item.format = "winogrande-csv";
        std::string error = split_task(lines[n], task);
        if (error.empty())
            error = make_winogrande_item(task.sentence, task.option1, task.option2, task.answer, item);
        if (!error.empty()) {
            out.error = where + error;
            return out;
        }
        item.id = python_strip(task.index);
        if (item.id.empty()) item.id = "line-" + std::to_string(line);
        auto [it, fresh] = seen.emplace(item.id, line);
        if (!fresh) {
            out.error = where + "id '" + item.id + "' was already used on line " +
                        std::to_string(it->second);
            return out;
        }
        if (item.skip_reason.empty())
            for (const std::string &c : item.choices)
                if (c.empty()) item.skip_reason = "empty answer";
        out.items.push_back(std::move(item));
    }
    return out;
}

read_result read_winogrande_csv(const std::string &path) {
    std::string text, error;
    if (!read_whole_file(path, text, error)) {
        read_result out;
        out.error = error;
        return out;
    }
    return parse_winogrande_csv(text, path);
}

bool looks_like_winogrande_csv(const std::string &text) {
    for (const std::string &line : split_lines(text.substr(0, 1 << 16))) {
        if (blank_line(line)) continue;
        csv_task task;
        eval_item item;
        return line.front() != '{' && split_task(line, task).empty() &&
               make_winogrande_item(task.sentence, task.option1, task.option2, task.answer, item)
                   .empty() &&
               item.label >= 0;
    }
    return false;
}

}  // namespace vl_eval
