// vl-eval's results file for a run: created with the run's header, or, with
// --resume, continued after checking that everything in it belongs to this
// run.
#pragma once

#include <map>
#include <set>
#include <string>

#include "results/results_writer.h"
#include "results/run_identity.h"
#include "results/summary.h"

namespace vl_eval {

// Opens path into writer (nothing when path is empty, which resuming needs
// not to be). When resuming, the ids of `wanted` (the items of this run, by
// id, with their hashes) that already have a record go into done and are
// tallied into info. A record or header of another run is refused with what
// differs, records of wanted items that changed since they were scored are
// refused by id, and a last line cut by a kill is reported (its item is
// scored again). Returns an error, empty on success.
std::string open_results(const std::string &path, bool resume, const evaluation_header &header,
                         const std::map<std::string, std::string> &wanted, results_writer &writer,
                         std::set<std::string> &done, summary_info &info);

}  // namespace vl_eval
