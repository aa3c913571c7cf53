#include "generation/greedy_generation.h"

#include <algorithm>

#include "generation/greedy.h"
#include "runtime/capacity.h"
#include "scoring/token_ids.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

// Entries of the one batch the loop reuses: what one decode takes, and no
// more than the request can ever put into one.
std::int32_t batch_capacity(const vl_llama_runtime &runtime, const generation_request &r) {
    std::size_t most = 0;
    for (std::size_t i = 0; i < r.prompt_count; ++i)
        if (r.limit(i) != 0) most += r.prompt_length(i) + 1;
    most = std::min<std::size_t>({most, largest_decode(runtime, true), max_llama_int});
    return static_cast<std::int32_t>(std::max<std::size_t>(most, 1));
}

}  // namespace

greedy_generation::greedy_generation(vl_llama_runtime &runtime, llama_memory_t memory,
                                     const generation_request &request, std::int32_t n_vocab)
    : runtime_(runtime), memory_(memory), request_(request), n_vocab_(n_vocab),
      prefix_(runtime.has_shared_prefix ? runtime.shared_prefix_len : 0),
      decode_limit_(static_cast<std::size_t>(batch_capacity(runtime, request))),
      window_(runtime.n_ctx != 0 ? runtime.n_ctx : max_llama_int),
      batch_(static_cast<std::int32_t>(decode_limit_)) {
    for (std::size_t i = 0; i < request.prompt_count; ++i) {
        request.out_counts[i] = 0;
        request.out_reasons[i] = request.limit(i) == 0 ? VL_LLAMA_STOP_LIMIT : -1;
        if (request.limit(i) != 0) queue_.push_back(i);
    }
    slots_.resize(runtime.n_seq_max - 1);
}

// What every prompt that generates begins with, leaving each at least one
// token of its own so that its first row comes from its own decode.
std::size_t greedy_generation::shared_length() const {
    if (queue_.empty()) return 0;
    const std::uint32_t *first = request_.prompt_tokens + request_.prompt_offsets[queue_[0]];
    std::size_t shared = request_.prompt_length(queue_[0]);
    for (std::size_t i : queue_) {
        const std::size_t length = request_.prompt_length(i);
        if (length == 0) return 0;
        shared = std::min(shared, length - 1);
        const std::uint32_t *tokens = request_.prompt_tokens + request_.prompt_offsets[i];
        std::size_t k = 0;
        while (k < shared && tokens[k] == first[k]) ++k;
        shared = k;
    }
    return shared;
}

outcome greedy_generation::decode_shared() {
    const std::uint32_t *tokens = request_.prompt_tokens + request_.prompt_offsets[queue_[0]];
    for (std::size_t start = 0; start < shared_; start += decode_limit_) {
        const std::size_t count = std::min(decode_limit_, shared_ - start);
        llama_batch &b = batch_.get();
        b.n_tokens = static_cast<std::int32_t>(count);
        for (std::size_t k = 0; k < count; ++k)
            batch_.set(static_cast<std::int32_t>(k), static_cast<llama_token>(tokens[start + k]),
                       static_cast<llama_pos>(prefix_ + start + k), 0, false);
        if (llama_decode(runtime_.ctx, b) != 0) return "llama_decode failed while generating";
    }
    return ok;
}

void greedy_generation::finish(slot &s, std::int32_t reason) {
    request_.out_reasons[s.prompt] = reason;
    llama_memory_seq_rm(memory_, s.seq, -1, -1);
    free_cells_ += s.reserved;
    s.busy = false;
    s.has_pending = false;
    s.generated.clear();
}

// One token chosen for the slot's prompt: written, or the end.
outcome greedy_generation::take(slot &s, llama_token token) {
    if (llama_vocab_is_eog(runtime_.vocab, token)) {
        finish(s, VL_LLAMA_STOP_END_TOKEN);
        return ok;
    }
    const std::size_t i = s.prompt;
    request_.out_tokens[request_.out_offsets[i] + s.generated.size()] =
        static_cast<std::uint32_t>(token);
    s.generated.push_back(token);
    request_.out_counts[i] = s.generated.size();
    bool found = false;
    if (outcome failure = s.stops.check(s.generated, found)) return failure;
    if (found) {
        finish(s, VL_LLAMA_STOP_STRING);
    } else if (s.generated.size() == request_.limit(i)) {
        finish(s, VL_LLAMA_STOP_LIMIT);
    } else {
        s.pending = token;
        s.has_pending = true;
    }
    return ok;
}

// Starts queued prompts, in order, in free sequences while the window has
// room for all that each may come to hold.
outcome greedy_generation::admit() {
    for (slot &s : slots_) {
        if (s.busy) continue;
        if (next_ == queue_.size()) return ok;
        const std::size_t i = queue_[next_];
        const std::size_t own = request_.prompt_length(i) - shared_;
        const std::size_t need = own + request_.limit(i) - 1;
        if (need > free_cells_) return ok;
        ++next_;
        free_cells_ -= need;
        s = slot{};
        s.seq = static_cast<llama_seq_id>(&s - slots_.data() + 1);
        s.prompt = i;
        s.busy = true;
        s.reserved = need;
        s.stops = stop_matcher(runtime_.vocab, request_.stops(i));
        llama_memory_seq_rm(memory_, s.seq, -1, -1);
        if (prefix_ + shared_ != 0) llama_memory_seq_cp(memory_, 0, s.seq, -1, -1);
        if (own == 0) {
            // An empty prompt after the retained prefix: its first token
            // comes from the kept row.
            if (runtime_.shared_logits.size() != static_cast<std::size_t>(n_vocab_))
                return "root vocabulary logits have the wrong size";
            llama_token token = 0;
            if (outcome failure = greedy_token(runtime_.shared_logits.data(),
                                               runtime_.shared_logits.size(), token))
                return failure;
            if (outcome failure = take(s, token)) return failure;
        }
    }
    return ok;
}

// Lays out one step: every running prompt's last token first, then as much
// of the prompts still being read as the decode takes.
std::size_t greedy_generation::fill_batch() {
    rows_.clear();
    row_index_.clear();
    std::size_t n = 0;
    for (slot &s : slots_) {
        if (!s.busy || !s.has_pending || n == decode_limit_) continue;
        const std::size_t length = request_.prompt_length(s.prompt);
        const auto pos = static_cast<llama_pos>(prefix_ + length + s.generated.size() - 1);
        batch_.set(static_cast<std::int32_t>(n), s.pending, pos, s.seq, true);
        rows_.push_back(&s);
        row_index_.push_back(static_cast<std::int32_t>(n));
        ++n;
    }
    for (slot &s : slots_) {
        if (!s.busy || s.has_pending || !s.generated.empty()) continue;
        const std::size_t length = request_.prompt_length(s.prompt);
        const std::uint32_t *tokens = request_.prompt_tokens + request_.prompt_offsets[s.prompt];
        while (s.fed < length - shared_ && n < decode_limit_) {
            const std::size_t k = shared_ + s.fed;
            const bool last = k + 1 == length;
            batch_.set(static_cast<std::int32_t>(n), static_cast<llama_token>(tokens[k]),
                       static_cast<llama_pos>(prefix_ + k), s.seq, last);
            if (last) {
                rows_.push_back(&s);
                row_index_.push_back(static_cast<std::int32_t>(n));
            }
            ++s.fed;
            ++n;
        }
    }
    return n;
}

outcome greedy_generation::step() {
    const std::size_t n = fill_batch();
    if (n == 0) return "prompt and new-token limit do not fit the context window";
    llama_batch &b = batch_.get();
    b.n_tokens = static_cast<std::int32_t>(n);
    if (llama_decode(runtime_.ctx, b) != 0) return "llama_decode failed while generating";
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        const float *row = llama_get_logits_ith(runtime_.ctx, row_index_[r]);
        if (row == nullptr) return "llama_get_logits_ith returned null while generating";
        llama_token token = 0;
        if (outcome failure = greedy_token(row, static_cast<std::size_t>(n_vocab_), token))
            return failure;
        if (outcome failure = take(*rows_[r], token)) return failure;
    }
    return ok;
}

outcome greedy_generation::run() {
    if (queue_.empty()) return ok;
    shared_ = shared_length();
    free_cells_ = window_ - (prefix_ + shared_);
    if (outcome failure = decode_shared()) return failure;
    for (;;) {
        if (outcome failure = admit()) return failure;
        const bool running = std::any_of(slots_.begin(), slots_.end(),
                                         [](const slot &s) { return s.busy; });
        if (!running) {
            if (next_ == queue_.size()) return ok;
            continue;  // every prompt admitted finished at once; start the next
        }
        if (outcome failure = step()) return failure;
    }
}

}  // namespace vl
