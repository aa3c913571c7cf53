// The scoring of a run: the planned library calls that hold items of this
// run, one after the other, each item's record written as its call ends.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "eval_item.h"
#include "progress.h"
#include "prompts.h"
#include "results_file.h"
#include "scoring.h"
#include "summary.h"
#include "task_sizing.h"

namespace vl_eval {

// A chat encoder that keeps the last failure of inner in failure: such a
// failure is the library's, which stops the run, not a reason to skip the
// item the prompt builder would record.
chat_encoder watch_encoder(chat_encoder inner, std::string &failure);

struct scoring_job {
    const std::vector<eval_item> *items = nullptr;
    std::size_t begin = 0, end = 0;   // the items of this run (shard and limit)
    const scoring_plan *plan = nullptr;
    const prompt_builder *builder = nullptr;
    std::size_t n_ctx = 0;
    std::string run;
    bool walk = false;
    const std::set<std::string> *done = nullptr;  // ids already in the results file
    std::string *encoder_failure = nullptr;       // watch_encoder's, for the builder's encoder
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
