#include "scoring/scoring_loop.h"

#include <algorithm>

#include "console/interrupt.h"
#include "results/record_json.h"
#include "scoring/item_outcome.h"

namespace vl_eval {
namespace {

// Why the run stopped, at which item, and what to do about it.
std::string stopped_at(const eval_item &item, const std::string &failure) {
    return "stopped at " + item_name(item) + ": " + failure +
           "; its results were not written: rerun with --resume to score it again";
}

}  // namespace

std::string score_items(const scoring_job &job, item_scorer &walker, batch_scorer &batcher,
                        results_writer &writer, summary_info &info, progress &bar) {
    const std::vector<eval_item> &items = *job.items;
    const std::vector<std::size_t> &starts = job.plan->starts;
    for (std::size_t g = 0; g + 1 < starts.size(); ++g) {
        const std::size_t first = starts[g], last = starts[g + 1];
        const std::size_t own_first = std::max(first, job.begin), own_last = std::min(last, job.end);
        if (own_first >= own_last) continue;
        std::size_t wanted = own_last;
        for (std::size_t i = own_first; i < own_last && wanted == own_last; ++i)
            if (!job.done->count(items[i].id)) wanted = i;
        if (wanted == own_last) continue;
        if (interrupt_requested()) {
            info.interrupted = true;
            break;
        }

        // The whole call, the items of other shards or already done
        // included, so that every run scores an item beside the same ones.
        std::vector<item_prompt> prompts(last - first);
        std::vector<result_record> records;
        std::vector<const item_prompt *> scorable;
        std::vector<std::size_t> scorable_at;
        for (std::size_t i = first; i < last; ++i) {
            records.emplace_back();
            if (std::string e = prepare_record(items[i], *job.builder, job.n_ctx, job.run, prompts[i - first],
                                               records.back());
                !e.empty())
                return stopped_at(items[i], e);
            if (records.back().skipped.empty()) {
                scorable.push_back(&prompts[i - first]);
                scorable_at.push_back(i - first);
            }
        }
        std::vector<std::vector<double>> logprobs(scorable.size());
        std::string error;
        if (!scorable.empty()) {
            if (job.walk) error = walker.score(*scorable.front(), job.plan->prefix[first], logprobs.front());
            else error = batcher.score(scorable, job.plan->prefix[first], logprobs);
        }
        std::size_t failed = wanted;  // the item named: the call's, or the one with a bad score
        for (std::size_t k = 0; k < scorable.size() && error.empty(); ++k) {
            error = finish_record(records[scorable_at[k]], items[first + scorable_at[k]], *scorable[k],
                                  logprobs[k]);
            if (!error.empty()) failed = first + scorable_at[k];
        }
        if (!error.empty()) return stopped_at(items[failed], error);

        for (std::size_t i = own_first; i < own_last; ++i) {
            const result_record &record = records[i - first];
            if (job.done->count(record.id)) continue;
            if (writer.is_open())
                if (std::string e = writer.write_line(to_json_line(record)); !e.empty()) return e;
            tally(info, record);
            ++info.scored_this_run;
            bar.update(info.scored + info.skipped, info.metrics[acc].mean());
        }
    }
    return {};
}

}  // namespace vl_eval
