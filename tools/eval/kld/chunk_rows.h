// A chunk walked through one model a piece at a time: its tokens decoded
// from its start through the library, and the next-token distribution (a
// log-softmax row of n_vocab floats) after each counted position, positions
// n_ctx / 2 .. n_ctx - 2, handed out in pieces of at most `piece` rows, so
// that a host holds one piece's rows at a time whatever the chunk's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct vl_llama_runtime;

namespace vl_eval {

class chunk_rows {
public:
    // piece: the most tokens a decode takes, and so the most rows a piece
    // holds (at least 1).
    chunk_rows(vl_llama_runtime *runtime, std::size_t n_vocab, std::size_t piece);

    // Starts a chunk (its start token already put first), which must
    // outlive the walk; its first decode starts a new prefix. Returns an
    // error, empty on success.
    std::string start(const std::uint32_t *chunk, std::size_t n_ctx);

    // Decodes the next piece, a decode of at most `piece` tokens that ends
    // at a multiple of `piece` (where llama-perplexity's batches end), after
    // any that hold no counted position: on return rows() holds `count`
    // rows, of the positions from `position` on; count is 0 once the chunk
    // is done.
    std::string next(std::size_t &position, std::size_t &count);
    const float *rows() const { return rows_.data(); }

private:
    vl_llama_runtime *runtime_;
    std::size_t n_vocab_;
    std::size_t piece_;
    const std::uint32_t *chunk_ = nullptr;
    std::size_t n_ctx_ = 0;
    std::size_t decoded_ = 0;  // tokens of the chunk decoded so far
    std::vector<float> rows_;
};

}  // namespace vl_eval
