// How vl-eval reports what stops it: one line on stderr, "PROGRAM: message",
// and exit status 1, or 2 for a usage error.
#pragma once

#include <string>
#include <vector>

namespace vl_eval {

// Prints "program: message" on stderr; returns 1, the exit status of a
// failed run.
int fail(const std::string &message, const char *program = "vl-eval");

// The same for options that do not go together; returns 2, the exit status
// of a usage error.
int usage_error(const std::string &message, const char *program = "vl-eval");

// At most ten names, then how many more: "a, b, ... and 3 more".
std::string name_some(const std::vector<std::string> &names);

}  // namespace vl_eval
