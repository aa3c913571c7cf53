#include "scoring.h"

#include <algorithm>
#include <set>

#include "vorlenta_llama_shim.h"

namespace vl_eval {
namespace {

using tokens = std::vector<std::uint32_t>;

bool starts_with(const tokens &whole, const tokens &head) {
    return whole.size() >= head.size() && std::equal(head.begin(), head.end(), whole.begin());
}

bool prefix_related(const tokens &a, const tokens &b) {
    return starts_with(a, b) || starts_with(b, a);
}

// Tokens the trie walk decodes for a codebook: one per distinct proper,
// non-empty prefix of its sequences (the root uses logits already there).
std::size_t inner_nodes(const std::vector<const tokens *> &sequences) {
    std::set<tokens> nodes;
    for (const tokens *s : sequences)
        for (std::size_t len = 1; len < s->size(); ++len) nodes.emplace(s->begin(), s->begin() + static_cast<long>(len));
    return nodes.size();
}

}  // namespace

std::size_t common_prefix(const tokens &a, const tokens &b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

answer_groups group_answers(const item_prompt &prompt) {
    answer_groups out;
    const auto &answers = prompt.answers;
    out.first_copy.resize(answers.size());
    for (std::size_t i = 0; i < answers.size(); ++i) {
        out.first_copy[i] = i;
        for (std::size_t j = 0; j < i; ++j)
            if (answers[j].context == answers[i].context &&
                answers[j].continuation == answers[i].continuation) {
                out.first_copy[i] = j;
                break;
            }
        if (out.first_copy[i] != i) continue;
        bool placed = false;
        for (auto &group : out.groups) {
            const answer_prompt &head = answers[group.front()];
            if (head.context != answers[i].context) continue;
            bool fits = true;
            for (std::size_t k : group)
                if (prefix_related(answers[k].continuation, answers[i].continuation)) fits = false;
            if (fits) {
                group.push_back(i);
                placed = true;
                break;
            }
        }
        if (!placed) out.groups.push_back({i});
    }
    return out;
}

std::vector<std::size_t> plan_shared_prefixes(const std::vector<std::size_t> &common) {
    const std::size_t n = common.size();
    // A run [a, b) sharing P tokens saves (b - a - 1) * P decoded tokens over
    // prefilling every item whole. best[i]: the largest saving for items
    // [0, i); start[i]: where the last run of that choice begins. Runs look
    // back over a bounded window, which costs one extra prefill per window.
    constexpr std::size_t window = 256;
    std::vector<std::uint64_t> best(n + 1, 0);
    std::vector<std::size_t> start(n + 1, 0), shared(n + 1, 0);
    for (std::size_t i = 1; i <= n; ++i) {
        best[i] = best[i - 1];
        start[i] = i - 1;
        shared[i] = 0;
        std::size_t p = no_shared_prefix;
        for (std::size_t a = i - 1; a-- > 0 && i - a <= window;) {
            p = std::min(p, common[a]);
            if (p == 0) break;
            const std::uint64_t saving = best[a] + static_cast<std::uint64_t>(i - 1 - a) * p;
            if (saving > best[i]) {
                best[i] = saving;
                start[i] = a;
                shared[i] = p;
            }
        }
    }
    std::vector<std::size_t> plan(n, no_shared_prefix);
    for (std::size_t i = n; i > 0; i = start[i])
        if (i - start[i] > 1)
            for (std::size_t k = start[i]; k < i; ++k) plan[k] = shared[i];
    return plan;
}

item_scorer::item_scorer(vl_llama_runtime *runtime) : runtime_(runtime) {}

std::string item_scorer::prefill(const tokens &prefix) {
    char err[256] = "";
    has_retained_ = false;
    if (vl_llama_prefill_shared(runtime_, prefix.data(), prefix.size(), err, sizeof err) != 0)
        return std::string("prefill failed: ") + err;
    decoded_ += prefix.size();
    retained_ = prefix;
    has_retained_ = true;
    return {};
}

std::string item_scorer::score(const item_prompt &prompt, std::size_t prefix_length,
                               std::vector<double> &logprobs) {
    const answer_groups grouping = group_answers(prompt);
    const tokens &base = prompt.context;
    const tokens target(base.begin(),
                        base.begin() + static_cast<long>(std::min(prefix_length, base.size())));

    logprobs.assign(prompt.answers.size(), 0.0);
    for (const answer_prompt &a : prompt.answers)
        from_scratch_ += a.context.size() + a.continuation.size() - 1;

    for (const auto &group : grouping.groups) {
        const tokens &context = prompt.answers[group.front()].context;
        // An answer whose tokenization changed the context's own tokens gets
        // its own context as the prefix.
        const tokens &prefix = !target.empty() && starts_with(context, target) ? target : context;
        if (!has_retained_ || retained_ != prefix)
            if (std::string err = prefill(prefix); !err.empty()) return err;

        tokens flat;
        std::vector<std::size_t> offsets = {0};
        std::vector<const tokens *> sequences;
        for (std::size_t i : group) {
            const tokens &c = prompt.answers[i].continuation;
            flat.insert(flat.end(), c.begin(), c.end());
            offsets.push_back(flat.size());
            sequences.push_back(&c);
        }
        // A codebook holds at least two answers: a lone one gets a one-token
        // companion that no answer begins with, whose score is not used.
        tokens companion;
        if (group.size() == 1) {
            companion = {flat.front() == 0 ? 1u : 0u};
            flat.push_back(companion.front());
            offsets.push_back(flat.size());
        }
        const tokens suffix(context.begin() + static_cast<long>(prefix.size()), context.end());
        std::vector<float> scores(offsets.size() - 1);
        char err[256] = "";
        if (vl_llama_score_suffix_sequences(runtime_, suffix.data(), suffix.size(), flat.data(),
                                            offsets.data(), scores.size(), scores.data(), err,
                                            sizeof err) != 0)
            return std::string("scoring failed: ") + err;
        decoded_ += suffix.size() + inner_nodes(sequences);
        for (std::size_t k = 0; k < group.size(); ++k) logprobs[group[k]] = scores[k];
    }
    for (std::size_t i = 0; i < prompt.answers.size(); ++i)
        logprobs[i] = logprobs[grouping.first_copy[i]];
    return {};
}

}  // namespace vl_eval
