// Reading a whole file into memory: task files, preambles, texts.
#pragma once

#include <string>

namespace vl_eval {

// Reads every byte of path into bytes. Returns false with error set to
// "PATH: cannot read the file: REASON" when it cannot.
bool read_whole_file(const std::string &path, std::string &bytes, std::string &error);

}  // namespace vl_eval
