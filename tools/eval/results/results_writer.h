// Appending lines to a results file, each written whole and handed to the
// system at once, so that a run stopped at any point loses nothing it
// finished, and a resumed run continues after the last whole line.
#pragma once

#include <string>

#include "results/results_reader.h"

namespace vl_eval {

class results_writer {
public:
    results_writer() = default;
    results_writer(const results_writer &) = delete;
    results_writer &operator=(const results_writer &) = delete;
    ~results_writer();

    // Creates path (refusing to replace an existing file), or, when resuming,
    // cuts it after the whole lines `previous` read and appends (after the
    // newline its last line lacks). Returns an error, empty on success.
    std::string open(const std::string &path, bool resume, const lines_read &previous);
    // Appends one line, newline included, all of it: a signal that
    // interrupts the write does not cut it. Returns an error, empty on
    // success.
    std::string write_line(const std::string &line);
    bool is_open() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace vl_eval
