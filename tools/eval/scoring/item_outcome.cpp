#include "scoring/item_outcome.h"

#include <cmath>

namespace vl_eval {

const char *const too_long_reason = "longer than the context window";

void decide(result_record &record) {
    record.pick = pick_answers(record.answers);
    for (std::size_t m = 0; m < metric_count; ++m)
        record.correct[m] = record.pick[m] == record.label;
}

std::string prepare_record(const eval_item &item, const prompt_builder &builder, std::size_t n_ctx,
                           const std::string &run, item_prompt &prompt, result_record &record) {
    record = result_record{};
    record.id = item.id;
    record.line = item.line;
    record.run = run;
    record.item = item.hash;
    record.group = item.group;
    const prompt_status status = builder.build(item, prompt);
    if (!status.failure.empty()) return status.failure;
    record.skipped = status.skip;
    const std::size_t needed = prompt_builder::tokens_needed(prompt);
    if (record.skipped.empty() && needed > n_ctx) {
        record.skipped = too_long_reason;
        record.needed = needed;
        record.window = n_ctx;
    }
    return {};
}

std::string finish_record(result_record &record, const eval_item &item, const item_prompt &prompt,
                          const std::vector<double> &logprobs) {
    std::vector<answer_score> answers;
    for (std::size_t a = 0; a < logprobs.size(); ++a) {
        if (!std::isfinite(logprobs[a]))
            return "the model gave a non-finite score to answer " + std::to_string(a);
        answer_score s;
        s.logprob = logprobs[a];
        s.tokens = prompt.answers[a].continuation.size() - prompt.answers[a].given;
        s.chars = prompt.answers[a].chars;
        answers.push_back(s);
    }
    record.answers = std::move(answers);
    record.label = item.label;
    decide(record);
    return {};
}

}  // namespace vl_eval
