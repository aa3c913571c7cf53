#include "tasks/whole_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace vl_eval {

bool read_whole_file(const std::string &path, std::string &bytes, std::string &error) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad()) {
        error = path + ": cannot read the file: " + std::strerror(errno != 0 ? errno : EIO);
        bytes.clear();
        return false;
    }
    return true;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

}  // namespace vl_eval
