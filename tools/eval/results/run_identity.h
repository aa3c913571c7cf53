// What one run is, by the settings that decide its values: the run id (the
// XXH3 hash of the settings) that every line of its results carries, and the
// header line that starts its results with the settings themselves, so that
// --resume and `vl-eval summarize` can refuse results of another run and say
// what differs. Both commands identify their runs so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tasks/eval_item.h"

namespace vl_eval {

// The XXH3 64-bit hash of a file's whole content as 16 hex digits, and its
// size. Returns an error naming the file, empty on success.
std::string hash_file(const std::string &path, std::string &hex, std::uint64_t &size);

// The XXH3 64-bit hash of a text as 16 hex digits.
std::string hash_text(const std::string &text);

// The hash of an item as its file gives it: what its prompt and answers are
// made of (system message, description, context, answers, a filled blank's
// text after it) and its right answer, each field apart from the next; not
// its id, line or group.
std::string item_hash(const eval_item &item);

// The first line a run writes into a new results file: what the run is (the
// settings its run id is made of).
struct evaluation_header {
    std::string run;
    nlohmann::ordered_json settings = nlohmann::ordered_json::object();
};

// The header of a run with these settings: the run id is the hash of the
// settings as written, so that equal settings always give the same one.
evaluation_header identify(nlohmann::ordered_json settings);

// The header's line, newline included.
std::string to_json_line(const evaluation_header &header);

// Whether line is a header; when it is, fills header.
bool parse_header_line(const std::string &line, evaluation_header &header);

// The header of `run` among headers, or null.
const evaluation_header *find_header(const std::vector<evaluation_header> &headers,
                                     const std::string &run);

// What differs between the settings of two runs, one "name: A, not B" per
// setting, joined by "; "; "the settings" when either has none.
std::string settings_differences(const nlohmann::ordered_json &these,
                                 const nlohmann::ordered_json &those);

}  // namespace vl_eval
