// The settings of a `vl-eval` run: everything that changes its scores or the
// set of items it skips, made into the run's header and id.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "results/run_identity.h"
#include "tasks/eval_item.h"

namespace vl_eval {

// The format the items were read as, by name ("mmlu", "hellaswag-text"), the
// same whether the reader was chosen by --format or recognised by auto; the
// names of several joined by '+' for a file that mixes them.
std::string resolved_format(const std::vector<eval_item> &items);

// The inputs of the settings. Texts that can be long (the preamble) are
// stored as their hash.
struct evaluation_inputs {
    std::string model_description;
    std::string model_hash;     // hash_file's
    std::uint64_t model_bytes = 0;
    std::string format;         // resolved_format's
    std::string prompt;         // "chat" or "raw"
    std::string system;
    std::string preamble;
    std::string examples;       // few-shot examples taken from another file
    std::string blanks;         // how filled blanks are scored; empty: the harness's way
    bool share = true;
    bool walk = false;
    std::uint64_t n_ctx = 0;    // longer items are skipped
    std::uint64_t window = 0;   // the runtime's context window
    std::int64_t gpu_layers = 0;
    std::uint64_t rpc_workers = 0;
    bool exact = false;         // F32 keys and values, no flash attention
};

// The header of this evaluation: its settings and the run id.
evaluation_header describe_evaluation(const evaluation_inputs &inputs);

}  // namespace vl_eval
