// One item's line of a results file: why it was not scored, or its answers'
// scores, the picks of each metric and whether each pick is right.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "results/metrics.h"

namespace vl_eval {

struct result_record {
    std::string id;
    std::uint64_t line = 0;
    std::string run;
    std::string item;     // the hash of the item the record is of
    std::string group;    // the item's group for the summary's breakdown; empty for none
    std::string skipped;  // non-empty: the item was not scored, for this reason
    // For an item longer than the context window: the positions it needs and
    // the window's (the reason itself carries no numbers); 0 otherwise.
    std::uint64_t needed = 0;
    std::uint64_t window = 0;
    long label = -1;
    std::vector<answer_score> answers;
    std::array<int, metric_count> pick = {0, 0, 0};
    std::array<bool, metric_count> correct = {false, false, false};
};

// Whether two records of one id hold the same outcome of the same item.
bool same_outcome(const result_record &a, const result_record &b);

}  // namespace vl_eval
