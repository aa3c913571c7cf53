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

}  // namespace vl_eval
