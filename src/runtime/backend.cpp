#include "runtime/backend.h"

#include <mutex>

#include <llama.h>

namespace vl {

namespace {
std::once_flag backend_once;
}

void init_backend_once() {
    std::call_once(backend_once, [] { llama_backend_init(); });
}

}  // namespace vl
