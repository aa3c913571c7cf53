#include "results_file.h"

#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "json_numbers.h"

namespace vl_eval {

using json = nlohmann::json;

void decide(result_record &record) {
    record.pick = pick_answers(record.answers);
    for (std::size_t m = 0; m < metric_count; ++m)
        record.correct[m] = record.pick[m] == record.label;
}

std::string to_json_line(const result_record &r) {
    // Keys in the order a reader expects them: id first, run last.
    nlohmann::ordered_json o;
    o["id"] = r.id;
    o["line"] = r.line;
    if (!r.group.empty()) o["group"] = r.group;
    if (!r.skipped.empty()) {
        o["skipped"] = r.skipped;
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
        if (o.contains("group")) r.group = o.at("group").get<std::string>();
        if (o.contains("skipped")) {
            r.skipped = o.at("skipped").get<std::string>();
            if (r.skipped.empty()) return "empty 'skipped' reason";
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

bool same_outcome(const result_record &a, const result_record &b) {
    if (a.skipped != b.skipped || a.label != b.label || a.answers.size() != b.answers.size())
        return false;
    for (std::size_t i = 0; i < a.answers.size(); ++i)
        if (a.answers[i].logprob != b.answers[i].logprob ||
            a.answers[i].tokens != b.answers[i].tokens || a.answers[i].chars != b.answers[i].chars)
            return false;
    return true;
}

std::string fingerprint(const std::string &text) {
    // FNV-1a, 64 bits: a label for "same settings", not a security measure.
    // The offset basis is one digit short of the published one; it stays so,
    // since run ids must not change between versions.
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return hex;
}

results_read read_results(const std::string &path, bool missing_ok) {
    results_read out;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (!(missing_ok && errno == ENOENT))
            out.error = path + ": cannot open the file: " + std::strerror(errno);
        return out;
    }
    std::string line;
    std::uint64_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (in.eof()) break;  // no newline: an unfinished last record
        out.complete_bytes += line.size() + 1;
        result_record r;
        if (const std::string err = parse_result_line(line, r); !err.empty()) {
            out.error = path + ":" + std::to_string(number) + ": " + err;
            return out;
        }
        out.records.push_back(std::move(r));
    }
    return out;
}

results_writer::~results_writer() {
    if (file_ != nullptr) std::fclose(file_);
}

std::string results_writer::open(const std::string &path, bool resume, std::uint64_t complete_bytes) {
    path_ = path;
    if (resume) {
        // Cut an unfinished last line before appending after it.
        if (::truncate(path.c_str(), static_cast<off_t>(complete_bytes)) != 0 && errno != ENOENT)
            return path + ": cannot prepare the file for resuming: " + std::strerror(errno);
        file_ = std::fopen(path.c_str(), "ab");
    } else {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                return path + ": the file exists; continue it with --resume or remove it";
            return path + ": cannot create the file: " + std::strerror(errno);
        }
        file_ = ::fdopen(fd, "wb");
        if (file_ == nullptr) ::close(fd);
    }
    if (file_ == nullptr) return path + ": cannot open the file: " + std::strerror(errno);
    return {};
}

std::string results_writer::write(const result_record &record) {
    const std::string line = to_json_line(record);
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0)
        return path_ + ": cannot write results: " + std::strerror(errno);
    return {};
}

}  // namespace vl_eval
