#include "tasks/jsonl_formats.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>

#include <nlohmann/json.hpp>
#include <xxhash.h>

#include "tasks/json_numbers.h"
#include "tasks/python_text.h"
#include "tasks/winogrande.h"

namespace vl_eval {
namespace {

using json = nlohmann::json;

// Thrown inside this file only, caught by parse_jsonl_item.
struct bad_item {
    std::string what;
};

const json &field(const json &object, const char *name) {
    auto it = object.find(name);
    if (it == object.end()) throw bad_item{std::string("missing field '") + name + "'"};
    return *it;
}

std::string string_field(const json &object, const char *name) {
    const json &value = field(object, name);
    if (!value.is_string()) throw bad_item{std::string("field '") + name + "' must be a string"};
    return value.get<std::string>();
}

std::vector<std::string> string_array(const json &value, const std::string &name) {
    if (!value.is_array()) throw bad_item{"field '" + name + "' must be an array of strings"};
    std::vector<std::string> out;
    for (const json &element : value) {
        if (!element.is_string())
            throw bad_item{"field '" + name + "' must be an array of strings"};
        out.push_back(element.get<std::string>());
    }
    return out;
}

// An integer label, also written as a string of digits (HellaSwag's "label":
// "2"); anything else, a fraction or a number beyond 64-bit integers
// included, is malformed. Out-of-range values are left to the range check,
// which skips the item.
long integer_label(const json &value, const char *name) {
    if (value.is_string()) {
        const std::string s = value.get<std::string>();
        if (!s.empty() && s.size() < 7 &&
            s.find_first_not_of("0123456789") == std::string::npos)
            return std::stol(s);
        throw bad_item{std::string("field '") + name + "' must be an integer, not \"" +
                       s.substr(0, 40) + "\""};
    }
    std::int64_t v = 0;
    if (std::string e = json_integer(value, name, INT64_MIN, INT64_MAX, v); !e.empty())
        throw bad_item{e};
    return v < -1 || v > 1000000 ? 1000000 : static_cast<long>(v);
}

// The item's own id, where the file gives one as a string or an integer (an
// integer as the file writes it: no conversion can change it).
void take_id(const json &object, const char *name, eval_item &item) {
    auto it = object.find(name);
    if (it == object.end()) return;
    if (it->is_string()) item.id = it->get<std::string>();
    else if (it->is_number_integer()) item.id = it->dump();
    else throw bad_item{std::string("field '") + name + "' must be a string or an integer"};
}

void read_generic(const json &o, eval_item &item) {
    take_id(o, "id", item);
    item.context = string_field(o, "context");
    item.choices = string_array(field(o, "choices"), "choices");
    item.label = integer_label(field(o, "answer"), "answer");
    if (o.contains("system")) item.system = string_field(o, "system");
}

// The harness's layout: activity_label + ": " + ctx_a + " " + ctx_b with
// ctx_b capitalised, and the context and every ending cleaned up the same
// way. The test split's empty label marks an item without a right answer.
void read_hellaswag(const json &o, eval_item &item) {
    take_id(o, "ind", item);
    take_id(o, "id", item);
    std::string ctx;
    if (o.contains("ctx_a") || !o.contains("ctx"))
        ctx = string_field(o, "ctx_a") + " " + python_capitalize(string_field(o, "ctx_b"));
    else
        ctx = string_field(o, "ctx");
    if (o.contains("activity_label")) {
        item.group = string_field(o, "activity_label");
        ctx = item.group + ": " + ctx;
    }
    item.context = hellaswag_clean(ctx);
    for (const std::string &ending : string_array(field(o, "endings"), "endings"))
        item.choices.push_back(hellaswag_clean(ending));
    const json &label = field(o, "label");
    if (label.is_null() || (label.is_string() && label.get<std::string>().empty()))
        item.skip_reason = "no label";
    else
        item.label = integer_label(label, "label");
}

// A letter "A".."Z" as an index, or -1.
long letter_index(const std::string &s) {
    if (s.size() == 1 && s[0] >= 'A' && s[0] <= 'Z') return s[0] - 'A';
    return -1;
}

void read_mmlu(const json &o, eval_item &item) {
    take_id(o, "id", item);
    const std::string question = string_field(o, "question");
    const std::vector<std::string> texts = string_array(field(o, "choices"), "choices");
    if (texts.size() > 26) throw bad_item{"field 'choices' has more than 26 entries"};
    const json &answer = field(o, "answer");
    if (answer.is_string() && letter_index(answer.get<std::string>()) >= 0)
        item.label = letter_index(answer.get<std::string>());
    else
        item.label = integer_label(answer, "answer");
    // The harness's zero-shot prompt: the subject line, a blank line, the
    // question stripped, the lettered choices and "Answer:".
    if (o.contains("subject")) {
        item.group = string_field(o, "subject");
        if (!item.group.empty())
            item.description = "The following are multiple choice questions (with answers) about " +
                               replace_all(item.group, "_", " ") + ".\n\n";
    }
    item.context = python_strip(question) + "\n";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string letter(1, static_cast<char>('A' + i));
        item.context += letter + ". " + texts[i] + "\n";
        // An empty choice text is still a letter to score, but a broken item.
        if (texts[i].empty() && item.skip_reason.empty()) item.skip_reason = "empty answer";
        item.choices.push_back(letter);
    }
    item.context += "Answer:";
}

void read_arc(const json &o, eval_item &item) {
    take_id(o, "id", item);
    std::string question;
    std::vector<std::string> labels;
    const json &q = field(o, "question");
    if (q.is_object()) {
        question = string_field(q, "stem");
        const json &choices = field(q, "choices");
        if (!choices.is_array()) throw bad_item{"field 'question.choices' must be an array"};
        for (const json &c : choices) {
            if (!c.is_object()) throw bad_item{"entries of 'question.choices' must be objects"};
            item.choices.push_back(string_field(c, "text"));
            labels.push_back(string_field(c, "label"));
        }
    } else if (q.is_string()) {
        question = q.get<std::string>();
        const json &choices = field(o, "choices");
        if (!choices.is_object()) throw bad_item{"field 'choices' must be an object"};
        item.choices = string_array(field(choices, "text"), "choices.text");
        labels = string_array(field(choices, "label"), "choices.label");
        if (labels.size() != item.choices.size())
            throw bad_item{"'choices.text' and 'choices.label' differ in length"};
    } else {
        throw bad_item{"field 'question' must be a string or an object"};
    }
    const std::string key = string_field(o, "answerKey");
    item.label = static_cast<long>(item.choices.size());  // out of range unless found
    for (std::size_t i = 0; i < labels.size(); ++i)
        if (labels[i] == key) {
            item.label = static_cast<long>(i);
            break;
        }
    item.context = "Question: " + question + "\nAnswer:";
}

// Winogrande as published: answer "1" or "2" ("" in the test split, which
// has no answers), or the number.
void read_winogrande(const json &o, eval_item &item) {
    take_id(o, "qID", item);
    take_id(o, "id", item);
    const json &answer = field(o, "answer");
    if (!answer.is_string() && !answer.is_number_integer())
        throw bad_item{"field 'answer' must be \"1\" or \"2\""};
    const std::string sentence = string_field(o, "sentence");
    if (std::string e = make_winogrande_item(sentence, string_field(o, "option1"),
                                             string_field(o, "option2"),
                                             answer.is_string() ? answer.get<std::string>() : answer.dump(),
                                             item);
        !e.empty())
        throw bad_item{"field 'sentence': " + e};
}

jsonl_layout recognise(const json &o) {
    if (o.contains("endings")) return jsonl_layout::hellaswag;
    if (o.contains("context") && o.contains("choices")) return jsonl_layout::generic;
    if (o.contains("answerKey")) return jsonl_layout::arc;
    if (o.contains("question") && o.contains("choices")) return jsonl_layout::mmlu;
    if (o.contains("sentence") && o.contains("option1")) return jsonl_layout::winogrande;
    throw bad_item{
        "cannot tell the format: expected the fields of generic (context, choices, answer), "
        "hellaswag (ctx, endings, label), mmlu (question, choices, answer), arc (question, "
        "choices, answerKey) or winogrande (sentence, option1, option2, answer)"};
}

// Marks items the model cannot take; they are recorded as skipped.
void check_scorable(eval_item &item) {
    if (!item.skip_reason.empty()) return;
    if (item.choices.size() < 2) item.skip_reason = "fewer than two answers";
    else if (item.label < 0 || item.label >= static_cast<long>(item.choices.size()))
        item.skip_reason = "label out of range";
    else
        for (const std::string &c : item.choices)
            if (c.empty()) item.skip_reason = "empty answer";
}

bool blank(const std::string &line) {
    for (char c : line)
        if (!std::isspace(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

std::string parse_jsonl_item(const std::string &text, jsonl_layout layout, eval_item &item) {
    json o = json::parse(text, nullptr, false);
    if (o.is_discarded()) return "not valid JSON";
    if (!o.is_object()) return "expected a JSON object";
    try {
        if (layout == jsonl_layout::automatic) layout = recognise(o);
        switch (layout) {
            case jsonl_layout::generic: read_generic(o, item), item.format = "generic"; break;
            case jsonl_layout::hellaswag: read_hellaswag(o, item), item.format = "hellaswag"; break;
            case jsonl_layout::mmlu: read_mmlu(o, item), item.format = "mmlu"; break;
            case jsonl_layout::arc: read_arc(o, item), item.format = "arc"; break;
            case jsonl_layout::winogrande: read_winogrande(o, item), item.format = "winogrande"; break;
            case jsonl_layout::automatic: break;
        }
    } catch (const bad_item &e) {
        return e.what;
    } catch (const json::exception &e) {
        return std::string("unreadable item: ") + e.what();
    }
    check_scorable(item);
    // Keys in order, so that equal objects have equal fingerprints.
    const std::string record = o.dump(-1, ' ', false, json::error_handler_t::replace);
    item.record_hash = XXH3_64bits(record.data(), record.size());
    return {};
}

std::string group_items_by(const std::string &path, const std::string &field_name,
                           std::vector<eval_item> &items) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return path + ": cannot open the file";
    std::string text;
    std::size_t line = 0;
    std::size_t next = 0;  // items are in the order of their lines
    while (next < items.size() && std::getline(in, text)) {
        ++line;
        if (items[next].line != line) continue;
        const json o = json::parse(text, nullptr, false);
        const std::string where = path + ":" + std::to_string(line) + ": ";
        if (o.is_discarded() || !o.is_object())
            return where + "--group-by needs a task file of JSON lines";
        auto it = o.find(field_name);
        if (it == o.end()) items[next].group.clear();
        else if (it->is_string()) items[next].group = it->get<std::string>();
        else return where + "field '" + field_name + "' must be a string to group by it";
        ++next;
    }
    if (next < items.size())
        return path + ": --group-by needs a task file of JSON lines";
    return {};
}

read_result read_jsonl(const std::string &path, jsonl_layout layout) {
    read_result result;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        result.error = path + ": cannot open the file";
        return result;
    }
    std::map<std::string, std::size_t> seen;  // id -> line
    std::string text;
    std::size_t line = 0;
    while (std::getline(in, text)) {
        ++line;
        // A byte order mark some editors write before the first line.
        if (line == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
        if (blank(text)) continue;
        eval_item item;
        item.line = line;
        const std::string error = parse_jsonl_item(text, layout, item);
        if (!error.empty()) {
            result.error = path + ":" + std::to_string(line) + ": " + error;
            return result;
        }
        if (item.id.empty()) item.id = "line-" + std::to_string(line);
        auto [it, fresh] = seen.emplace(item.id, line);
        if (!fresh) {
            result.error = path + ":" + std::to_string(line) + ": id '" + item.id +
                           "' was already used on line " + std::to_string(it->second);
            return result;
        }
        result.items.push_back(std::move(item));
    }
    if (in.bad()) result.error = path + ":" + std::to_string(line + 1) + ": read error";
    // Winogrande's sentences are plain text, whatever template the model has.
    result.plain_text = !result.items.empty() &&
                        std::all_of(result.items.begin(), result.items.end(),
                                    [](const eval_item &item) { return item.fill_in; });
    return result;
}

}  // namespace vl_eval
