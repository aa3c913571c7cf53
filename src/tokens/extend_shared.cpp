// vl_llama_extend_shared: tokens appended to the retained prefix (or starting
// a new one) in as many decodes as they need, with the log-softmax row after
// each token asked for, so that a host can walk a text longer than one
// decode piece by piece.
#include <algorithm>
#include <vector>

#include <llama.h>

#include "runtime/capacity.h"
#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/batch.h"
#include "scoring/shared_prefix.h"
#include "scoring/token_ids.h"
#include "sequences/row_summary.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

struct extend_request {
    const std::uint32_t *tokens;
    std::size_t count;
    bool restart;
    std::size_t rows_from;
    float *out_rows;
    std::size_t out_cap;  // floats
};

outcome check_request(const vl_llama_runtime *runtime, const extend_request &r,
                      std::int32_t &n_vocab) {
    const bool rows = r.rows_from < r.count;
    if (runtime == nullptr || runtime->ctx == nullptr || runtime->vocab == nullptr ||
        r.tokens == nullptr || r.count == 0 || (rows && r.out_rows == nullptr))
        return "invalid prefix extension arguments";
    if (llama_get_memory(runtime->ctx) == nullptr)
        return "llama.cpp context does not expose reusable sequence memory";
    if (outcome failure = ids_in_llama_range(r.tokens, r.count)) return failure;
    n_vocab = llama_vocab_n_tokens(runtime->vocab);
    if (n_vocab <= 0) return "llama.cpp vocabulary is empty";
    if (!ids_in_vocabulary(r.tokens, r.count, n_vocab)) return "token exceeds vocabulary size";
    if (rows) {
        const std::size_t n_rows = r.count - r.rows_from;
        if (r.out_cap / static_cast<std::size_t>(n_vocab) < n_rows)
            return "row output buffer is too small";
    }
    const std::size_t prefix = runtime->has_shared_prefix && !r.restart ? runtime->shared_prefix_len : 0;
    if (r.count > max_llama_int - prefix || (runtime->n_ctx != 0 && prefix + r.count > runtime->n_ctx))
        return "tokens do not fit the context window";
    return ok;
}

// Puts sequence 0 back as it was before the call unless committed: the old
// prefix's cells stay and the new ones go, or, where the memory cannot cut a
// sequence (a recurrent model), nothing is retained.
class prefix_rollback {
public:
    prefix_rollback(vl_llama_runtime &runtime, llama_memory_t memory)
        : runtime_(runtime), memory_(memory), old_len_(runtime.shared_prefix_len) {}
    ~prefix_rollback() {
        if (committed_) return;
        if (!runtime_.has_shared_prefix ||
            !llama_memory_seq_rm(memory_, 0, static_cast<llama_pos>(old_len_), -1))
            clear_memory_and_reset(runtime_, memory_);
    }
    prefix_rollback(const prefix_rollback &) = delete;
    prefix_rollback &operator=(const prefix_rollback &) = delete;
    void commit() { committed_ = true; }

private:
    vl_llama_runtime &runtime_;
    llama_memory_t memory_;
    std::size_t old_len_;
    bool committed_ = false;
};

// The log-softmax of a logits row, in the arithmetic of the sequence scores:
// each entry minus the row's normaliser, in single precision.
outcome write_log_softmax(const float *row, std::size_t n_vocab, float *out) {
    float normaliser = 0.0f;
    std::size_t argmax = 0;
    if (outcome failure = vocab_row_summary(row, n_vocab, normaliser, argmax)) return failure;
    for (std::size_t i = 0; i < n_vocab; ++i) out[i] = row[i] - normaliser;
    return ok;
}

outcome extend_shared(vl_llama_runtime *runtime, const extend_request &r) {
    std::int32_t n_vocab = 0;
    if (outcome failure = check_request(runtime, r, n_vocab)) return failure;
    llama_memory_t memory = llama_get_memory(runtime->ctx);
    const std::size_t vocab = static_cast<std::size_t>(n_vocab);
    // Room for the new kept row now, so that nothing can fail once decoded.
    runtime->shared_logits.reserve(vocab);

    if (r.restart || !runtime->has_shared_prefix) clear_memory_and_reset(*runtime, memory);
    const std::size_t start = runtime->shared_prefix_len;
    prefix_rollback rollback(*runtime, memory);

    const std::size_t limit = std::min<std::size_t>({largest_decode(*runtime, true), r.count, max_llama_int});
    batch_owner batch(static_cast<std::int32_t>(limit));
    const float *last_row = nullptr;
    for (std::size_t begin = 0; begin < r.count; begin += limit) {
        const std::size_t n = std::min(limit, r.count - begin);
        llama_batch &b = batch.get();
        b.n_tokens = static_cast<std::int32_t>(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t k = begin + i;
            batch.set(static_cast<std::int32_t>(i), static_cast<llama_token>(r.tokens[k]),
                      static_cast<llama_pos>(start + k), 0, k >= r.rows_from || k + 1 == r.count);
        }
        if (llama_decode(runtime->ctx, b) != 0) return "llama_decode failed while extending shared prefix";
        for (std::size_t i = 0; i < n; ++i) {
            if (b.logits[i] == 0) continue;
            const float *row = llama_get_logits_ith(runtime->ctx, static_cast<std::int32_t>(i));
            if (row == nullptr) return "llama_get_logits_ith returned null while extending shared prefix";
            const std::size_t k = begin + i;
            if (k >= r.rows_from)
                if (outcome failure = write_log_softmax(row, vocab, r.out_rows + (k - r.rows_from) * vocab))
                    return failure;
            last_row = row;
        }
    }

    runtime->shared_logits.assign(last_row, last_row + vocab);  // within the reserved room
    runtime->shared_prefix_len = start + r.count;
    runtime->has_shared_prefix = true;
    rollback.commit();
    return ok;
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int32_t vl_llama_extend_shared(vl_llama_runtime *runtime,
                                                       const uint32_t *tokens, size_t token_count,
                                                       int32_t restart, size_t rows_from,
                                                       float *out_rows, size_t out_cap, char *err,
                                                       size_t err_cap) {
    return vl::status_export(err, err_cap, [&] {
        const vl::extend_request request{tokens,    token_count, restart != 0,
                                         rows_from, out_rows,    out_cap};
        return vl::extend_shared(runtime, request);
    });
}
