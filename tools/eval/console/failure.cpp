#include "console/failure.h"

#include <algorithm>
#include <cstdio>

namespace vl_eval {

int fail(const std::string &message, const char *program) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    return 1;
}

int usage_error(const std::string &message, const char *program) {
    fail(message, program);
    return 2;
}

std::string name_some(const std::vector<std::string> &names) {
    std::string text;
    const std::size_t shown = std::min<std::size_t>(names.size(), 10);
    for (std::size_t i = 0; i < shown; ++i) text += (i ? ", " : "") + names[i];
    if (names.size() > shown) text += " and " + std::to_string(names.size() - shown) + " more";
    return text;
}

}  // namespace vl_eval
