// vl_llama_score_sequence_batch: log-probabilities of many tasks' candidate
// sequences, decoded together in as few llama_decode calls as the context
// allows instead of one single-token decode per trie node.
#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include <llama.h>

#include "runtime/export_boundary.h"
#include "runtime/runtime.h"
#include "scoring/batch.h"
#include "scoring/scratch_sequences.h"
#include "scoring/shared_prefix.h"
#include "scoring/token_ids.h"
#include "sequences/sequence_forest.h"
#include "sequences/row_summary.h"
#include "sequences/trie_walk.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

// The host's request, as the export received it.
struct batch_request {
    const std::uint32_t *context_tokens;
    const std::size_t *context_offsets;
    const std::uint32_t *sequence_tokens;
    const std::size_t *sequence_offsets;
    const std::size_t *task_offsets;
    std::size_t task_count;
    float *out_scores;
    std::uint8_t *out_greedy;
};

// Offsets from 0 that never go down (strictly rising when each item must
// own at least one entry).
bool offsets_valid(const std::size_t *offsets, std::size_t count, bool strictly) {
    if (offsets[0] != 0) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (offsets[i + 1] < offsets[i] || (strictly && offsets[i + 1] == offsets[i])) return false;
    }
    return true;
}

outcome ids_in_llama_range(const std::uint32_t *tokens, std::size_t count) {
    if (count > max_llama_int) return "token sequence is too large for llama.cpp";
    for (std::size_t i = 0; i < count; ++i)
        if (tokens[i] > max_llama_int) return "token id exceeds llama.cpp range";
    return ok;
}

bool ids_in_vocabulary(const std::uint32_t *tokens, std::size_t count, std::int32_t n_vocab) {
    for (std::size_t i = 0; i < count; ++i)
        if (tokens[i] >= static_cast<std::uint32_t>(n_vocab)) return false;
    return true;
}

// Every check of the request, in the documented order, before anything in
// the context's memory changes.
outcome check_request(const vl_llama_runtime *runtime, const batch_request &r,
                      std::int32_t &n_vocab) {
    if (runtime == nullptr || runtime->ctx == nullptr || runtime->vocab == nullptr ||
        runtime->n_seq_max < 2 || r.context_offsets == nullptr || r.sequence_tokens == nullptr ||
        r.sequence_offsets == nullptr || r.task_offsets == nullptr || r.task_count == 0 ||
        r.out_scores == nullptr ||
        (r.context_tokens == nullptr && r.context_offsets[r.task_count] != 0))
        return "invalid sequence batch arguments";
    if (llama_get_memory(runtime->ctx) == nullptr)
        return "llama.cpp context does not expose sequence memory";

    if (!offsets_valid(r.context_offsets, r.task_count, false) ||
        !offsets_valid(r.task_offsets, r.task_count, true))
        return "sequence batch offsets are invalid";
    const std::size_t n_candidates = r.task_offsets[r.task_count];
    if (!offsets_valid(r.sequence_offsets, n_candidates, false))
        return "sequence batch offsets are invalid";
    for (std::size_t i = 0; i < n_candidates; ++i)
        if (r.sequence_offsets[i + 1] == r.sequence_offsets[i]) return "candidate sequence is empty";

    const std::size_t n_context = r.context_offsets[r.task_count];
    const std::size_t n_sequence = r.sequence_offsets[n_candidates];
    if (outcome failure = ids_in_llama_range(r.context_tokens, n_context)) return failure;
    if (outcome failure = ids_in_llama_range(r.sequence_tokens, n_sequence)) return failure;
    n_vocab = llama_vocab_n_tokens(runtime->vocab);
    if (n_vocab <= 0) return "llama.cpp vocabulary is empty";
    if (!ids_in_vocabulary(r.context_tokens, n_context, n_vocab))
        return "context token exceeds vocabulary size";
    if (!ids_in_vocabulary(r.sequence_tokens, n_sequence, n_vocab))
        return "candidate sequence token exceeds vocabulary size";

    const std::size_t prefix = runtime->has_shared_prefix ? runtime->shared_prefix_len : 0;
    for (std::size_t t = 0; t < r.task_count; ++t) {
        const std::size_t context = r.context_offsets[t + 1] - r.context_offsets[t];
        if (context == 0 && !runtime->has_shared_prefix)
            return "task context is empty and no shared prefix is retained";
    }
    for (std::size_t t = 0; t < r.task_count; ++t) {
        // The deepest decoded position is the context's end plus the longest
        // candidate but its last token.
        std::size_t longest = 0;
        for (std::size_t i = r.task_offsets[t]; i < r.task_offsets[t + 1]; ++i)
            longest = std::max(longest, r.sequence_offsets[i + 1] - r.sequence_offsets[i]);
        const std::size_t context = r.context_offsets[t + 1] - r.context_offsets[t];
        const std::size_t end = prefix + context + (longest - 1);  // positions used
        if (end > max_llama_int || (runtime->n_ctx != 0 && end > runtime->n_ctx))
            return "task does not fit the context window";
    }
    return ok;
}

// Scores the trie children of node from its logits row.
outcome score_children(sequence_forest &forest, std::size_t node, const float *row,
                       std::int32_t n_vocab, const batch_request &r) {
    float normaliser = 0.0f;
    std::size_t argmax = 0;
    if (outcome failure =
            vocab_row_summary(row, static_cast<std::size_t>(n_vocab), normaliser, argmax))
        return failure;
    const forest_node &parent = forest.nodes[node];
    for (const auto &edge : parent.children) {
        forest_node &child = forest.nodes[edge.second];
        const float with_logit = parent.score + row[edge.first];
        child.score = with_logit - normaliser;
        child.greedy = parent.greedy && edge.first == argmax;
        for (std::size_t i = child.first_candidate; i != no_node; i = forest.next_candidate[i]) {
            r.out_scores[i] = child.score;
            if (r.out_greedy != nullptr) r.out_greedy[i] = child.greedy ? 1 : 0;
        }
    }
    return ok;
}

// One branch of a round: the leaf it decodes down to, the scratch sequence it
// is decoded into, and its deepest node decoded by an earlier round (which
// the sequence must already hold), or no_node.
struct branch_slot {
    std::size_t leaf;
    std::size_t held;
    llama_seq_id seq;
};

// Decodes the forest's branches in rounds. A round takes branches in order
// while their new tokens fit one decode, their sequences the scratch
// sequences and their cells the window; each new token is tagged with the
// sequences of every branch of the round below it. Branches come in
// depth-first order, so every node an earlier round decoded that a later
// branch still needs lies on the path of the previous round's last branch:
// that sequence (the carrier) is copied into the new round's sequences up to
// what each needs, then cut back itself. A branch too long for one decode
// makes a round of its own, decoded in pieces along its single path.
class round_decoder {
public:
    round_decoder(vl_llama_runtime &runtime, llama_memory_t memory, sequence_forest &forest,
                  const batch_request &request, std::int32_t n_vocab)
        : runtime_(runtime), memory_(memory), forest_(forest), request_(request),
          n_vocab_(n_vocab),
          prefix_(runtime.has_shared_prefix ? runtime.shared_prefix_len : 0),
          limit_(largest_decode(runtime, true)),
          sequences_(static_cast<llama_seq_id>(runtime.n_seq_max - 1)),
          round_of_(forest.nodes.size(), unscheduled), slot_(forest.nodes.size(), 0) {}

    outcome run() {
        if (forest_.order.empty()) return ok;
        const std::size_t capacity =
            std::min<std::size_t>({limit_, forest_.order.size(), max_llama_int});
        batch_ = llama_batch_init(static_cast<std::int32_t>(capacity), 0, sequences_);
        has_batch_ = true;
        std::size_t next = 0;
        while (next < forest_.branches.size()) {
            next = plan_round(next);
            if (outcome failure = run_round()) return failure;
            ++round_;
        }
        return ok;
    }

    ~round_decoder() {
        if (has_batch_) llama_batch_free(batch_);
    }
    round_decoder(const round_decoder &) = delete;
    round_decoder &operator=(const round_decoder &) = delete;

private:
    static constexpr std::size_t unscheduled = static_cast<std::size_t>(-1);

    bool earlier(std::size_t node) const {
        return round_of_[node] != unscheduled && round_of_[node] < round_;
    }

    // Cells the tokens of the node's path hold after the prefix.
    std::size_t held_cells(std::size_t held) const {
        return held == no_node ? 0 : forest_.nodes[held].position + 1 - prefix_;
    }

    // Takes branches from first on into this round; returns the next one.
    std::size_t plan_round(std::size_t first) {
        tokens_.clear();
        token_seqs_.clear();
        slots_.clear();
        std::size_t kept = 0;  // cells kept from the carrier's path
        std::size_t b = first;
        for (; b < forest_.branches.size(); ++b) {
            // Walk up from the leaf: first the nodes no round has taken yet,
            // then those this round already decodes, then one decoded before.
            std::vector<std::size_t> fresh;
            std::size_t at = forest_.branches[b];
            while (at != no_node && !forest_.nodes[at].kept_row && round_of_[at] == unscheduled) {
                fresh.push_back(at);
                at = forest_.nodes[at].parent;
            }
            std::size_t held = at;
            while (held != no_node && !forest_.nodes[held].kept_row && !earlier(held))
                held = forest_.nodes[held].parent;
            if (held != no_node && forest_.nodes[held].kept_row) held = no_node;

            const std::size_t kept_after = std::max(kept, held_cells(held));
            const bool fits = slots_.size() < static_cast<std::size_t>(sequences_) &&
                              tokens_.size() + fresh.size() <= limit_ &&
                              (runtime_.n_ctx == 0 || prefix_ + kept_after + tokens_.size() +
                                                              fresh.size() <= runtime_.n_ctx);
            if (!fits && !slots_.empty()) break;

            const llama_seq_id seq = next_sequence();
            for (std::size_t x = at; x != no_node && !forest_.nodes[x].kept_row && !earlier(x);
                 x = forest_.nodes[x].parent)
                token_seqs_[slot_[x]].push_back(seq);
            for (auto it = fresh.rbegin(); it != fresh.rend(); ++it) {
                round_of_[*it] = round_;
                slot_[*it] = tokens_.size();
                tokens_.push_back(*it);
                token_seqs_.push_back({seq});
            }
            slots_.push_back(branch_slot{forest_.branches[b], held, seq});
            kept = kept_after;
            if (!fits) {
                ++b;  // too long for one decode: alone, in pieces
                break;
            }
        }
        return b;
    }

    // The carrier takes the round's first branch; the others take the
    // remaining scratch sequences in order.
    llama_seq_id next_sequence() const {
        const llama_seq_id n = static_cast<llama_seq_id>(slots_.size());
        if (carrier_ == 0) return n + 1;
        if (n == 0) return carrier_;
        return n < carrier_ ? n : n + 1;
    }

    // Gives every sequence of the round the tokens it builds on.
    void prepare_sequences() {
        for (llama_seq_id s = 1; s <= used_; ++s)
            if (s != carrier_) llama_memory_seq_rm(memory_, s, -1, -1);
        for (const branch_slot &slot : slots_) {
            if (slot.seq == carrier_) continue;
            if (slot.held != no_node)
                llama_memory_seq_cp(memory_, carrier_, slot.seq, 0,
                                    static_cast<llama_pos>(forest_.nodes[slot.held].position + 1));
            else if (runtime_.has_shared_prefix)
                llama_memory_seq_cp(memory_, 0, slot.seq, 0, -1);
        }
        if (carrier_ != 0) {
            const branch_slot &first = slots_.front();
            if (first.held != no_node) {
                llama_memory_seq_rm(memory_, carrier_,
                                    static_cast<llama_pos>(forest_.nodes[first.held].position + 1), -1);
            } else {
                llama_memory_seq_rm(memory_, carrier_, -1, -1);
                if (runtime_.has_shared_prefix) llama_memory_seq_cp(memory_, 0, carrier_, 0, -1);
            }
        }
        for (const branch_slot &slot : slots_) used_ = std::max(used_, slot.seq);
        carrier_ = slots_.back().seq;
    }

    outcome run_round() {
        prepare_sequences();
        for (std::size_t start = 0; start < tokens_.size(); start += limit_) {
            const std::size_t count = std::min(limit_, tokens_.size() - start);
            batch_.n_tokens = static_cast<std::int32_t>(count);
            for (std::size_t k = 0; k < count; ++k) {
                const forest_node &node = forest_.nodes[tokens_[start + k]];
                const std::vector<llama_seq_id> &seqs = token_seqs_[start + k];
                batch_.token[k] = node.token;
                batch_.pos[k] = static_cast<llama_pos>(node.position);
                batch_.n_seq_id[k] = static_cast<std::int32_t>(seqs.size());
                std::copy(seqs.begin(), seqs.end(), batch_.seq_id[k]);
                batch_.logits[k] = node.wants_row ? 1 : 0;
            }
            if (llama_decode(runtime_.ctx, batch_) != 0)
                return "llama_decode failed while scoring sequence batch";
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t node = tokens_[start + k];
                if (!forest_.nodes[node].wants_row) continue;
                const float *row = llama_get_logits_ith(runtime_.ctx, static_cast<std::int32_t>(k));
                if (row == nullptr)
                    return "llama_get_logits_ith returned null while scoring sequence batch";
                if (outcome failure = score_children(forest_, node, row, n_vocab_, request_))
                    return failure;
            }
        }
        return ok;
    }

    vl_llama_runtime &runtime_;
    llama_memory_t memory_;
    sequence_forest &forest_;
    const batch_request &request_;
    std::int32_t n_vocab_;
    std::size_t prefix_;
    std::size_t limit_;
    llama_seq_id sequences_;   // scratch sequences 1 .. sequences_
    std::vector<std::size_t> round_of_;    // per node: the round that decodes it
    std::vector<std::size_t> slot_;        // per node: its index among its round's tokens
    std::size_t round_ = 0;
    llama_seq_id carrier_ = 0;  // 0: none yet
    llama_seq_id used_ = 0;     // highest scratch sequence used so far
    std::vector<std::size_t> tokens_;                      // this round, in decode order
    std::vector<std::vector<llama_seq_id>> token_seqs_;    // per token of the round
    std::vector<branch_slot> slots_;
    llama_batch batch_{};
    bool has_batch_ = false;
};

outcome score_sequence_batch(vl_llama_runtime *runtime, const batch_request &request) {
    std::int32_t n_vocab = 0;
    if (outcome failure = check_request(runtime, request, n_vocab)) return failure;
    llama_memory_t memory = llama_get_memory(runtime->ctx);

    // Without a retained prefix nothing in the memory is worth keeping, and
    // the whole window is the batch's.
    if (!runtime->has_shared_prefix) clear_memory_and_reset(*runtime, memory);
    const llama_seq_id last_scratch = static_cast<llama_seq_id>(runtime->n_seq_max - 1);
    scratch_sequences scratch(memory, 1, last_scratch);

    const std::size_t n_candidates = request.task_offsets[request.task_count];
    std::fill(request.out_scores, request.out_scores + n_candidates,
              -std::numeric_limits<float>::infinity());
    if (request.out_greedy != nullptr)
        std::fill(request.out_greedy, request.out_greedy + n_candidates, std::uint8_t{0});

    sequence_forest forest;
    build_sequence_forest(request.context_tokens, request.context_offsets, request.sequence_tokens,
                          request.sequence_offsets, request.task_offsets, request.task_count,
                          runtime->has_shared_prefix ? runtime->shared_prefix_len : 0, forest);

    // Tasks with an empty context score their first tokens from the kept row.
    for (std::size_t t = 0; t < request.task_count; ++t) {
        const std::size_t root = forest.task_root[t];
        if (!forest.nodes[root].kept_row) continue;
        if (runtime->shared_logits.size() != static_cast<std::size_t>(n_vocab))
            return "root vocabulary logits have the wrong size";
        if (outcome failure =
                score_children(forest, root, runtime->shared_logits.data(), n_vocab, request))
            return failure;
    }

    round_decoder decoder(*runtime, memory, forest, request, n_vocab);
    if (outcome failure = decoder.run()) return failure;
    for (std::size_t i = 0; i < n_candidates; ++i)
        if (!is_finite(request.out_scores[i])) return "candidate sequence did not receive a finite score";
    return ok;
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int32_t vl_llama_score_sequence_batch(
    vl_llama_runtime *runtime, const uint32_t *context_tokens, const size_t *context_offsets,
    const uint32_t *sequence_tokens, const size_t *sequence_offsets, const size_t *task_offsets,
    size_t task_count, float *out_scores, uint8_t *out_greedy, char *err, size_t err_cap) {
    return vl::status_export(err, err_cap, [&] {
        const vl::batch_request request{context_tokens,   context_offsets, sequence_tokens,
                                        sequence_offsets, task_offsets,    task_count,
                                        out_scores,       out_greedy};
        return vl::score_sequence_batch(runtime, request);
    });
}
