// Reading a results file back, for --resume and `vl-eval summarize`: its run
// headers and records, and where its last whole line ends, so that a run
// killed while writing a line is continued after the lines it finished.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "results/result_record.h"
#include "results/run_identity.h"

namespace vl_eval {

// What a results file holds besides its records.
struct lines_read {
    std::vector<evaluation_header> headers;
    std::string error;
    std::uint64_t complete_bytes = 0;  // length of the file up to its last whole line
    std::uint64_t cut_line = 0;        // line number of a cut last line; 0: none
    bool ends_without_newline = false; // the last whole line has no newline
};

// Reads path line by line: a header goes into headers, any other line (with
// its 1-based number) to `record`, which returns what is wrong with it
// (empty when it took the line). A last line without its newline that is not a whole line (a run
// killed while writing it) is left out and reported in cut_line; a whole one
// counts like any other. Any other unreadable line is an error
// "FILE:LINE: ...". A missing file reads as empty when missing_ok.
using record_reader = std::function<std::string(const std::string &line, std::uint64_t number)>;
lines_read read_result_lines(const std::string &path, bool missing_ok, const record_reader &record);

// vl-eval's results file: its headers and item records.
struct results_read : lines_read {
    std::vector<result_record> records;
};
results_read read_results(const std::string &path, bool missing_ok);

}  // namespace vl_eval
