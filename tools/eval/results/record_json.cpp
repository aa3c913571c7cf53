#include "results/record_json.h"

#include <cstdint>

#include <nlohmann/json.hpp>

#include "tasks/json_numbers.h"

namespace vl_eval {

using json = nlohmann::json;

std::string to_json_line(const result_record &r) {
    // Keys in the order a reader expects them: id first, run last.
    nlohmann::ordered_json o;
    o["id"] = r.id;
    o["line"] = r.line;
    if (!r.group.empty()) o["group"] = r.group;
    if (!r.skipped.empty()) {
        o["skipped"] = r.skipped;
        if (r.needed > 0) {
            o["needed"] = r.needed;
            o["window"] = r.window;
        }
    } else {
        o["label"] = r.label;
        nlohmann::ordered_json answers = nlohmann::ordered_json::array();
        for (const answer_score &a : r.answers)
            answers.push_back({{"logprob", a.logprob}, {"tokens", a.tokens}, {"chars", a.chars}});
        o["answers"] = std::move(answers);
        nlohmann::ordered_json pick, correct;
        for (std::size_t m = 0; m < metric_count; ++m) {
            pick[metric_names[m]] = r.pick[m];
            correct[metric_names[m]] = r.correct[m];
        }
        o["pick"] = std::move(pick);
        o["correct"] = std::move(correct);
    }
    o["item_xxh3"] = r.item;
    o["run"] = r.run;
    // Invalid UTF-8 in ids from the task file is replaced, not fatal.
    return o.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string parse_result_line(const std::string &line, result_record &r) {
    const json o = json::parse(line, nullptr, false);
    if (o.is_discarded() || !o.is_object()) return "not a JSON object";
    // Every number is checked for its type and range before it is converted.
    std::int64_t v = 0;
    try {
        r = result_record{};
        r.id = o.at("id").get<std::string>();
        if (std::string e = json_integer(o.at("line"), "line", 0, INT64_MAX, v); !e.empty()) return e;
        r.line = static_cast<std::uint64_t>(v);
        r.run = o.at("run").get<std::string>();
        const auto item = o.find("item_xxh3");
        if (item == o.end())
            return "no 'item_xxh3': a record of an earlier vl-eval, which did not note what its "
                   "item was, so that an item edited since cannot be told; score the items again "
                   "into a new file";
        if (!item->is_string() || item->get<std::string>().size() != 16 ||
            item->get<std::string>().find_first_not_of("0123456789abcdef") != std::string::npos)
            return "field 'item_xxh3' must be 16 hex digits, not " +
                   item->dump(-1, ' ', false, json::error_handler_t::replace);
        r.item = item->get<std::string>();
        if (o.contains("group")) r.group = o.at("group").get<std::string>();
        if (o.contains("skipped")) {
            r.skipped = o.at("skipped").get<std::string>();
            if (r.skipped.empty()) return "empty 'skipped' reason";
            if (o.contains("needed")) {
                if (std::string e = json_integer(o.at("needed"), "needed", 1, INT64_MAX, v); !e.empty())
                    return e;
                r.needed = static_cast<std::uint64_t>(v);
                if (std::string e = json_integer(o.at("window"), "window", 0, INT64_MAX, v); !e.empty())
                    return e;
                r.window = static_cast<std::uint64_t>(v);
            }
            return {};
        }
        const json &answers = o.at("answers");
        if (!answers.is_array()) return "field 'answers' must be an array";
        for (std::size_t i = 0; i < answers.size(); ++i) {
            const json &a = answers[i];
            const std::string name = "answers[" + std::to_string(i) + "].";
            answer_score s;
            if (std::string e = json_finite(a.at("logprob"), name + "logprob", s.logprob); !e.empty())
                return e;
            if (std::string e = json_integer(a.at("tokens"), name + "tokens", 0, INT64_MAX, v); !e.empty())
                return e;
            s.tokens = static_cast<std::uint64_t>(v);
            if (std::string e = json_integer(a.at("chars"), name + "chars", 0, INT64_MAX, v); !e.empty())
                return e;
            s.chars = static_cast<std::uint64_t>(v);
            r.answers.push_back(s);
        }
        if (r.answers.size() < 2) return "fewer than two answers";
        const auto last = static_cast<std::int64_t>(r.answers.size()) - 1;
        // -1: the task file named no right answer.
        if (std::string e = json_integer(o.at("label"), "label", -1, last, v); !e.empty()) return e;
        r.label = static_cast<long>(v);
        for (std::size_t m = 0; m < metric_count; ++m) {
            const std::string name = std::string("pick.") + metric_names[m];
            if (std::string e = json_integer(o.at("pick").at(metric_names[m]), name, 0, last, v);
                !e.empty())
                return e;
            r.pick[m] = static_cast<int>(v);
            r.correct[m] = o.at("correct").at(metric_names[m]).get<bool>();
        }
    } catch (const json::exception &e) {
        return std::string("not a result record: ") + e.what();
    }
    return {};
}

}  // namespace vl_eval
