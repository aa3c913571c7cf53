// The few string operations of Python that the common harness applies to
// task texts, done the same way here, so that prompts and answer lengths
// come out as the harness makes them. Texts are UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace vl_eval {

// len(text): the number of Unicode code points.
std::size_t code_points(const std::string &text);

// text.strip(): without the whitespace (as str.isspace defines it) at both ends.
std::string python_strip(const std::string &text);

// text.capitalize(): the first character upper case, the rest lower case.
std::string python_capitalize(const std::string &text);

// text.replace(from, to): every non-overlapping occurrence, left to right.
std::string replace_all(const std::string &text, const std::string &from, const std::string &to);

// The HellaSwag clean-up of contexts and endings: strip, " [title]" to ". ",
// every bracketed tag "[...]" (shortest match) removed, then double spaces
// replaced by single ones (one pass, as str.replace does it).
std::string hellaswag_clean(const std::string &text);

}  // namespace vl_eval
