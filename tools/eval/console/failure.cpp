#include "console/failure.h"

#include <cstdio>

namespace vl_eval {

int fail(const std::string &message, const char *program) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    return 1;
}

}  // namespace vl_eval
