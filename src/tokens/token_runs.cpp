#include "tokens/token_runs.h"

#include <algorithm>

#include "runtime/capacity.h"
#include "scoring/batch.h"
#include "scoring/token_ids.h"
#include "sequences/row_summary.h"

namespace vl {
namespace {

// A run being decoded: its scratch sequence and the next token to decode.
struct active_run {
    std::size_t run;
    llama_seq_id seq;
    std::size_t next;
    std::size_t end;  // tokens 0 .. end - 1 are decoded
};

// Which token of which run each entry of the current decode holds.
struct batch_entry {
    std::size_t run;
    std::size_t k;
};

class token_decoder {
public:
    token_decoder(vl_llama_runtime &runtime, llama_memory_t memory,
                  const std::vector<token_run> &runs, std::int32_t n_vocab)
        : runtime_(runtime), memory_(memory), runs_(runs), n_vocab_(n_vocab),
          prefix_(runtime.has_shared_prefix ? runtime.shared_prefix_len : 0),
          window_(runtime.n_ctx == 0 ? unlimited : runtime.n_ctx - prefix_) {
        // Lowest sequence ids first.
        for (llama_seq_id s = static_cast<llama_seq_id>(runtime.n_seq_max - 1); s >= 1; --s)
            free_.push_back(s);
    }

    outcome run() {
        std::size_t total = 0;
        for (const token_run &run : runs_) total += decoded_tokens(run);
        if (total == 0) return ok;
        capacity_ = std::min<std::size_t>({largest_decode(runtime_, true), total, max_llama_int});
        batch_owner batch(static_cast<std::int32_t>(capacity_));
        std::size_t next = 0;
        while (next < runs_.size() || !active_.empty()) {
            entries_.clear();
            llama_batch &b = batch.get();
            b.n_tokens = 0;
            for (active_run &a : active_) add_tokens(batch, a);
            // Start runs while the decode has room, a sequence is free and the
            // window holds the started runs whole, so that each can finish.
            while (next < runs_.size() && entries_.size() < capacity_ && !free_.empty()) {
                const std::size_t need = decoded_tokens(runs_[next]);
                if (need == 0) {
                    ++next;
                    continue;
                }
                if (reserved_ + need > window_) break;
                start(batch, next++, need);
            }
            if (entries_.empty()) continue;  // only runs with nothing to decode were left
            if (llama_decode(runtime_.ctx, b) != 0) return "llama_decode failed while scoring tokens";
            if (outcome failure = score_rows(b)) return failure;
            finish_done();
        }
        return ok;
    }

private:
    void start(batch_owner &batch, std::size_t run, std::size_t need) {
        const llama_seq_id seq = free_.back();
        free_.pop_back();
        if (runtime_.has_shared_prefix) llama_memory_seq_cp(memory_, 0, seq, 0, -1);
        active_.push_back(active_run{run, seq, 0, need});
        reserved_ += need;
        add_tokens(batch, active_.back());
    }

    void add_tokens(batch_owner &batch, active_run &a) {
        const token_run &run = runs_[a.run];
        llama_batch &b = batch.get();
        while (a.next < a.end && entries_.size() < capacity_) {
            const std::size_t k = a.next++;
            // The row after token k scores token k + 1.
            batch.set(b.n_tokens++, static_cast<llama_token>(run.tokens[k]),
                      static_cast<llama_pos>(prefix_ + k), a.seq, k + 1 >= run.first_scored);
            entries_.push_back(batch_entry{a.run, k});
        }
    }

    outcome score_rows(const llama_batch &b) {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (b.logits[i] == 0) continue;
            const float *row = llama_get_logits_ith(runtime_.ctx, static_cast<std::int32_t>(i));
            if (row == nullptr) return "llama_get_logits_ith returned null while scoring tokens";
            if (outcome failure = score_token(row, n_vocab_, runs_[entries_[i].run], entries_[i].k + 1))
                return failure;
        }
        return ok;
    }

    // Keeps the runs that are done in memory until every started run is, then
    // removes them all. Freeing a done run's cells while others continue
    // would let their next tokens fill those lower cells, out of position
    // order, and llama.cpp's attention then rounds differently from the same
    // tokens decoded alone.
    void finish_done() {
        std::size_t kept = 0;
        for (const active_run &a : active_) {
            if (a.next < a.end) {
                active_[kept++] = a;
                continue;
            }
            done_.push_back(a.seq);
        }
        active_.resize(kept);
        if (!active_.empty()) return;
        for (llama_seq_id seq : done_) {
            llama_memory_seq_rm(memory_, seq, -1, -1);
            free_.push_back(seq);
        }
        done_.clear();
        reserved_ = 0;
    }

    vl_llama_runtime &runtime_;
    llama_memory_t memory_;
    const std::vector<token_run> &runs_;
    std::int32_t n_vocab_;
    std::size_t prefix_;
    std::size_t window_;          // cells the runs may hold together
    std::size_t capacity_ = 0;    // tokens a decode
    std::size_t reserved_ = 0;    // cells the started runs hold when done
    std::vector<llama_seq_id> free_;
    std::vector<active_run> active_;
    std::vector<llama_seq_id> done_;  // done, removed once no run is active
    std::vector<batch_entry> entries_;
};

}  // namespace

outcome score_token(const float *row, std::int32_t n_vocab, const token_run &run, std::size_t k) {
    float normaliser = 0.0f;
    std::size_t argmax = 0;
    if (outcome failure = vocab_row_summary(row, static_cast<std::size_t>(n_vocab), normaliser, argmax))
        return failure;
    const std::uint32_t token = run.tokens[k];
    run.log_probs[k] = row[token] - normaliser;
    if (run.greedy != nullptr) run.greedy[k] = argmax == token ? 1 : 0;
    return ok;
}

outcome decode_token_runs(vl_llama_runtime &runtime, llama_memory_t memory,
                          const std::vector<token_run> &runs, std::int32_t n_vocab) {
    token_decoder decoder(runtime, memory, runs, n_vocab);
    return decoder.run();
}

}  // namespace vl
