// vl-eval perplexity's progress: a bar on standard error while it is a
// terminal and standard output is not, with chunks done, tokens a second and
// time left. On a terminal the running values on standard output, one per
// chunk, show the progress themselves.
#pragma once

#include <chrono>
#include <cstddef>

namespace vl_eval {

class chunk_bar {
public:
    chunk_bar(bool shown, std::size_t total, std::size_t n_ctx);
    // Draws done chunks of total, first of them done before this run.
    void update(std::size_t first, std::size_t done);
    // Ends the bar's line.
    void finish();

private:
    bool shown_;
    bool drawn_ = false;
    std::size_t total_;
    std::size_t n_ctx_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace vl_eval
