// The results file: one JSON object per item, written and flushed as each
// item finishes, read back by --resume and by `vl-eval summarize`.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "metrics.h"

namespace vl_eval {

struct result_record {
    std::string id;
    std::uint64_t line = 0;
    std::string run;
    std::string group;    // the item's group for the summary's breakdown; empty for none
    std::string skipped;  // non-empty: the item was not scored, for this reason
    long label = -1;
    std::vector<answer_score> answers;
    std::array<int, metric_count> pick = {0, 0, 0};
    std::array<bool, metric_count> correct = {false, false, false};
};

// Fills pick and correct from answers and label.
void decide(result_record &record);

std::string to_json_line(const result_record &record);
// Reads one line; returns what is wrong with it, empty on success.
std::string parse_result_line(const std::string &line, result_record &record);

// Whether two records of one id hold the same outcome.
bool same_outcome(const result_record &a, const result_record &b);

// A short hex fingerprint of a text that determines scores.
std::string fingerprint(const std::string &text);

// Reads every complete record of path. A last line without its newline (a
// run killed while writing it) is not a record and is left out; any other
// unreadable line is an error "FILE:LINE: ...". A missing file reads as
// empty when missing_ok.
struct results_read {
    std::vector<result_record> records;
    std::string error;
    std::uint64_t complete_bytes = 0;  // length of the file up to its last full line
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
    // cuts it to complete_bytes and appends. Returns an error, empty on success.
    std::string open(const std::string &path, bool resume, std::uint64_t complete_bytes);
    std::string write(const result_record &record);
    bool is_open() const { return file_ != nullptr; }

private:
    std::FILE *file_ = nullptr;
    std::string path_;
};

}  // namespace vl_eval
