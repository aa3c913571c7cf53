#include "results/results_writer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vl_eval {

results_writer::~results_writer() {
    if (fd_ >= 0) ::close(fd_);
}

std::string results_writer::open(const std::string &path, bool resume, const lines_read &previous) {
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

}  // namespace vl_eval
