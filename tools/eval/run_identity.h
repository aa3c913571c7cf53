// What one evaluation is: the settings that change its scores or the set of
// items it skips, and the run id made of them. Every record a run writes
// carries the id; the results file's header carries the settings, so that
// --resume and `vl-eval summarize` can refuse results of another evaluation
// and say what differs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "eval_item.h"
#include "results_file.h"

namespace vl_eval {

// The XXH3 64-bit hash of a file's whole content as 16 hex digits, and its
// size. Returns an error naming the file, empty on success.
std::string hash_file(const std::string &path, std::string &hex, std::uint64_t &size);

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
    bool share = true;
    bool walk = false;
    std::uint64_t n_ctx = 0;    // longer items are skipped
    std::uint64_t window = 0;   // the runtime's context window
    std::int64_t gpu_layers = 0;
    std::uint64_t rpc_workers = 0;
};

// The header of this evaluation: its settings and the run id (the XXH3 hash
// of the settings, 16 hex digits).
evaluation_header describe_evaluation(const evaluation_inputs &inputs);

// What differs between the settings of two evaluations, one "name: A, not B"
// per setting, joined by "; "; "the settings" when either has none.
std::string settings_differences(const nlohmann::ordered_json &these,
                                 const nlohmann::ordered_json &those);

}  // namespace vl_eval
