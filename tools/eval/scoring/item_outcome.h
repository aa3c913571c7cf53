// An item's record: why it cannot be scored, or its scores, picks and
// whether each pick is right. An item that cannot be scored by its nature is
// a skip; a score the model could not give is a failure of the run, never a
// record.
#pragma once

#include <string>
#include <vector>

#include "tasks/eval_item.h"
#include "prompts/prompts.h"
#include "results/result_record.h"

namespace vl_eval {

// The reason an item longer than the context window is skipped with; the
// numbers go into the record's needed and window.
extern const char *const too_long_reason;

// Fills pick and correct from answers and label.
void decide(result_record &record);

// Builds and checks one item: its prompt, and its record, with the reason
// when it cannot be scored. Returns a failure of the library to build the
// prompt, empty on success.
std::string prepare_record(const eval_item &item, const prompt_builder &builder, std::size_t n_ctx,
                           const std::string &run, item_prompt &prompt, result_record &record);

// Puts an item's scores into its record and decides its picks. Returns an
// error, leaving the record unfinished, when a score is not finite.
std::string finish_record(result_record &record, const eval_item &item, const item_prompt &prompt,
                          const std::vector<double> &logprobs);

}  // namespace vl_eval
