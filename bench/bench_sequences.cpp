// Benchmark section: an MMLU-shaped task (a 512-token prompt, four answers of
// 1 to 8 tokens sharing some first tokens) scored by the trie walk after a
// shared prefill, against scoring each answer on its own from scratch with
// one full decode of prompt + answer, as evaluation harnesses do.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <set>
#include <vector>

#include <llama.h>

#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

int bench_sequences(const char *model_path);

namespace {

constexpr int prompt_len = 512;
constexpr int repeats = 3;
constexpr int threads = 2;

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Ordinary (non-special) token ids spread over the vocabulary.
uint32_t token_at(int i, int32_t n_vocab) {
    return 300 + static_cast<uint32_t>((static_cast<int64_t>(i) * 7919) % (n_vocab - 300));
}

struct task {
    std::vector<uint32_t> prompt;
    std::vector<std::vector<uint32_t>> answers;
    std::vector<uint32_t> tokens;  // the answers as one codebook
    std::vector<size_t> offsets{0};
};

task make_task(int32_t n_vocab) {
    task t;
    for (int i = 0; i < prompt_len; ++i) t.prompt.push_back(token_at(i, n_vocab));
    auto tok = [&](int i) { return token_at(prompt_len + i, n_vocab); };
    // Lengths 1, 3, 5 and 8; the last three share their first token, two of
    // them their first two.
    t.answers = {{tok(0)},
                 {tok(1), tok(2), tok(3)},
                 {tok(1), tok(2), tok(4), tok(5), tok(6)},
                 {tok(1), tok(7), tok(8), tok(9), tok(10), tok(11), tok(12), tok(13)}};
    for (const auto &a : t.answers) {
        t.tokens.insert(t.tokens.end(), a.begin(), a.end());
        t.offsets.push_back(t.tokens.size());
    }
    return t;
}

// Trie nodes besides the root (distinct answer prefixes), and those with
// children (proper prefixes of a longer answer): the walk decodes the latter.
void count_trie(const task &t, size_t &nodes, size_t &internal) {
    std::set<std::vector<uint32_t>> all, inner;
    for (const auto &a : t.answers) {
        for (size_t n = 1; n <= a.size(); ++n) {
            all.emplace(a.begin(), a.begin() + n);
            if (n < a.size()) inner.emplace(a.begin(), a.begin() + n);
        }
    }
    nodes = all.size();
    internal = inner.size();
}

// log P(answer | prompt) for each answer, each from one decode of
// prompt + answer in a cleared context, the log-softmax in double precision.
bool score_from_scratch(llama_context *ctx, const llama_vocab *vocab, const task &t,
                        std::vector<double> &scores, int64_t &tokens_decoded) {
    const int32_t n_vocab = llama_vocab_n_tokens(vocab);
    scores.clear();
    for (const auto &answer : t.answers) {
        llama_memory_clear(llama_get_memory(ctx), true);
        const int32_t n = static_cast<int32_t>(t.prompt.size() + answer.size());
        llama_batch batch = llama_batch_init(n, 0, 1);
        batch.n_tokens = n;
        for (int32_t i = 0; i < n; ++i) {
            const size_t u = static_cast<size_t>(i);
            batch.token[i] = static_cast<llama_token>(u < t.prompt.size() ? t.prompt[u] : answer[u - t.prompt.size()]);
            batch.pos[i] = i;
            batch.n_seq_id[i] = 1;
            batch.seq_id[i][0] = 0;
            // The rows that predict the answer tokens.
            batch.logits[i] = i + 1 >= prompt_len && i + 1 < n ? 1 : 0;
        }
        const int32_t rc = llama_decode(ctx, batch);
        llama_batch_free(batch);
        if (rc != 0) return false;
        tokens_decoded += n;
        double total = 0.0;
        for (size_t k = 0; k < answer.size(); ++k) {
            const float *row = llama_get_logits_ith(ctx, prompt_len - 1 + static_cast<int32_t>(k));
            if (row == nullptr) return false;
            const double max = *std::max_element(row, row + n_vocab);
            double sum = 0.0;
            for (int32_t v = 0; v < n_vocab; ++v) sum += std::exp(row[v] - max);
            total += row[answer[k]] - (max + std::log(sum));
        }
        scores.push_back(total);
    }
    return true;
}

}  // namespace

int bench_sequences(const char *model_path) {
    std::printf("== candidate sequences: 512-token prompt, answers of 1, 3, 5 and 8 tokens\n");
    vl_llama_config config{};
    config.n_ctx = 1024;
    config.n_batch = 1024;
    config.n_seq_max = 2;
    config.n_threads = threads;
    config.n_threads_batch = threads;
    char err[256] = "";
    vl_llama_runtime *runtime = vl_llama_open(model_path, &config, err, sizeof err);
    if (runtime == nullptr) {
        std::fprintf(stderr, "bench_sequences: cannot open %s: %s\n", model_path, err);
        return 1;
    }
    const int32_t n_vocab = llama_vocab_n_tokens(runtime->vocab);
    const task t = make_task(n_vocab);
    size_t nodes = 0, internal = 0;
    count_trie(t, nodes, internal);

    // A second context on the same model for the from-scratch baseline.
    llama_context_params params = llama_context_default_params();
    params.n_ctx = 1024;
    params.n_batch = 1024;
    params.n_seq_max = 1;
    params.n_threads = threads;
    params.n_threads_batch = threads;
    llama_context *scratch_ctx = llama_init_from_model(runtime->model, params);
    if (scratch_ctx == nullptr) {
        std::fprintf(stderr, "bench_sequences: cannot create the baseline context\n");
        vl_llama_close(runtime);
        return 1;
    }

    int status = 0;
    std::vector<double> prefill_s, walk_s, scratch_s;
    std::vector<float> scores(t.answers.size());
    std::vector<double> reference;
    int64_t walk_decodes = 0, walk_tokens = 0, scratch_tokens = 0;
    for (int r = 0; r < repeats && status == 0; ++r) {
        auto start = clock_type::now();
        if (vl_llama_prefill_shared(runtime, t.prompt.data(), t.prompt.size(), err, sizeof err) != 0) {
            std::fprintf(stderr, "bench_sequences: prefill failed: %s\n", err);
            status = 1;
            break;
        }
        prefill_s.push_back(seconds_since(start));

        // llama.cpp counts one-token decodes in n_eval and the tokens of
        // larger decodes in n_p_eval, and reports either as at least 1; a
        // larger decode has at least 2 tokens, so a 1 there means none.
        llama_perf_context_reset(runtime->ctx);
        start = clock_type::now();
        if (vl_llama_score_suffix_sequences(runtime, nullptr, 0, t.tokens.data(), t.offsets.data(),
                                            t.answers.size(), scores.data(), err, sizeof err) != 0) {
            std::fprintf(stderr, "bench_sequences: sequence scoring failed: %s\n", err);
            status = 1;
            break;
        }
        walk_s.push_back(seconds_since(start));
        const llama_perf_context_data perf = llama_perf_context(runtime->ctx);
        walk_decodes = perf.n_eval;
        walk_tokens = perf.n_eval + (perf.n_p_eval > 1 ? perf.n_p_eval : 0);

        scratch_tokens = 0;
        start = clock_type::now();
        if (!score_from_scratch(scratch_ctx, runtime->vocab, t, reference, scratch_tokens)) {
            std::fprintf(stderr, "bench_sequences: from-scratch decode failed\n");
            status = 1;
            break;
        }
        scratch_s.push_back(seconds_since(start));
    }

    if (status == 0) {
        double max_diff = 0.0;
        for (size_t i = 0; i < scores.size(); ++i)
            max_diff = std::max(max_diff, std::fabs(scores[i] - reference[i]));
        const double prefill = median(prefill_s), walk = median(walk_s), scratch = median(scratch_s);
        std::printf("trie: %zu nodes besides the root, %zu with children\n", nodes, internal);
        std::printf("walk: %lld decodes, %lld tokens decoded (after one %d-token prefill)\n",
                    static_cast<long long>(walk_decodes), static_cast<long long>(walk_tokens), prompt_len);
        std::printf("from scratch: %zu decodes, %lld tokens decoded\n", t.answers.size(),
                    static_cast<long long>(scratch_tokens));
        std::printf("time (median of %d): prefill %.3f s, walk %.3f s, from scratch %.3f s\n", repeats,
                    prefill, walk, scratch);
        std::printf("ratio: from scratch / (prefill + walk) = %.2f, from scratch / walk = %.1f\n",
                    scratch / (prefill + walk), scratch / walk);
        std::printf("largest score difference to from scratch: %.3g (batches of 64 tokens or more "
                    "round differently)\n",
                    max_diff);
    }
    llama_free(scratch_ctx);
    vl_llama_close(runtime);
    return status;
}
