#include "scoring/scorers.h"

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

std::string retained_prefix::ensure(const tokens &prefix) {
    if (has_retained_ && retained_ == prefix) return {};
    char err[256] = "";
    has_retained_ = false;
    if (vl_llama_prefill_shared(runtime_, prefix.data(), prefix.size(), err, sizeof err) != 0)
        return std::string("prefill failed: ") + err;
    decoded += prefix.size();
    retained_ = prefix;
    has_retained_ = true;
    return {};
}

std::string batch_scorer::score(const std::vector<const item_prompt *> &prompts,
                                std::size_t prefix_length,
                                std::vector<std::vector<double>> &logprobs) {
    logprobs.assign(prompts.size(), {});
    if (prompts.empty()) return {};
    const tokens &base = prompts.front()->context;
    const tokens target(base.begin(),
                        base.begin() + static_cast<long>(std::min(prefix_length, base.size())));

    // One task per distinct answer context that continues the prefix; the
    // candidates of a task are the answers with that context, equal ones and
    // ones that begin others included. An answer with a given part is
    // scored whole and, as a candidate of its own, that part alone, whose
    // score comes off the whole's; the part begins the whole, so it costs
    // no decode.
    struct candidate {
        std::size_t prompt, answer;
        bool given_part;
    };
    struct task {
        const tokens *context;
        std::vector<candidate> answers;
    };
    std::vector<task> tasks, alone;
    for (std::size_t p = 0; p < prompts.size(); ++p) {
        const item_prompt &prompt = *prompts[p];
        logprobs[p].assign(prompt.answers.size(), 0.0);
        const std::size_t first_task = tasks.size(), first_alone = alone.size();
        for (std::size_t a = 0; a < prompt.answers.size(); ++a) {
            const answer_prompt &answer = prompt.answers[a];
            state_.from_scratch += answer.context.size() + answer.continuation.size() - 1;
            const bool follows = !target.empty() && starts_with(answer.context, target);
            std::vector<task> &into = follows ? tasks : alone;
            auto it = std::find_if(into.begin() + static_cast<long>(follows ? first_task : first_alone),
                                   into.end(),
                                   [&](const task &t) { return *t.context == answer.context; });
            if (it == into.end()) {
                into.push_back({&answer.context, {}});
                it = into.end() - 1;
            }
            it->answers.push_back({p, a, false});
            if (answer.given > 0) it->answers.push_back({p, a, true});
        }
    }

    // Scores a list of tasks after the retained prefix in one call.
    auto run = [&](const std::vector<task> &batch, std::size_t skip) -> std::string {
        tokens contexts, sequences;
        std::vector<std::size_t> context_offsets = {0}, sequence_offsets = {0}, task_offsets = {0};
        for (const task &t : batch) {
            contexts.insert(contexts.end(), t.context->begin() + static_cast<long>(skip),
                            t.context->end());
            context_offsets.push_back(contexts.size());
            std::vector<const tokens *> candidates;
            for (const candidate &c : t.answers) {
                const answer_prompt &answer = prompts[c.prompt]->answers[c.answer];
                const tokens &run = answer.continuation;
                const std::size_t length = c.given_part ? answer.given : run.size();
                sequences.insert(sequences.end(), run.begin(), run.begin() + static_cast<long>(length));
                sequence_offsets.push_back(sequences.size());
                if (!c.given_part) candidates.push_back(&run);
            }
            task_offsets.push_back(sequence_offsets.size() - 1);
            state_.decoded += t.context->size() - skip + inner_nodes(candidates);
        }
        std::vector<float> scores(sequence_offsets.size() - 1);
        char err[256] = "";
        if (vl_llama_score_sequence_batch(state_.runtime(), contexts.data(), context_offsets.data(),
                                          sequences.data(), sequence_offsets.data(),
                                          task_offsets.data(), batch.size(), scores.data(), nullptr,
                                          err, sizeof err) != 0)
            return std::string("scoring failed: ") + err;
        std::size_t k = 0;
        for (const task &t : batch)
            for (const candidate &c : t.answers) {
                const double score = scores[k++];
                logprobs[c.prompt][c.answer] += c.given_part ? -score : score;
            }
        return {};
    };

    if (!tasks.empty()) {
        if (std::string err = state_.ensure(target); !err.empty()) return err;
        if (std::string err = run(tasks, target.size()); !err.empty()) return err;
    }
    for (const task &t : alone) {
        if (std::string err = state_.ensure(*t.context); !err.empty()) return err;
        if (std::string err = run({t}, t.context->size()); !err.empty()) return err;
    }
    return {};
}

std::string item_scorer::score(const item_prompt &prompt, std::size_t prefix_length,
                               std::vector<double> &logprobs) {
    // Answers with a given part: each given part is scored as an answer of
    // its own, and its score comes off the whole answer's.
    std::vector<std::size_t> parts;  // the answers with one, in order
    for (std::size_t a = 0; a < prompt.answers.size(); ++a)
        if (prompt.answers[a].given > 0) parts.push_back(a);
    if (!parts.empty()) {
        item_prompt whole = prompt;
        for (answer_prompt &answer : whole.answers) answer.given = 0;
        for (std::size_t a : parts) {
            answer_prompt given = prompt.answers[a];
            given.continuation.resize(given.given);
            given.given = 0;
            whole.answers.push_back(std::move(given));
        }
        if (std::string err = score(whole, prefix_length, logprobs); !err.empty()) return err;
        for (std::size_t k = 0; k < parts.size(); ++k) {
            const answer_prompt &given = whole.answers[prompt.answers.size() + k];
            logprobs[parts[k]] -= logprobs[prompt.answers.size() + k];
            // What an evaluation from scratch decodes is the whole answer's.
            state_.from_scratch -= given.context.size() + given.continuation.size() - 1;
        }
        logprobs.resize(prompt.answers.size());
        return {};
    }

    const answer_groups grouping = group_answers(prompt);
    const tokens &base = prompt.context;
    const tokens target(base.begin(),
                        base.begin() + static_cast<long>(std::min(prefix_length, base.size())));

    logprobs.assign(prompt.answers.size(), 0.0);
    for (const answer_prompt &a : prompt.answers)
        state_.from_scratch += a.context.size() + a.continuation.size() - 1;

    for (const auto &group : grouping.groups) {
        const tokens &context = prompt.answers[group.front()].context;
        // An answer whose tokenization changed the context's own tokens gets
        // its own context as the prefix.
        const tokens &prefix = !target.empty() && starts_with(context, target) ? target : context;
        if (std::string err = state_.ensure(prefix); !err.empty()) return err;

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
        if (vl_llama_score_suffix_sequences(state_.runtime(), suffix.data(), suffix.size(), flat.data(),
                                            offsets.data(), scores.size(), scores.data(), err,
                                            sizeof err) != 0)
            return std::string("scoring failed: ") + err;
        state_.decoded += suffix.size() + inner_nodes(sequences);
        for (std::size_t k = 0; k < group.size(); ++k) logprobs[group[k]] = scores[k];
    }
    for (std::size_t i = 0; i < prompt.answers.size(); ++i)
        logprobs[i] = logprobs[grouping.first_copy[i]];
    return {};
}

}  // namespace vl_eval
