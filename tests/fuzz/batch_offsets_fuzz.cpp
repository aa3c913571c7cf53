// The offset validation of vl_llama_score_suffix_batch and
// vl_llama_score_root_batch: any task count and any offsets (decreasing,
// huge, not starting at 0), arrays as long as the last offsets say. A call
// the rules refuse must fail with the first broken rule's message and change
// nothing; a call they accept must score from the right rows, and leave the
// memory as its export promises.
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

constexpr std::size_t max_llama = 2147483647u;
constexpr std::size_t array_limit = 4096;  // longer host arrays are not made
constexpr float untouched = -12345.0f;

struct batch_args {
    std::size_t count = 0;
    std::vector<std::size_t> tok_off, cand_off;
    std::unique_ptr<std::uint32_t[]> tokens, candidates;
    const std::uint32_t *tok_ptr = nullptr, *cand_ptr = nullptr;
    const std::size_t *tok_off_ptr = nullptr, *cand_off_ptr = nullptr;
    std::vector<float> out;
    float *out_ptr = nullptr;
};

// The suffix batch's checks in their order; nullptr when all pass.
const char *suffix_batch_refusal(const vl_llama_runtime &rt, const batch_args &a) {
    if (!rt.has_shared_prefix || !a.tok_off_ptr || !a.cand_off_ptr || !a.cand_ptr || !a.out_ptr ||
        a.count < 2)
        return "invalid parallel shared-suffix arguments";
    if (rt.n_seq_max < 3 || a.count > rt.n_seq_max - 1)
        return "parallel suffix task count exceeds llama.cpp sequence capacity";
    const std::vector<std::size_t> &S = a.tok_off, &K = a.cand_off;
    if (S[0] != 0 || K[0] != 0) return "parallel suffix offsets must start at zero";
    std::size_t longest = 0;
    for (std::size_t i = 0; i < a.count; ++i) {
        if (S[i + 1] < S[i] || K[i + 1] < K[i]) return "parallel suffix offsets must be monotonic";
        if (K[i + 1] - K[i] < 2) return "each parallel suffix task requires at least two candidates";
        longest = std::max(longest, S[i + 1] - S[i]);
    }
    const std::size_t N = S[a.count], P = rt.shared_prefix_len;
    if (N > 0 && !a.tok_ptr) return "parallel suffix token buffer is null";
    if (N > max_llama) return "parallel suffix token count exceeds llama.cpp batch range";
    if (rt.n_batch != 0 && N > rt.n_batch) return "parallel suffix token count exceeds configured n_batch";
    if (rt.n_ctx != 0) {
        if (P > rt.n_ctx || longest > rt.n_ctx - P) return "shared prefix plus suffix exceeds configured n_ctx";
        if (N > rt.n_ctx - P) return "parallel suffix batch exceeds available context capacity";
    }
    return nullptr;
}

// The root batch's checks in their order; nullptr when all pass.
const char *root_batch_refusal(const vl_llama_runtime &rt, const batch_args &a) {
    if (!a.tok_ptr || !a.tok_off_ptr || !a.cand_ptr || !a.cand_off_ptr || a.count < 2 || !a.out_ptr ||
        a.tok_off[0] != 0 || a.cand_off[0] != 0)
        return "invalid multi-root scoring arguments";
    if (rt.n_seq_max < 2 || a.count > rt.n_seq_max)
        return "multi-root task count exceeds llama.cpp sequence capacity";
    const std::vector<std::size_t> &R = a.tok_off, &K = a.cand_off;
    std::size_t longest = 0;
    for (std::size_t r = 0; r < a.count; ++r) {
        if (R[r + 1] <= R[r] || K[r + 1] < K[r] || K[r + 1] - K[r] < 2)
            return "multi-root offsets or candidate counts are invalid";
        longest = std::max(longest, R[r + 1] - R[r]);
    }
    const std::size_t N = R[a.count];
    if (N > max_llama) return "multi-root token buffers are invalid";
    std::size_t limit = rt.n_batch != 0 ? rt.n_batch : SIZE_MAX;
    if (rt.n_ctx != 0 && rt.n_ctx < limit) limit = rt.n_ctx;
    if (limit != SIZE_MAX && N > limit) return "multi-root prompt tokens exceed configured batch/context capacity";
    if (rt.n_ctx_seq != 0 && longest > rt.n_ctx_seq)
        return "one multi-root prompt exceeds effective per-sequence context capacity";
    return nullptr;
}

bool same_bits(const std::vector<float> &a, const std::vector<float> &b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// What a refused call must leave as it was.
struct snapshot {
    bool has_prefix;
    std::size_t prefix_len;
    std::vector<float> kept;
    llama_pos seq_max[4];
    explicit snapshot(vl_llama_runtime *rt)
        : has_prefix(rt->has_shared_prefix), prefix_len(rt->shared_prefix_len), kept(rt->shared_logits) {
        llama_memory_t mem = llama_get_memory(rt->ctx);
        for (llama_seq_id s = 0; s < 4; ++s) seq_max[s] = llama_memory_seq_pos_max(mem, s);
    }
    bool operator==(const snapshot &o) const {
        return has_prefix == o.has_prefix && prefix_len == o.prefix_len && same_bits(kept, o.kept) &&
               std::memcmp(seq_max, o.seq_max, sizeof seq_max) == 0;
    }
};

// The scores of an accepted call: item i's candidates from row i.
void check_rows(vl_llama_runtime *rt, const batch_args &a, bool suffix) {
    for (std::size_t i = 0; i < a.count; ++i) {
        const bool empty = a.tok_off[i + 1] == a.tok_off[i];
        const float *row = suffix && empty
                               ? rt->shared_logits.data()
                               : llama_get_logits_ith(rt->ctx, static_cast<std::int32_t>(a.tok_off[i + 1] - 1));
        VL_FUZZ_CHECK(row != nullptr, "a row for every item");
        for (std::size_t k = a.cand_off[i]; k < a.cand_off[i + 1]; ++k)
            VL_FUZZ_CHECK(std::memcmp(&a.out[k], &row[a.candidates[k]], sizeof(float)) == 0,
                          "each candidate scored from its item's row");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    vl_llama_runtime *rt = fixture_runtime();
    const std::int32_t n_vocab = llama_vocab_n_tokens(rt->vocab);
    input_reader in(data, size);
    const std::uint8_t mode = in.u8();
    const bool suffix = (mode & 1) == 0;

    // A prefix of 0 to 255 tokens retained first (0: none).
    if (const std::size_t p = in.u8(); p != 0) {
        std::vector<std::uint32_t> prefix(p);
        for (std::size_t i = 0; i < p; ++i) prefix[i] = 300 + static_cast<std::uint32_t>((i * 7) % 97);
        VL_FUZZ_CHECK(vl_llama_prefill_shared(rt, prefix.data(), p, nullptr, 0) == 0, "prefill");
    } else {
        // Any retained prefix goes: a from-scratch call resets it.
        const std::uint32_t prompt = 300, cands[2] = {1, 2};
        float out[2];
        VL_FUZZ_CHECK(vl_llama_score_next(rt, &prompt, 1, cands, 2, out, nullptr, 0) == 0, "reset");
    }

    batch_args a;
    a.count = in.u8() % 6;
    a.tok_off = read_offsets(in, a.count, suffix ? 3 : 4);
    a.cand_off = read_offsets(in, a.count, 3);
    const std::size_t n_tokens = a.tok_off[a.count], n_cands = a.cand_off[a.count];
    // Arrays as long as the last offsets say; longer ones are only passed
    // (as one entry each) to calls the rules refuse before reading them.
    const std::size_t tok_len = n_tokens > array_limit ? 1 : n_tokens;
    const std::size_t cand_len = n_cands > array_limit ? 1 : n_cands;
    a.tokens.reset(new std::uint32_t[tok_len]);
    a.candidates.reset(new std::uint32_t[cand_len]);
    for (std::size_t k = 0; k < tok_len; ++k) a.tokens[k] = read_id(in, n_vocab);
    for (std::size_t k = 0; k < cand_len; ++k) a.candidates[k] = read_id(in, n_vocab);
    a.out.assign(cand_len, untouched);
    a.tok_ptr = (mode & 2) ? nullptr : a.tokens.get();
    a.cand_ptr = (mode & 4) ? nullptr : a.candidates.get();
    a.tok_off_ptr = (mode & 8) ? nullptr : a.tok_off.data();
    a.cand_off_ptr = (mode & 16) ? nullptr : a.cand_off.data();
    a.out_ptr = (mode & 32) ? nullptr : a.out.data();
    const char *refusal = suffix ? suffix_batch_refusal(*rt, a) : root_batch_refusal(*rt, a);
    if (refusal == nullptr && (n_tokens > array_limit || n_cands > array_limit)) return -1;

    const snapshot before(rt);
    char err[128] = "";
    const std::int32_t s =
        suffix ? vl_llama_score_suffix_batch(rt, a.tok_ptr, a.tok_off_ptr, a.cand_ptr, a.cand_off_ptr,
                                             a.count, a.out_ptr, err, sizeof err)
               : vl_llama_score_root_batch(rt, a.tok_ptr, a.tok_off_ptr, a.cand_ptr, a.cand_off_ptr,
                                           a.count, a.out_ptr, err, sizeof err);
    VL_FUZZ_CHECK(s == 0 || s == -1, "status 0 or -1");
    if (refusal != nullptr) {
        VL_FUZZ_CHECK(s == -1 && std::strcmp(err, refusal) == 0, "the first broken rule's message");
        VL_FUZZ_CHECK(snapshot(rt) == before, "a refused call changes nothing");
        for (float v : a.out) VL_FUZZ_CHECK(v == untouched, "a refused call writes no score");
        return 0;
    }
    if (s == 0) check_rows(rt, a, suffix);
    llama_memory_t mem = llama_get_memory(rt->ctx);
    if (suffix) {
        // Sequence 0 and the prefix stay; the task sequences are gone.
        const snapshot after(rt);
        VL_FUZZ_CHECK(after.has_prefix && after.prefix_len == before.prefix_len && same_bits(after.kept, before.kept) &&
                          after.seq_max[0] == before.seq_max[0],
                      "the prefix survives a suffix batch");
        for (llama_seq_id q = 1; q < 4; ++q)
            VL_FUZZ_CHECK(llama_memory_seq_pos_max(mem, q) == -1, "task sequences removed");
    } else {
        VL_FUZZ_CHECK(!rt->has_shared_prefix && rt->shared_logits.empty(), "a root batch discards the prefix");
        for (llama_seq_id q = 0; q < 4; ++q)
            VL_FUZZ_CHECK(llama_memory_seq_pos_max(mem, q) == -1, "a root batch leaves the memory empty");
    }
    return 0;
}
