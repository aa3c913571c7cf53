// Readers for llama-perplexity's HellaSwag text and multiple-choice binary
// task files. See perplexity_formats.h for the layouts.
#include "tasks/perplexity_formats.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tasks/whole_file.h"

namespace vl_eval {

namespace {

// Why an item cannot be scored, from its answers alone; empty when it can.
std::string answers_fault(const std::vector<std::string> &choices) {
    if (choices.size() < 2) return "fewer than two answers";
    for (const std::string &c : choices)
        if (c.empty()) return "empty answer";
    return "";
}

// ---- HellaSwag text ------------------------------------------------------

constexpr std::size_t hellaswag_lines = 6;
constexpr std::size_t hellaswag_endings = 4;

// A whole decimal number, optionally signed, with no other characters.
bool parse_index(const std::string &s, long &value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    if (i == s.size()) return false;
    long v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        if (v > 100000000) return false;  // far beyond any ending index
        v = v * 10 + (s[i] - '0');
    }
    value = negative ? -v : v;
    return true;
}

// ---- multiple-choice binary ----------------------------------------------

// Reads little-endian integers and length-prefixed strings from a byte range,
// checking every length against the end before it reads.
class byte_reader {
public:
    byte_reader(const unsigned char *data, std::size_t size) : data_(data), size_(size) {}

    std::size_t pos() const { return pos_; }
    std::size_t size() const { return size_; }
    void seek(std::size_t pos) { pos_ = pos; }
    bool has(std::uint64_t n) const { return pos_ <= size_ && n <= size_ - pos_; }

    std::uint32_t u32() {
        std::uint32_t v = static_cast<std::uint32_t>(data_[pos_]) |
                          static_cast<std::uint32_t>(data_[pos_ + 1]) << 8 |
                          static_cast<std::uint32_t>(data_[pos_ + 2]) << 16 |
                          static_cast<std::uint32_t>(data_[pos_ + 3]) << 24;
        pos_ += 4;
        return v;
    }
    std::string bytes(std::size_t n) {
        std::string s(reinterpret_cast<const char *>(data_ + pos_), n);
        pos_ += n;
        return s;
    }

private:
    const unsigned char *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Parses the binary format, stopping at the first fault with "NAME: byte N: ...".
class binary_parser {
public:
    binary_parser(const unsigned char *data, std::size_t size, const std::string &name)
        : in_(data, size), name_(name) {}

    read_result run() {
        read_result out;
        if (!in_.has(4)) {
            fail(0, "the file is " + std::to_string(in_.size()) +
                        " bytes, too short for the task count");
            out.error = error_;
            return out;
        }
        const std::uint32_t n_tasks = in_.u32();
        const std::uint64_t table_end = 4 + 4ull * n_tasks;
        if (table_end > in_.size()) {
            fail(4, "the offsets of " + std::to_string(n_tasks) + " tasks need bytes 4.." +
                        std::to_string(table_end) + ", but the file ends at byte " +
                        std::to_string(in_.size()));
            out.error = error_;
            return out;
        }
        std::vector<std::uint32_t> offsets(n_tasks);
        for (std::uint32_t &o : offsets) o = in_.u32();

        for (std::uint32_t i = 0; i < n_tasks; ++i) {
            const std::size_t entry = 4 + 4 * static_cast<std::size_t>(i);
            const std::string task = "task " + std::to_string(i);
            if (offsets[i] < table_end || offsets[i] >= in_.size()) {
                fail(entry, task + "'s offset " + std::to_string(offsets[i]) +
                                " is outside the tasks' bytes " + std::to_string(table_end) +
                                ".." + std::to_string(in_.size()));
                break;
            }
            // Tasks follow each other; an offset that disagrees with where the
            // previous task ended means the table and the tasks do not belong
            // together, and llama-perplexity would read different tasks when
            // it picks a subset by offset.
            if (offsets[i] != in_.pos()) {
                fail(entry, task + "'s offset " + std::to_string(offsets[i]) +
                                " is not where the task starts, byte " +
                                std::to_string(in_.pos()));
                break;
            }
            eval_item item;
            item.format = "mc-binary";
            item.id = "task-" + std::to_string(i);
            item.line = i;
            std::vector<std::int32_t> labels;
            std::vector<std::string> unused;
            std::vector<std::int32_t> unused_labels;
            if (!read_string(task + "'s question", item.context) ||
                !read_answers(task, item.choices, labels) ||
                !read_answers(task + "'s second set", unused, unused_labels))
                break;
            set_label(item, labels);
            out.items.push_back(std::move(item));
        }
        out.error = error_;
        return out;
    }

private:
    void fail(std::size_t at, const std::string &what) {
        error_ = name_ + ": byte " + std::to_string(at) + ": " + what;
    }

    bool need(std::uint64_t n, const std::string &what) {
        if (in_.has(n)) return true;
        fail(in_.pos(), what + " needs " + std::to_string(n) +
                            " bytes, but the file ends at byte " + std::to_string(in_.size()));
        return false;
    }

    bool read_string(const std::string &what, std::string &s) {
        if (!need(4, what + "'s length")) return false;
        const std::size_t at = in_.pos();
        const std::uint32_t n = in_.u32();
        if (!in_.has(n)) {
            fail(at, what + " is " + std::to_string(n) + " bytes long, past the end of the file at byte " +
                         std::to_string(in_.size()));
            return false;
        }
        s = in_.bytes(n);
        return true;
    }

    bool read_answers(const std::string &what, std::vector<std::string> &answers,
                      std::vector<std::int32_t> &labels) {
        if (!need(4, what + "'s answer count")) return false;
        const std::size_t at = in_.pos();
        const std::uint32_t n = in_.u32();
        if (n > max_multiple_choice_answers) {
            fail(at, what + " has " + std::to_string(n) + " answers, more than the " +
                         std::to_string(max_multiple_choice_answers) + " allowed");
            return false;
        }
        answers.resize(n);
        for (std::uint32_t k = 0; k < n; ++k)
            if (!read_string(what + "'s answer " + std::to_string(k), answers[k])) return false;
        if (!need(4ull * n, what + "'s labels")) return false;
        labels.resize(n);
        for (std::int32_t &l : labels) l = static_cast<std::int32_t>(in_.u32());
        return true;
    }

    // The right answer is the one labelled 1. llama-perplexity counts a pick
    // as right when its label is 1, which a single index cannot express when
    // several are; such items are recorded as skipped rather than scored
    // against one of them.
    static void set_label(eval_item &item, const std::vector<std::int32_t> &labels) {
        std::size_t correct = 0;
        for (std::size_t k = 0; k < labels.size(); ++k) {
            if (labels[k] != 1) continue;
            if (correct++ == 0) item.label = static_cast<long>(k);
        }
        item.skip_reason = answers_fault(item.choices);
        if (item.skip_reason.empty() && correct == 0) item.skip_reason = "no right answer marked";
        if (item.skip_reason.empty() && correct > 1)
            item.skip_reason = "more than one answer is labelled correct";
    }

    byte_reader in_;
    const std::string &name_;
    std::string error_;
};

}  // namespace

read_result parse_hellaswag_text(const std::string &text, const std::string &name) {
    read_result out;
    out.plain_text = true;
    const std::vector<std::string> lines = split_lines(text);
    for (std::size_t first = 0; first < lines.size(); first += hellaswag_lines) {
        const std::size_t task = first / hellaswag_lines;
        if (lines.size() - first < hellaswag_lines) {
            out.error = name + ":" + std::to_string(first + 1) + ": task " + std::to_string(task) +
                        " has only " + std::to_string(lines.size() - first) + " of its " +
                        std::to_string(hellaswag_lines) +
                        " lines (context, right ending's index, 4 endings)";
            break;
        }
        long index = 0;
        if (!parse_index(lines[first + 1], index)) {
            out.error = name + ":" + std::to_string(first + 2) + ": the right ending's index \"" +
                        lines[first + 1].substr(0, 40) + "\" is not a whole number";
            break;
        }
        eval_item item;
        item.format = "hellaswag-text";
        item.id = "task-" + std::to_string(task);
        item.line = first + 1;
        item.context = lines[first];
        item.choices.assign(lines.begin() + static_cast<std::ptrdiff_t>(first + 2),
                            lines.begin() + static_cast<std::ptrdiff_t>(first + hellaswag_lines));
        item.skip_reason = answers_fault(item.choices);
        if (index >= 0 && index < static_cast<long>(hellaswag_endings)) {
            item.label = index;
        } else if (item.skip_reason.empty()) {
            item.skip_reason = "label out of range";
        }
        out.items.push_back(std::move(item));
    }
    return out;
}

read_result read_hellaswag_text(const std::string &path) {
    std::string bytes;
    read_result out;
    if (!read_whole_file(path, bytes, out.error)) return out;
    return parse_hellaswag_text(bytes, path);
}

read_result parse_multiple_choice_binary(const unsigned char *data, std::size_t size,
                                         const std::string &name) {
    read_result out = binary_parser(data, size, name).run();
    out.plain_text = true;
    return out;
}

read_result read_multiple_choice_binary(const std::string &path) {
    std::string bytes;
    read_result out;
    if (!read_whole_file(path, bytes, out.error)) return out;
    return parse_multiple_choice_binary(reinterpret_cast<const unsigned char *>(bytes.data()),
                                        bytes.size(), path);
}

bool looks_like_multiple_choice_binary(const unsigned char *data, std::size_t size) {
    if (size < 8) return false;
    byte_reader in(data, size);
    const std::uint64_t n_tasks = in.u32();
    const std::uint64_t table_end = 4 + 4 * n_tasks;
    return n_tasks > 0 && table_end <= size && in.u32() == table_end;
}

bool looks_like_hellaswag_text(const std::string &text) {
    const std::vector<std::string> lines = split_lines(text);
    if (lines.empty() || lines.size() % hellaswag_lines != 0) return false;
    for (std::size_t first = 0; first < lines.size(); first += hellaswag_lines) {
        long index = 0;
        if (!lines[first].empty() && lines[first][0] == '{') return false;
        if (!parse_index(lines[first + 1], index)) return false;
    }
    return true;
}

}  // namespace vl_eval
