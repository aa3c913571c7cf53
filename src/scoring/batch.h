// Owning llama.cpp batches, and the size llama.cpp accepts in one decode.
#pragma once

#include <cstddef>
#include <cstdint>

#include <llama.h>

#include "runtime/capacity.h"
#include "runtime/runtime.h"

namespace vl {

// A batch from llama_batch_init, freed with llama_batch_free on every path.
class batch_owner {
public:
    // Room for n tokens with one sequence id each, token ids only.
    explicit batch_owner(std::int32_t n) : batch_(llama_batch_init(n, 0, 1)) {}
    ~batch_owner() { llama_batch_free(batch_); }
    batch_owner(const batch_owner &) = delete;
    batch_owner &operator=(const batch_owner &) = delete;

    llama_batch &get() { return batch_; }

    // Sets entry i to token at pos in sequence seq, with logits if wanted.
    void set(std::int32_t i, llama_token token, llama_pos pos, llama_seq_id seq, bool logits) {
        batch_.token[i] = token;
        batch_.pos[i] = pos;
        batch_.n_seq_id[i] = 1;
        batch_.seq_id[i][0] = seq;
        batch_.logits[i] = logits ? 1 : 0;
    }

private:
    llama_batch batch_;
};

// Whether one llama_decode of n_tokens stays within what the context
// accepts (see largest_decode); callers refuse a larger decode themselves,
// with their own decode-failure message, since llama.cpp would abort.
inline bool fits_one_decode(const vl_llama_runtime &runtime, std::size_t n_tokens,
                            bool has_memory) {
    return n_tokens <= largest_decode(runtime, has_memory);
}

}  // namespace vl
