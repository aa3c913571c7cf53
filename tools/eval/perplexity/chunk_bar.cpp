#include "perplexity/chunk_bar.h"

#include <cstdio>
#include <string>
#include <unistd.h>

namespace vl_eval {

chunk_bar::chunk_bar(bool shown, std::size_t total, std::size_t n_ctx)
    : shown_(shown && ::isatty(::fileno(stderr)) && !::isatty(::fileno(stdout))), total_(total), n_ctx_(n_ctx) {}

void chunk_bar::update(std::size_t first, std::size_t done) {
    if (!shown_) return;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = elapsed > 0 ? static_cast<double>(done - first) / elapsed : 0;
    const double eta = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
    const int width = 30;
    const int filled = total_ ? static_cast<int>(width * done / total_) : width;
    std::fprintf(stderr, "\r[%s%s] %zu/%zu chunks, %.0f tokens/s, ETA %ld:%02ld\x1b[K",
                 std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(width - filled), '.').c_str(), done, total_,
                 rate * static_cast<double>(n_ctx_), static_cast<long>(eta) / 60, static_cast<long>(eta) % 60);
    drawn_ = true;
}

void chunk_bar::finish() {
    if (drawn_) std::fputc('\n', stderr);
    drawn_ = false;
}

}  // namespace vl_eval
