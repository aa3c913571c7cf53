// Empties the whole sequence memory when a scope ends, on every path.
#pragma once

#include <llama.h>

namespace vl {

// For calls that must leave no cells of theirs behind in any sequence.
class memory_clear_on_exit {
public:
    explicit memory_clear_on_exit(llama_memory_t mem) : mem_(mem) {}
    ~memory_clear_on_exit() { llama_memory_clear(mem_, true); }
    memory_clear_on_exit(const memory_clear_on_exit &) = delete;
    memory_clear_on_exit &operator=(const memory_clear_on_exit &) = delete;

private:
    llama_memory_t mem_;
};

}  // namespace vl
