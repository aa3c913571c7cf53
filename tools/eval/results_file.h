// The results file: one JSON object per item, written and flushed as each
// item finishes, read back by --resume and by `vl-eval summarize`.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "metrics.h"

namespace vl_eval {

struct result_record {
    std::string id;
    std::uint64_t line = 0;
    std::string run;
    std::string group;    // the item's group for the summary's breakdown; empty for none
    std::string skipped;  // non-empty: the item was not scored, for this reason
    // For an item longer than the context window: the positions it needs and
    // the window's (the reason itself carries no numbers); 0 otherwise.
    std::uint64_t needed = 0;
    std::uint64_t window = 0;
    long label = -1;
    std::vector<answer_score> answers;
    std::array<int, metric_count> pick = {0, 0, 0};
    std::array<bool, metric_count> correct = {false, false, false};
};

// The first line a run writes into a new results file: what the evaluation
// is (the settings its run id is made of), so that a run resumed with other
// settings, or files merged from other evaluations, can say what differs.
struct evaluation_header {
    std::string run;
    nlohmann::ordered_json settings = nlohmann::ordered_json::object();
};

std::string to_json_line(const result_record &record);
std::string to_json_line(const evaluation_header &header);
// Reads one line; returns what is wrong with it, empty on success.
std::string parse_result_line(const std::string &line, result_record &record);
// Whether line is an evaluation header; when it is, fills header.
bool parse_header_line(const std::string &line, evaluation_header &header);

// Whether two records of one id hold the same outcome.
bool same_outcome(const result_record &a, const result_record &b);

// A short hex fingerprint of a text that determines scores.
std::string fingerprint(const std::string &text);

// Reads every record and header of path. A last line without its newline
// that is not a whole record (a run killed while writing it) is left out and
// reported in cut_line; a whole one is a record like any other. Any other
// unreadable line is an error "FILE:LINE: ...". A missing file reads as
// empty when missing_ok.
struct results_read {
    std::vector<result_record> records;
    std::vector<evaluation_header> headers;
    std::string error;
    std::uint64_t complete_bytes = 0;  // length of the file up to its last whole line
    std::uint64_t cut_line = 0;        // line number of a cut last line; 0: none
    bool ends_without_newline = false; // the last whole line has no newline
};
results_read read_results(const std::string &path, bool missing_ok);

// Appends records to a results file, each flushed to the system at once.
class results_writer {
public:
    results_writer() = default;
    results_writer(const results_writer &) = delete;
    results_writer &operator=(const results_writer &) = delete;
    ~results_writer();

    // Creates path (refusing to replace an existing file), or, when resuming,
    // cuts it after the whole lines `previous` read and appends (after the
    // newline its last line lacks). Returns an error, empty on success.
    std::string open(const std::string &path, bool resume, const results_read &previous);
    // Appends one line, all of it: a signal that interrupts the write does
    // not cut it. Returns an error, empty on success.
    std::string write(const result_record &record);
    std::string write(const evaluation_header &header);
    bool is_open() const { return fd_ >= 0; }

private:
    std::string write_line(const std::string &line);
    int fd_ = -1;
    std::string path_;
};

}  // namespace vl_eval
