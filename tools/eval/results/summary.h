// The summary of an evaluation: item counts, the metrics with their standard
// errors, the work done; printed as a table and written as JSON.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "results/metrics.h"
#include "results/result_record.h"

namespace vl_eval {

// Counts and metrics of the items of one group.
struct group_summary {
    std::uint64_t scored = 0;
    std::uint64_t skipped = 0;
    std::array<accuracy, metric_count> metrics;
};

struct summary_info {
    std::string model;        // the model's description
    std::string model_path;
    std::string run;          // the results' fingerprint
    nlohmann::json configuration = nlohmann::json::object();

    std::uint64_t items = 0;  // items the evaluation covers (scored or not)
    std::uint64_t scored = 0;
    std::uint64_t skipped = 0;
    std::map<std::string, std::uint64_t> skip_reasons;
    std::array<accuracy, metric_count> metrics;
    // Per group, for items that carry one (by name, in name order).
    std::map<std::string, group_summary> groups;

    // Work of this run; absent (negative) when merged from results files.
    double seconds = -1;
    std::uint64_t scored_this_run = 0;
    std::int64_t tokens_decoded = -1;
    std::int64_t tokens_from_scratch = -1;

    bool interrupted = false;
    std::string error;  // what stopped the run early, if anything
};

// Adds one record's outcome to the counts and metrics.
void tally(summary_info &info, const result_record &record);

void print_summary(std::FILE *out, const summary_info &info);
nlohmann::json summary_json(const summary_info &info);
// Writes the JSON summary to path; returns an error, empty on success.
std::string write_summary(const std::string &path, const summary_info &info);

}  // namespace vl_eval
