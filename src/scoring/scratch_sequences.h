// Scratch sequences of the suffix scorers, removed on every exit.
#pragma once

#include <llama.h>

namespace vl {

// Removes sequences first..last (inclusive) when it goes out of scope.
class scratch_sequences {
public:
    scratch_sequences(llama_memory_t mem, llama_seq_id first, llama_seq_id last)
        : mem_(mem), first_(first), last_(last) {}
    ~scratch_sequences() {
        for (llama_seq_id s = first_; s <= last_; ++s) llama_memory_seq_rm(mem_, s, -1, -1);
    }
    scratch_sequences(const scratch_sequences &) = delete;
    scratch_sequences &operator=(const scratch_sequences &) = delete;

    // Empties each sequence and makes it a copy of the prefix in sequence 0.
    void copy_prefix() {
        for (llama_seq_id s = first_; s <= last_; ++s) {
            llama_memory_seq_rm(mem_, s, -1, -1);
            llama_memory_seq_cp(mem_, 0, s, 0, -1);
        }
    }

private:
    llama_memory_t mem_;
    llama_seq_id first_;
    llama_seq_id last_;
};

}  // namespace vl
