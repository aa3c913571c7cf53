// Distinct runtimes on distinct threads share nothing: each thread's calls
// give bit for bit what the same calls give when made one after another.
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "support/test_support.h"

using namespace vl_test;

namespace {

constexpr int workers = 4;
constexpr int calls_per_worker = 300;
constexpr float untouched = -12345.0f;

// What one call gave back: its status, its message and every output value.
struct result {
    std::string kind;  // the export, not compared
    int32_t status = 0;
    std::string message;
    std::vector<float> values;
    bool operator==(const result &o) const {
        if (status != o.status || message != o.message || values.size() != o.values.size())
            return false;
        // Bitwise, so that two NaNs in the same place compare equal.
        return values.empty() ||
               std::memcmp(values.data(), o.values.data(), values.size() * sizeof(float)) == 0;
    }
};

using call = std::function<result(vl_llama_runtime *)>;

// Random but reproducible token ids, candidates and bad inputs.
class plan_maker {
public:
    plan_maker(int worker, int32_t n_vocab) : rng_(1000u + static_cast<unsigned>(worker)), n_vocab_(n_vocab) {}

    std::vector<uint32_t> tokens(std::size_t min, std::size_t max) {
        std::vector<uint32_t> ids(pick(min, max));
        for (uint32_t &id : ids) id = static_cast<uint32_t>(pick(3, static_cast<std::size_t>(n_vocab_) - 1));
        return ids;
    }
    // Candidates; now and then one at the vocabulary size, which fails the
    // call after the entries before it were written.
    std::vector<uint32_t> candidates() {
        std::vector<uint32_t> ids = tokens(2, 8);
        if (pick(0, 9) == 0) ids[pick(0, ids.size() - 1)] = static_cast<uint32_t>(n_vocab_);
        return ids;
    }
    // Now and then an id above the llama.cpp range, refused before any decode.
    void maybe_poison(std::vector<uint32_t> &ids) {
        if (pick(0, 14) == 0) ids[pick(0, ids.size() - 1)] = 2147483648u;
    }
    // A codebook over four tokens, so that shared prefixes are common and
    // now and then it is not prefix-free (the call then fails).
    void codebook(std::vector<uint32_t> &tokens, std::vector<std::size_t> &offsets) {
        offsets.assign(1, 0);
        tokens.clear();
        for (std::size_t n = pick(2, 5); n > 0; --n) {
            for (std::size_t len = pick(1, 3); len > 0; --len)
                tokens.push_back(static_cast<uint32_t>(pick(300, 303)));
            offsets.push_back(tokens.size());
        }
    }
    std::size_t pick(std::size_t lo, std::size_t hi) {
        return std::uniform_int_distribution<std::size_t>(lo, hi)(rng_);
    }

private:
    std::mt19937 rng_;
    int32_t n_vocab_;
};

result score_next(vl_llama_runtime *rt, const std::vector<uint32_t> &prompt,
                  const std::vector<uint32_t> &cands) {
    result r;
    char err[128] = "";
    r.values.assign(cands.size(), untouched);
    r.kind = "score_next";
    r.status = vl_llama_score_next(rt, prompt.data(), prompt.size(), cands.data(), cands.size(),
                                   r.values.data(), err, sizeof err);
    r.message = err;
    return r;
}

result score_suffix(vl_llama_runtime *rt, const std::vector<uint32_t> &suffix,
                    const std::vector<uint32_t> &cands) {
    result r;
    char err[128] = "";
    r.values.assign(cands.size(), untouched);
    r.kind = "score_suffix";
    r.status = vl_llama_score_suffix(rt, suffix.data(), suffix.size(), cands.data(), cands.size(),
                                     r.values.data(), err, sizeof err);
    r.message = err;
    return r;
}

result prefill(vl_llama_runtime *rt, const std::vector<uint32_t> &prefix) {
    result r;
    char err[128] = "";
    r.kind = "prefill_shared";
    r.status = vl_llama_prefill_shared(rt, prefix.data(), prefix.size(), err, sizeof err);
    r.message = err;
    return r;
}

// Candidate sequences after a prompt (suffix false) or after the retained
// prefix plus a suffix.
result sequences(vl_llama_runtime *rt, bool suffix, const std::vector<uint32_t> &context,
                 const std::vector<uint32_t> &tokens, const std::vector<std::size_t> &offsets) {
    result r;
    char err[128] = "";
    const std::size_t n = offsets.size() - 1;
    r.values.assign(n, untouched);
    r.kind = suffix ? "score_suffix_sequences" : "score_sequences";
    r.status = suffix ? vl_llama_score_suffix_sequences(rt, context.data(), context.size(), tokens.data(),
                                                        offsets.data(), n, r.values.data(), err, sizeof err)
                      : vl_llama_score_sequences(rt, context.data(), context.size(), tokens.data(),
                                                 offsets.data(), n, r.values.data(), err, sizeof err);
    r.message = err;
    return r;
}

// Several suffixes after the retained prefix (suffix true, empty suffixes
// allowed), or several independent prompts, in one decode.
result batch(vl_llama_runtime *rt, bool suffix, const std::vector<uint32_t> &tokens,
             const std::vector<std::size_t> &token_offsets, const std::vector<uint32_t> &cands,
             const std::vector<std::size_t> &cand_offsets) {
    result r;
    char err[128] = "";
    const std::size_t n = token_offsets.size() - 1;
    r.values.assign(cands.size(), untouched);
    r.kind = suffix ? "score_suffix_batch" : "score_root_batch";
    r.status = suffix ? vl_llama_score_suffix_batch(rt, tokens.data(), token_offsets.data(), cands.data(),
                                                    cand_offsets.data(), n, r.values.data(), err, sizeof err)
                      : vl_llama_score_root_batch(rt, tokens.data(), token_offsets.data(), cands.data(),
                                                  cand_offsets.data(), n, r.values.data(), err, sizeof err);
    r.message = err;
    return r;
}

// Many tasks' candidate sequences, packed into few decodes.
result sequence_batch(vl_llama_runtime *rt, const std::vector<uint32_t> &contexts,
                      const std::vector<std::size_t> &context_offsets, const std::vector<uint32_t> &tokens,
                      const std::vector<std::size_t> &offsets, const std::vector<std::size_t> &task_offsets) {
    result r;
    char err[128] = "";
    r.values.assign(offsets.size() - 1, untouched);
    std::vector<uint8_t> greedy(offsets.size() - 1, 2);
    r.kind = "score_sequence_batch";
    r.status = vl_llama_score_sequence_batch(rt, contexts.data(), context_offsets.data(), tokens.data(),
                                             offsets.data(), task_offsets.data(), task_offsets.size() - 1,
                                             r.values.data(), greedy.data(), err, sizeof err);
    for (uint8_t g : greedy) r.values.push_back(g);
    r.message = err;
    return r;
}

// The prompt of a chat, its ids kept as values (exact below 2^24).
result encode(vl_llama_runtime *rt, const std::string &user) {
    result r;
    char err[128] = "";
    std::vector<uint32_t> ids(256);
    const int64_t n = vl_llama_encode_chat(rt, "Be brief.", user.c_str(), nullptr, ids.data(), ids.size(),
                                           err, sizeof err);
    r.kind = "encode_chat";
    r.status = n < 0 ? -1 : 0;
    for (int64_t i = 0; i < n; ++i) r.values.push_back(static_cast<float>(ids[static_cast<std::size_t>(i)]));
    r.message = err;
    return r;
}

// The calls one worker makes: a mix of every scoring export, valid and not.
std::vector<call> plan_for(int worker, int32_t n_vocab) {
    plan_maker make(worker, n_vocab);
    std::vector<call> plan;
    while (plan.size() < calls_per_worker) {
        switch (make.pick(0, 7)) {
        case 0: {
            std::vector<uint32_t> prompt = make.tokens(1, 40);
            make.maybe_poison(prompt);
            plan.push_back([prompt, cands = make.candidates()](vl_llama_runtime *rt) {
                return score_next(rt, prompt, cands);
            });
            break;
        }
        case 1: {
            std::vector<uint32_t> prefix = make.tokens(1, 40);
            make.maybe_poison(prefix);
            plan.push_back([prefix](vl_llama_runtime *rt) { return prefill(rt, prefix); });
            break;
        }
        case 2:
        case 3: {
            const bool suffix = make.pick(0, 1) == 0;
            std::vector<uint32_t> context = make.tokens(suffix ? 0 : 1, suffix ? 6 : 30);
            std::vector<uint32_t> tokens;
            std::vector<std::size_t> offsets;
            make.codebook(tokens, offsets);
            plan.push_back([=](vl_llama_runtime *rt) { return sequences(rt, suffix, context, tokens, offsets); });
            break;
        }
        case 5: {
            std::vector<uint32_t> suffix = make.tokens(0, 6);
            plan.push_back([suffix, cands = make.candidates()](vl_llama_runtime *rt) {
                return score_suffix(rt, suffix, cands);
            });
            break;
        }
        case 6: {
            const bool suffix = make.pick(0, 1) == 0;
            std::vector<uint32_t> tokens, cands;
            std::vector<std::size_t> token_offsets{0}, cand_offsets{0};
            for (std::size_t n = make.pick(2, suffix ? 3 : 4); n > 0; --n) {
                for (uint32_t id : make.tokens(suffix ? 0 : 1, 12)) tokens.push_back(id);
                for (uint32_t id : make.candidates()) cands.push_back(id);
                token_offsets.push_back(tokens.size());
                cand_offsets.push_back(cands.size());
            }
            plan.push_back([=](vl_llama_runtime *rt) {
                return batch(rt, suffix, tokens, token_offsets, cands, cand_offsets);
            });
            break;
        }
        case 7: {
            std::vector<uint32_t> contexts, tokens;
            std::vector<std::size_t> context_offsets{0}, offsets{0}, task_offsets{0};
            for (std::size_t n = make.pick(1, 3); n > 0; --n) {
                for (uint32_t id : make.tokens(0, 8)) contexts.push_back(id);
                std::vector<uint32_t> book;
                std::vector<std::size_t> book_offsets;
                make.codebook(book, book_offsets);
                for (std::size_t i = 1; i < book_offsets.size(); ++i) offsets.push_back(tokens.size() + book_offsets[i]);
                tokens.insert(tokens.end(), book.begin(), book.end());
                context_offsets.push_back(contexts.size());
                task_offsets.push_back(offsets.size() - 1);
            }
            plan.push_back([=](vl_llama_runtime *rt) {
                return sequence_batch(rt, contexts, context_offsets, tokens, offsets, task_offsets);
            });
            break;
        }
        case 4: {
            const std::string user = "question " + std::to_string(make.pick(0, 999));
            plan.push_back([user](vl_llama_runtime *rt) { return encode(rt, user); });
            break;
        }
        }
    }
    return plan;
}

std::vector<result> run_plan(vl_llama_runtime *rt, const std::vector<call> &plan) {
    std::vector<result> results;
    results.reserve(plan.size());
    for (const call &c : plan) results.push_back(c(rt));
    return results;
}

}  // namespace

TEST(Concurrency, DistinctRuntimesOnDistinctThreadsGiveTheSerialResults) {
    // Serially: one fresh runtime per worker's plan, one plan after another.
    std::vector<std::vector<call>> plans;
    std::vector<std::vector<result>> expected;
    for (int w = 0; w < workers; ++w) {
        runtime_ptr rt = open_runtime(fixture_path("chatml"));
        ASSERT_NE(rt, nullptr);
        plans.push_back(plan_for(w, vocab_size(rt.get())));
        expected.push_back(run_plan(rt.get(), plans.back()));
    }

    // The plans succeed and fail in a mix, and every export succeeds, so both
    // kinds of path of each are raced.
    int failures = 0;
    std::map<std::string, int> successes;
    for (const auto &rs : expected)
        for (const result &r : rs) r.status == 0 ? ++successes[r.kind] : ++failures;
    EXPECT_GT(failures, 10);
    EXPECT_EQ(successes.size(), 9u);
    for (const auto &[kind, n] : successes) EXPECT_GT(n, 2) << kind;

    std::vector<runtime_ptr> runtimes;
    for (int w = 0; w < workers; ++w) {
        runtimes.push_back(open_runtime(fixture_path("chatml")));
        ASSERT_NE(runtimes.back(), nullptr);
    }
    std::vector<std::vector<result>> got(workers);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
        threads.emplace_back([&, w] { got[w] = run_plan(runtimes[w].get(), plans[w]); });
    for (std::thread &t : threads) t.join();

    for (int w = 0; w < workers; ++w) {
        ASSERT_EQ(got[w].size(), expected[w].size());
        for (std::size_t i = 0; i < got[w].size(); ++i)
            EXPECT_TRUE(got[w][i] == expected[w][i])
                << "worker " << w << ", call " << i << ": status " << got[w][i].status << " \""
                << got[w][i].message << "\", serially " << expected[w][i].status << " \""
                << expected[w][i].message << "\"";
    }
}
