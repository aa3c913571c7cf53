// The perplexity of a token stream as llama-perplexity computes it: chunks of
// n_ctx tokens, each scored from its start (its first token replaced by the
// start token where the vocabulary adds one), the log-probabilities of the
// tokens after the chunk's first half counted. A chunk is one sequence of
// vl_llama_score_tokens, its first half and the token after it context only:
// each chunk token is decoded once and read once, so that memory and time
// grow linearly with the window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct vl_llama_runtime;

namespace vl_eval {

// How a token stream is cut into chunks.
struct chunk_layout {
    std::size_t n_ctx = 0;       // tokens a chunk
    std::int64_t bos = -1;       // start token put first in every chunk; -1: none
    std::size_t first() const { return n_ctx / 2; }
    // Tokens counted in each chunk: those predicted from positions
    // first() .. n_ctx - 2.
    std::size_t counted() const { return n_ctx - 1 - first(); }
};

// One chunk's share of the sums.
struct chunk_result {
    std::size_t chunk = 0;
    std::size_t count = 0;  // tokens counted
    double nll = 0;         // sum of -log p over the counted tokens
    double nll2 = 0;        // sum of their squares
};

// The arguments of vl_llama_score_tokens for chunks [begin, end): one
// sequence a chunk.
struct chunk_sequences {
    std::vector<std::uint32_t> tokens;
    std::vector<std::size_t> offsets{0};
    std::vector<std::size_t> context_counts;
};
chunk_sequences chunk_tasks(const std::vector<std::uint32_t> &tokens, const chunk_layout &layout,
                            std::size_t begin, std::size_t end);

// Scores chunks [begin, end) of tokens in one call of the library and
// appends their results in order. Returns an error, empty on success.
std::string score_chunks(vl_llama_runtime *runtime, const std::vector<std::uint32_t> &tokens,
                         const chunk_layout &layout, std::size_t begin, std::size_t end,
                         std::vector<chunk_result> &out);

// Running sums over chunks in order, and llama-perplexity's estimate.
struct perplexity_sums {
    double nll = 0;
    double nll2 = 0;
    std::uint64_t count = 0;
    void add(const chunk_result &r);
    // exp(mean nll): the running value printed after each chunk.
    double perplexity() const;
    // sqrt(var / (count - 1)) * perplexity, with var the variance of the
    // per-token nll; NaN below two tokens or when rounding leaves no
    // positive variance.
    double uncertainty() const;
};

}  // namespace vl_eval
