// An item's record as one JSON line of the results file, and back: every
// number of a line read is checked for its type and range, so that a line
// edited by hand, cut or damaged is refused with the field it names.
#pragma once

#include <string>

#include "results/result_record.h"

namespace vl_eval {

// The record's line, newline included.
std::string to_json_line(const result_record &record);

// Reads one line; returns what is wrong with it, empty on success.
std::string parse_result_line(const std::string &line, result_record &record);

}  // namespace vl_eval
