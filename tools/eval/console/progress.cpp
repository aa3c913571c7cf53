#include "console/progress.h"

#include <cmath>
#include <string>
#include <unistd.h>

namespace vl_eval {
namespace {

std::string clock_text(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return "--:--";
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

}  // namespace

progress::progress(std::FILE *out, style s, std::uint64_t total)
    : out_(out), style_(s), total_(total), start_(clock::now()), last_(start_) {}

progress::style progress::for_stream(std::FILE *out, bool quiet) {
    if (quiet) return style::none;
    return ::isatty(::fileno(out)) ? style::bar : style::lines;
}

void progress::update(std::uint64_t done, double accuracy) {
    if (style_ == style::none) return;
    if (!started_) {
        // Items finished before this run (resumed) do not count towards speed.
        started_ = true;
        first_done_ = done;
        start_ = clock::now();
    }
    const auto now = clock::now();
    const double since_last = std::chrono::duration<double>(now - last_).count();
    const bool due = style_ == style::bar ? since_last >= 0.1 : since_last >= 5.0;
    if (!due && done != total_) return;
    last_ = now;
    draw(done, accuracy);
}

void progress::draw(std::uint64_t done, double accuracy) {
    const double elapsed = std::chrono::duration<double>(clock::now() - start_).count();
    const double rate = elapsed > 0 ? static_cast<double>(done - first_done_) / elapsed : 0.0;
    const double eta = rate > 0 ? static_cast<double>(total_ - done) / rate : NAN;
    char acc[32] = "-";
    if (std::isfinite(accuracy)) std::snprintf(acc, sizeof acc, "%.4f", accuracy);
    if (style_ == style::bar) {
        const int width = 30;
        const int filled = total_ ? static_cast<int>(width * done / total_) : width;
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(width - filled), '.');
        std::fprintf(out_, "\r[%s] %llu/%llu %.2f items/s ETA %s acc %s\x1b[K", bar.c_str(),
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_),
                     rate, clock_text(eta).c_str(), acc);
        drawn_ = true;
    } else {
        std::fprintf(out_, "vl-eval: %llu/%llu items, %.2f items/s, ETA %s, acc %s\n",
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_),
                     rate, clock_text(eta).c_str(), acc);
    }
    std::fflush(out_);
}

void progress::finish() {
    if (style_ == style::bar && drawn_) std::fputc('\n', out_);
    drawn_ = false;
}

}  // namespace vl_eval
