// The decode loop of vl_llama_generate: prompts in parallel sequences,
// one decode per step for all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <llama.h>

#include "generation/generation_request.h"
#include "generation/stop_strings.h"
#include "runtime/outcome.h"
#include "runtime/runtime.h"
#include "scoring/batch.h"

namespace vl {

// Runs a checked request. The prompts' common beginning (after the retained
// prefix, if any) is decoded once into sequence 0 and copied into each
// prompt's sequence; the caller restores sequence 0 and removes the scratch
// sequences afterwards, on every path.
class greedy_generation {
public:
    greedy_generation(vl_llama_runtime &runtime, llama_memory_t memory,
                      const generation_request &request, std::int32_t n_vocab);
    outcome run();

private:
    // A prompt running in a scratch sequence.
    struct slot {
        std::size_t prompt = 0;
        llama_seq_id seq = 0;
        bool busy = false;
        std::size_t fed = 0;        // tokens of its own part decoded so far
        std::size_t reserved = 0;   // window cells it may come to hold
        llama_token pending = 0;    // generated, still to be decoded
        bool has_pending = false;
        std::vector<llama_token> generated;
        stop_matcher stops{nullptr, {}};
    };

    std::size_t shared_length() const;
    outcome decode_shared();
    outcome admit();
    outcome take(slot &s, llama_token token);
    void finish(slot &s, std::int32_t reason);
    std::size_t fill_batch();
    outcome step();

    vl_llama_runtime &runtime_;
    llama_memory_t memory_;
    const generation_request &request_;
    std::int32_t n_vocab_;
    std::size_t prefix_;              // retained prefix tokens
    std::size_t shared_ = 0;          // tokens all running prompts begin with, in sequence 0
    std::size_t decode_limit_;        // tokens one decode takes (and the batch holds)
    std::size_t window_;              // cells of the context
    std::size_t free_cells_ = 0;      // cells neither the shared part nor a slot holds
    std::vector<std::size_t> queue_;  // prompts that generate, in order
    std::size_t next_ = 0;            // the next prompt of queue_ to start
    std::vector<slot> slots_;
    batch_owner batch_;
    std::vector<slot *> rows_;        // per batch entry with logits: its slot
    std::vector<std::int32_t> row_index_;
};

}  // namespace vl
