// `vl-eval summarize`: one summary from several results files (the shards of
// one evaluation, or runs resumed into different files).
#pragma once

#include <string>
#include <vector>

namespace vl_eval {

struct summarize_options {
    std::vector<std::string> results;
    std::string summary;  // JSON summary file; empty: none
    std::string tasks;    // task file whose ids should all have results; empty: none
    std::string format = "auto";
};

// Exit status: 0 merged, 1 refused or incomplete.
int run_summarize(const summarize_options &options);

}  // namespace vl_eval
