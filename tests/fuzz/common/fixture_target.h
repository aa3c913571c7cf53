// libFuzzer's start-up for a target that scores on the fixture runtime: the
// model is loaded before the first input, so that its loading is not taken
// for the first input's work. Included by the target's one source file.
#pragma once

#include "common/fixture_runtime.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    vl_fuzz::fixture_runtime();
    return 0;
}
