// vl_llama_score_sequence_batch with any tasks a host may pass: any context,
// task and candidate offsets (the arrays as long as their last offsets
// say), ids from a small alphabet (so that equal, shared and prefix-related
// candidates are common) plus the edges of the vocabulary and of llama.cpp's
// range, with and without a retained prefix. A refusal must be the first
// rule a plain reading finds broken; a success must give finite
// log-probabilities that agree between equal and prefix-related candidates;
// either way the prefix stays and no scratch sequence is left behind.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <llama.h>

#include "common/check.h"
#include "common/fixture_target.h"
#include "common/host_inputs.h"
#include "common/input_reader.h"
#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

using namespace vl_fuzz;

namespace {

bool rising(const std::vector<std::size_t> &offsets, bool strictly) {
    if (offsets[0] != 0) return false;
    for (std::size_t i = 1; i < offsets.size(); ++i)
        if (offsets[i] < offsets[i - 1] || (strictly && offsets[i] == offsets[i - 1])) return false;
    return true;
}

struct request {
    std::vector<std::uint32_t> context;
    std::vector<std::size_t> context_offsets;
    std::vector<std::uint32_t> tokens;
    std::vector<std::size_t> sequence_offsets;
    std::vector<std::size_t> task_offsets;
    std::size_t tasks;
    bool null_context, null_tokens;
};

// The first rule the request breaks, in the documented order.
const char *expected_outcome(const request &r, const vl_llama_runtime &rt, std::uint32_t n_vocab) {
    const std::size_t n_context = r.tasks ? r.context_offsets[r.tasks] : 0;
    if (r.tasks == 0 || r.null_tokens || (r.null_context && n_context != 0))
        return "invalid sequence batch arguments";
    if (!rising(r.context_offsets, false) || !rising(r.task_offsets, true) ||
        !rising(r.sequence_offsets, false))
        return "sequence batch offsets are invalid";
    for (std::size_t i = 1; i < r.sequence_offsets.size(); ++i)
        if (r.sequence_offsets[i] == r.sequence_offsets[i - 1]) return "candidate sequence is empty";
    for (const auto *ids : {&r.context, &r.tokens})
        for (std::uint32_t id : *ids)
            if (id > 2147483647u) return "token id exceeds llama.cpp range";
    for (std::uint32_t id : r.context)
        if (id >= n_vocab) return "context token exceeds vocabulary size";
    for (std::uint32_t id : r.tokens)
        if (id >= n_vocab) return "candidate sequence token exceeds vocabulary size";
    const std::size_t prefix = rt.has_shared_prefix ? rt.shared_prefix_len : 0;
    for (std::size_t t = 0; t < r.tasks; ++t)
        if (r.context_offsets[t + 1] == r.context_offsets[t] && !rt.has_shared_prefix)
            return "task context is empty and no shared prefix is retained";
    for (std::size_t t = 0; t < r.tasks; ++t) {
        std::size_t longest = 0;
        for (std::size_t i = r.task_offsets[t]; i < r.task_offsets[t + 1]; ++i)
            longest = std::max(longest, r.sequence_offsets[i + 1] - r.sequence_offsets[i]);
        if (prefix + r.context_offsets[t + 1] - r.context_offsets[t] + longest - 1 > rt.n_ctx)
            return "task does not fit the context window";
    }
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    vl_llama_runtime *rt = fixture_runtime();
    const std::uint32_t n_vocab = static_cast<std::uint32_t>(llama_vocab_n_tokens(rt->vocab));
    input_reader in(data, size);

    const std::uint8_t mode = in.u8();
    const std::size_t prefix_len = mode & 8 ? 1 + in.u8() % 6 : 0;
    VL_FUZZ_CHECK(retain_prefix_or_reset(rt, prefix_len), "the prefix state the input chose");
    char err[256] = "";

    request r;
    r.tasks = in.u8() % 5;
    r.null_context = (mode & 1) != 0;
    r.null_tokens = (mode & 2) != 0 && (mode & 4) != 0;
    r.context_offsets = read_offsets(in, r.tasks, 5);
    r.task_offsets = read_offsets(in, r.tasks, 3);
    const std::size_t n_candidates = r.task_offsets[r.tasks];
    if (n_candidates > 64) return -1;  // only a broken offset gets there
    r.sequence_offsets = read_offsets(in, n_candidates, 4);
    // The host's arrays hold exactly as many ids as the last offsets say.
    const std::size_t n_context = r.context_offsets[r.tasks], n_tokens = r.sequence_offsets[n_candidates];
    if (n_context > 1024 || n_tokens > 1024) return -1;
    r.context = read_alphabet_ids(in, n_context, n_vocab, 5);
    r.tokens = read_alphabet_ids(in, n_tokens, n_vocab, 5);

    const std::size_t n_out = n_candidates == 0 ? 1 : n_candidates;
    std::vector<float> scores(n_out, 7.0f);
    std::vector<std::uint8_t> greedy(n_out, 9);
    // new[] even for none: a non-null pointer with nothing readable behind it.
    std::unique_ptr<std::uint32_t[]> context(new std::uint32_t[n_context]), tokens(new std::uint32_t[n_tokens]);
    std::copy(r.context.begin(), r.context.end(), context.get());
    std::copy(r.tokens.begin(), r.tokens.end(), tokens.get());

    std::strcpy(err, "");
    const char *expected = expected_outcome(r, *rt, n_vocab);
    const std::int32_t rc = vl_llama_score_sequence_batch(
        rt, r.null_context ? nullptr : context.get(), r.context_offsets.data(), r.null_tokens ? nullptr : tokens.get(),
        r.sequence_offsets.data(), r.task_offsets.data(), r.tasks, scores.data(), (mode & 16) ? nullptr : greedy.data(),
        err, sizeof err);

    if (expected != nullptr) {
        VL_FUZZ_CHECK(rc == -1 && std::strcmp(err, expected) == 0, "the first broken rule's message");
        VL_FUZZ_CHECK(scores[0] == 7.0f, "a refused request writes no score");
    } else {
        VL_FUZZ_CHECK(rc == 0, "a valid request scores");
        for (std::size_t t = 0; t < r.tasks; ++t)
            for (std::size_t i = r.task_offsets[t]; i < r.task_offsets[t + 1]; ++i) {
                VL_FUZZ_CHECK(std::isfinite(scores[i]) && scores[i] <= 1e-3f, "a log-probability");
                if (!(mode & 16)) VL_FUZZ_CHECK(greedy[i] <= 1, "a greedy flag");
                const std::vector<std::uint32_t> a(r.tokens.begin() + r.sequence_offsets[i],
                                                   r.tokens.begin() + r.sequence_offsets[i + 1]);
                for (std::size_t j = r.task_offsets[t]; j < r.task_offsets[t + 1]; ++j) {
                    const std::vector<std::uint32_t> b(r.tokens.begin() + r.sequence_offsets[j],
                                                       r.tokens.begin() + r.sequence_offsets[j + 1]);
                    if (a == b) VL_FUZZ_CHECK(scores[i] == scores[j], "equal candidates score alike");
                    if (b.size() > a.size() && std::equal(a.begin(), a.end(), b.begin())) {
                        VL_FUZZ_CHECK(scores[j] <= scores[i] + 1e-3f, "a longer candidate is no likelier");
                        if (!(mode & 16) && greedy[j]) VL_FUZZ_CHECK(greedy[i], "greedy along a path");
                    }
                }
            }
    }
    // Whatever happened: the prefix stays, the scratch sequences are gone.
    llama_memory_t memory = llama_get_memory(rt->ctx);
    VL_FUZZ_CHECK(rt->has_shared_prefix == (prefix_len != 0), "the shared-prefix state is kept");
    if (prefix_len != 0)
        VL_FUZZ_CHECK(llama_memory_seq_pos_max(memory, 0) == static_cast<llama_pos>(prefix_len - 1), "prefix kept");
    for (llama_seq_id s = 1; s < static_cast<llama_seq_id>(rt->n_seq_max); ++s)
        VL_FUZZ_CHECK(llama_memory_seq_pos_max(memory, s) == -1, "no scratch sequence left");
    return 0;
}
