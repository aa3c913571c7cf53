// Reading a whole file into memory: task files, preambles, texts; and
// cutting a text file's bytes into its lines.
#pragma once

#include <string>
#include <vector>

namespace vl_eval {

// Reads every byte of path into bytes. Returns false with error set to
// "PATH: cannot read the file: REASON" when it cannot.
bool read_whole_file(const std::string &path, std::string &bytes, std::string &error);

// Lines as std::getline gives them (a final newline does not start an empty
// line), without a carriage return at the end of each.
std::vector<std::string> split_lines(const std::string &text);

}  // namespace vl_eval
