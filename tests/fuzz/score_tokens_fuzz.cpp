// vl_llama_score_tokens with any sequences a host may pass: any offsets and
// context counts (the arrays as long as their last offsets say), ids from a
// small alphabet plus the edges of the vocabulary and of llama.cpp's range,
// with and without a retained prefix, sequences up to past the window. A
// refusal must be the first rule a plain reading finds broken; a success
// must give context tokens 0 and greedy 1 and scored tokens finite
// log-probabilities; either way the prefix stays and no scratch sequence is
// left behind.
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
#include "common/prefix_state.h"
#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

using namespace vl_fuzz;

namespace {

struct request {
    std::vector<std::uint32_t> tokens;
    std::vector<std::size_t> offsets;
    std::vector<std::size_t> counts;
    std::size_t sequences;
    bool null_tokens, null_counts;
};

std::size_t length(const request &r, std::size_t s) { return r.offsets[s + 1] - r.offsets[s]; }

// The first rule the request breaks, in the documented order.
const char *expected_outcome(const request &r, const vl_llama_runtime &rt, std::uint32_t n_vocab) {
    if (r.sequences == 0 || (r.null_tokens && r.offsets[r.sequences] != 0)) return "invalid token scoring arguments";
    if (r.offsets[0] != 0) return "token scoring offsets are invalid";
    for (std::size_t s = 0; s < r.sequences; ++s)
        if (r.offsets[s + 1] < r.offsets[s]) return "token scoring offsets are invalid";
    if (!r.null_counts)
        for (std::size_t s = 0; s < r.sequences; ++s)
            if (r.counts[s] > length(r, s)) return "context count exceeds its sequence";
    for (std::uint32_t id : r.tokens)
        if (id > 2147483647u) return "token id exceeds llama.cpp range";
    for (std::uint32_t id : r.tokens)
        if (id >= n_vocab) return "token exceeds vocabulary size";
    const std::size_t prefix = rt.has_shared_prefix ? rt.shared_prefix_len : 0;
    for (std::size_t s = 0; s < r.sequences; ++s) {
        const std::size_t first = std::max<std::size_t>(r.null_counts ? 0 : r.counts[s], prefix ? 0 : 1);
        if (first < length(r, s) && length(r, s) >= 2 && prefix + length(r, s) - 1 > rt.n_ctx)
            return "sequence does not fit the context window";
    }
    return nullptr;
}

// Offsets as read_offsets makes them, now and then a sequence of about the
// window's length instead of a short one.
std::vector<std::size_t> read_sequence_offsets(input_reader &in, std::size_t n) {
    std::vector<std::size_t> offsets = read_offsets(in, n, 11);
    for (std::size_t i = 1; i <= n; ++i)
        if (in.u8() >= 0xF0 && offsets[i] >= offsets[i - 1])
            for (std::size_t j = i; j <= n; ++j) offsets[j] += 250;
    return offsets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    vl_llama_runtime *rt = fixture_runtime();
    const std::uint32_t n_vocab = static_cast<std::uint32_t>(llama_vocab_n_tokens(rt->vocab));
    input_reader in(data, size);

    const std::uint8_t mode = in.u8();
    const std::size_t prefix_len = retain_prefix_asked(rt, in, mode);
    char err[256] = "";

    request r;
    r.sequences = in.u8() % 6;
    r.null_tokens = (mode & 1) != 0 && (mode & 2) != 0;
    r.null_counts = (mode & 4) != 0;
    r.offsets = read_sequence_offsets(in, r.sequences);
    const std::size_t n_tokens = r.offsets[r.sequences];
    if (n_tokens > 2048) return -1;  // only a broken offset gets there
    r.counts.resize(r.sequences);
    for (auto &c : r.counts) {
        const std::uint8_t b = in.u8();
        c = b >= 0xF0 ? 300 : b % 8;
    }
    r.tokens = read_alphabet_ids(in, n_tokens, n_vocab, 7);

    const std::size_t n_out = std::max<std::size_t>(n_tokens, 1);
    std::vector<float> scores(n_out, 7.0f);
    std::vector<std::uint8_t> greedy(n_out, 9);
    // new[] even for none: a non-null pointer with nothing readable behind it.
    std::unique_ptr<std::uint32_t[]> tokens(new std::uint32_t[n_tokens]);
    std::copy(r.tokens.begin(), r.tokens.end(), tokens.get());
    std::unique_ptr<std::size_t[]> counts(new std::size_t[r.sequences]);
    std::copy(r.counts.begin(), r.counts.end(), counts.get());

    std::strcpy(err, "");
    const char *expected = expected_outcome(r, *rt, n_vocab);
    const bool want_greedy = (mode & 16) == 0;
    const std::int32_t rc =
        vl_llama_score_tokens(rt, r.null_tokens ? nullptr : tokens.get(), r.offsets.data(),
                              r.null_counts ? nullptr : counts.get(), r.sequences, scores.data(),
                              want_greedy ? greedy.data() : nullptr, err, sizeof err);

    if (expected != nullptr) {
        VL_FUZZ_CHECK(rc == -1 && std::strcmp(err, expected) == 0, "the first broken rule's message");
        VL_FUZZ_CHECK(scores[0] == 7.0f, "a refused request writes no score");
    } else {
        VL_FUZZ_CHECK(rc == 0, "a valid request scores");
        for (std::size_t s = 0; s < r.sequences; ++s) {
            const std::size_t first =
                std::max<std::size_t>(r.null_counts ? 0 : r.counts[s], prefix_len != 0 ? 0 : 1);
            for (std::size_t k = 0; k < length(r, s); ++k) {
                const std::size_t i = r.offsets[s] + k;
                if (k < first) {
                    VL_FUZZ_CHECK(scores[i] == 0.0f, "a context token scores 0");
                    if (want_greedy) VL_FUZZ_CHECK(greedy[i] == 1, "a context token is greedy");
                    continue;
                }
                VL_FUZZ_CHECK(std::isfinite(scores[i]) && scores[i] <= 1e-3f, "a log-probability");
                if (want_greedy) VL_FUZZ_CHECK(greedy[i] <= 1, "a greedy flag");
            }
        }
    }
    // Whatever happened: the prefix stays, the scratch sequences are gone.
    check_prefix_kept(rt, prefix_len);
    return 0;
}
