// The results file of a run: created with this evaluation's header, or, with
// --resume, continued after checking that everything in it belongs to this
// evaluation.
#pragma once

#include <set>
#include <string>

#include "evaluation.h"
#include "results_file.h"
#include "summary.h"

namespace vl_eval {

// Opens o.out into writer (nothing when o.out is empty). When resuming, the
// ids of `wanted` that already have a record go into done and are tallied
// into info; a record or header of another evaluation is refused with what
// differs, and a last line cut by a kill is reported (its item is scored
// again). Returns an error, empty on success.
std::string open_results(const eval_options &o, const evaluation_header &header,
                         const std::set<std::string> &wanted, results_writer &writer,
                         std::set<std::string> &done, summary_info &info);

// The header of `run` among headers, or null.
const evaluation_header *find_header(const std::vector<evaluation_header> &headers,
                                     const std::string &run);

}  // namespace vl_eval
