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
    o["run"] = r.run;
    // Invalid UTF-8 in ids from the task file is replaced, not fatal.
    return o.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string to_json_line(const evaluation_header &h) {
    nlohmann::ordered_json o;
    o["evaluation"] = h.settings;
    o["run"] = h.run;
    return o.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

bool parse_header_line(const std::string &line, evaluation_header &h) {
    const nlohmann::ordered_json o = nlohmann::ordered_json::parse(line, nullptr, false);
    if (o.is_discarded() || !o.is_object() || o.contains("id") || !o.contains("evaluation"))
        return false;
    const auto &settings = o["evaluation"];
    const auto run = o.find("run");
    if (!settings.is_object() || run == o.end() || !run->is_string()) return false;
    h.settings = settings;
    h.run = run->get<std::string>();
    return true;
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
        const bool last_without_newline = in.eof();
        evaluation_header header;
        result_record r;
        std::string err;
        if (parse_header_line(line, header)) {
            out.headers.push_back(std::move(header));
        } else if (err = parse_result_line(line, r); err.empty()) {
            out.records.push_back(std::move(r));
        } else if (last_without_newline) {
            // Killed while writing it: not a record; its item is scored again.
            out.cut_line = number;
            break;
        } else {
            out.error = path + ":" + std::to_string(number) + ": " + err;
            return out;
        }
        out.complete_bytes += line.size() + (last_without_newline ? 0 : 1);
        out.ends_without_newline = last_without_newline;
    }
    if (in.bad()) out.error = path + ": cannot read the file: " + std::strerror(errno);
    return out;
}

results_writer::~results_writer() {
    if (fd_ >= 0) ::close(fd_);
}

std::string results_writer::open(const std::string &path, bool resume, const results_read &previous) {
    path_ = path;
    if (resume) {
        // Cut an unfinished last line before appending after it.
        if (::truncate(path.c_str(), static_cast<off_t>(previous.complete_bytes)) != 0 && errno != ENOENT)
            return path + ": cannot prepare the file for resuming: " + std::strerror(errno);
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    } else {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ < 0 && errno == EEXIST)
            return path + ": the file exists; continue it with --resume or remove it";
    }
    if (fd_ < 0) return path + ": cannot open the file: " + std::strerror(errno);
    if (resume && previous.ends_without_newline) return write_line("\n");
    return {};
}

std::string results_writer::write_line(const std::string &line) {
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return path_ + ": cannot write results: " + std::strerror(n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    return {};
}

std::string results_writer::write(const result_record &record) { return write_line(to_json_line(record)); }

std::string results_writer::write(const evaluation_header &header) {
    return write_line(to_json_line(header));
}

}  // namespace vl_eval
