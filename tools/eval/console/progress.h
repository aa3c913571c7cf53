// Progress on stderr: a one-line bar redrawn in place on a terminal, a plain
// line every few seconds otherwise, nothing when quiet.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace vl_eval {

class progress {
public:
    enum class style { bar, lines, none };
    progress(std::FILE *out, style s, std::uint64_t total);

    // Reports done items out of total and the running accuracy (NaN: none).
    void update(std::uint64_t done, double accuracy);
    // Ends the bar's line.
    void finish();

    // A bar on a terminal, lines elsewhere, none when quiet.
    static style for_stream(std::FILE *out, bool quiet);

private:
    using clock = std::chrono::steady_clock;
    void draw(std::uint64_t done, double accuracy);

    std::FILE *out_;
    style style_;
    std::uint64_t total_;
    std::uint64_t first_done_ = 0;
    bool started_ = false;
    bool drawn_ = false;
    clock::time_point start_;
    clock::time_point last_;
};

}  // namespace vl_eval
