#include "results/result_record.h"

namespace vl_eval {

bool same_outcome(const result_record &a, const result_record &b) {
    if (a.item != b.item || a.skipped != b.skipped || a.label != b.label ||
        a.answers.size() != b.answers.size())
        return false;
    for (std::size_t i = 0; i < a.answers.size(); ++i)
        if (a.answers[i].logprob != b.answers[i].logprob ||
            a.answers[i].tokens != b.answers[i].tokens || a.answers[i].chars != b.answers[i].chars)
            return false;
    return true;
}

}  // namespace vl_eval
