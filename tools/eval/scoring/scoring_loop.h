// The scoring of a run: the planned library calls that hold items of this
// run, one after the other, each item's record written as its call ends.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "console/progress.h"
#include "prompts/prompts.h"
#include "results/results_writer.h"
#include "results/summary.h"
#include "scoring/scorers.h"
#include "scoring/sizing.h"
#include "tasks/eval_item.h"

namespace vl_eval {

struct scoring_job {
    const std::vector<eval_item> *items = nullptr;
    std::size_t begin = 0, end = 0;   // the items of this run (shard and limit)
    const scoring_plan *plan = nullptr;
    const prompt_builder *builder = nullptr;
    std::size_t n_ctx = 0;
    std::string run;
    bool walk = false;
    const std::set<std::string> *done = nullptr;  // ids already in the results file
};

// Scores the calls of the plan that hold items of [begin, end) not done,
// writing (when writer is open) and tallying each of those items. A failure
// of the library or the model stops the run before anything of that call is
// written: the returned error names the call's first item and the failure,
// and --resume scores the call again. Returns empty when every call went
// through or Ctrl-C stopped the run (info.interrupted).
std::string score_items(const scoring_job &job, item_scorer &walker, batch_scorer &batcher,
                        results_writer &writer, summary_info &info, progress &bar);

}  // namespace vl_eval
