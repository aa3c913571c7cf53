#include "tasks/fewshot.h"

#include <cstdio>
#include <map>
#include <memory>

#include <xxhash.h>

#include "tasks/python_random.h"
#include "tasks/python_text.h"

namespace vl_eval {
namespace {

struct free_state {
    void operator()(XXH3_state_t *s) const { XXH3_freeState(s); }
};

bool solved(const eval_item &item) {
    return item.label >= 0 && item.label < static_cast<long>(item.choices.size());
}

// Whether the harness takes two items for the same document: equal records
// where the file has them, equal items otherwise.
bool same_document(const eval_item &a, const eval_item &b) {
    if (a.record_hash != 0 || b.record_hash != 0) return a.record_hash == b.record_hash;
    return a.context == b.context && a.choices == b.choices && a.label == b.label &&
           a.fill_in == b.fill_in && a.after_blank == b.after_blank;
}

std::string too_few(const fewshot_request &r, std::size_t have, const std::string &which,
                    const eval_item &item) {
    return r.source + ": has " + std::to_string(have) + " solved examples" + which +
           ", --fewshot asks for " + std::to_string(r.n) + " (for the item on line " +
           std::to_string(item.line) + " of " + r.tasks + ")";
}

// The harness's draw for one item: pool indices of its examples, in order.
std::string draw(const fewshot_request &r, fewshot_draw how, const std::vector<const eval_item *> &pool,
                 const eval_item &item, python_random &random, std::vector<std::size_t> &chosen) {
    chosen.clear();
    if (how == fewshot_draw::sample) {
        if (pool.size() < r.n) return too_few(r, pool.size(), "", item);
        chosen = random.sample(pool.size(), r.n);
        return {};
    }
    // One more than asked for, the item dropped, the first n kept.
    if (pool.size() > r.n) {
        for (std::size_t i : random.sample(pool.size(), r.n + 1))
            if (!same_document(*pool[i], item) && chosen.size() < r.n) chosen.push_back(i);
        if (chosen.size() == r.n) return {};
    }
    // Copies of the item took more than the spare draw (or the pool has no
    // spare): the harness draws again from the pool without them, and so
    // does this where the harness would stop at a pool of exactly n.
    std::vector<std::size_t> others;
    for (std::size_t i = 0; i < pool.size(); ++i)
        if (!same_document(*pool[i], item)) others.push_back(i);
    if (others.size() < r.n) return too_few(r, others.size(), " besides the item itself", item);
    chosen.clear();
    for (std::size_t i : random.sample(others.size(), r.n)) chosen.push_back(others[i]);
    return {};
}

}  // namespace

fewshot_draw fewshot_draw_for(const std::string &format) {
    if (format == "mmlu") return fewshot_draw::first_n;
    if (format == "hellaswag" || format == "hellaswag-text" || format == "winogrande" ||
        format == "winogrande-csv")
        return fewshot_draw::sample_without_item;
    return fewshot_draw::sample;
}

std::string render_example(const eval_item &solved) {
    const std::string &answer = solved.choices[static_cast<std::size_t>(solved.label)];
    if (solved.fill_in) return solved.context + answer + " " + python_strip(solved.after_blank);
    return solved.context + " " + answer;
}

std::string add_fewshot_examples(const fewshot_request &r, const std::vector<eval_item> &source,
                                 std::vector<eval_item> &items, std::string &examples) {
    examples.clear();
    if (r.n == 0) return {};
    // The solved examples: all of them for random draws, by subject (MMLU's
    // description) for the first N.
    std::vector<const eval_item *> pool;
    std::map<std::string, std::vector<const eval_item *>> by_description;
    for (const eval_item &e : source)
        if (solved(e)) {
            pool.push_back(&e);
            by_description[e.description].push_back(&e);
        }

    python_random random(r.seed);
    // A fingerprint of every item's block, in item order.
    const std::unique_ptr<XXH3_state_t, free_state> state(XXH3_createState());
    if (!state) return "out of memory";
    XXH3_64bits_reset(state.get());
    std::string error;
    std::vector<std::size_t> chosen;
    for (eval_item &item : items) {
        std::string block;
        const fewshot_draw how = fewshot_draw_for(item.format);
        if (how == fewshot_draw::first_n) {
            const auto &subject = by_description[item.description];
            if (subject.size() < r.n) {
                error = too_few(r, subject.size(),
                                item.description.empty() ? std::string()
                                                         : " of subject '" + item.group + "'",
                                item);
                break;
            }
            for (std::size_t k = 0; k < r.n; ++k) block += render_example(*subject[k]) + "\n\n";
        } else {
            if (error = draw(r, how, pool, item, random, chosen); !error.empty()) break;
            for (std::size_t i : chosen) block += render_example(*pool[i]) + "\n\n";
        }
        const std::string size = std::to_string(block.size()) + ":";
        XXH3_64bits_update(state.get(), size.data(), size.size());
        XXH3_64bits_update(state.get(), block.data(), block.size());
        item.context = block + item.context;
    }
    if (!error.empty()) return error;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(XXH3_64bits_digest(state.get())));
    examples = hex;
    return {};
}

}  // namespace vl_eval
