#include "console/failure.h"

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

}  // namespace vl_eval
