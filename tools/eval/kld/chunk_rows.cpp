#include "kld/chunk_rows.h"

#include <algorithm>

#include "vorlenta_llama_shim.h"

namespace vl_eval {
namespace {

std::string library_error(const char *err) { return err[0] != '\0' ? err : "out of memory"; }

}  // namespace

chunk_rows::chunk_rows(vl_llama_runtime *runtime, std::size_t n_vocab, std::size_t piece)
    : runtime_(runtime), n_vocab_(n_vocab), piece_(std::max<std::size_t>(piece, 1)) {}

std::string chunk_rows::start(const std::uint32_t *chunk, std::size_t n_ctx) {
    chunk_ = chunk;
    n_ctx_ = n_ctx;
    decoded_ = 0;
    return {};
}

std::string chunk_rows::next(std::size_t &position, std::size_t &count) {
    // The last token is never decoded: nothing it predicts is counted.
    const std::size_t end = n_ctx_ - 1, first = n_ctx_ / 2;
    char err[256] = "";
    while (decoded_ < end) {
        // Decodes end where llama-perplexity's batches end; the first starts
        // a new prefix at position 0.
        const std::size_t stop = std::min(end, (decoded_ / piece_ + 1) * piece_);
        const std::size_t n = stop - decoded_;
        const std::size_t rows_from = first > decoded_ ? first - decoded_ : 0;
        count = rows_from < n ? n - rows_from : 0;
        position = decoded_ + rows_from;
        rows_.resize(count * n_vocab_);
        if (vl_llama_extend_shared(runtime_, chunk_ + decoded_, n, decoded_ == 0 ? 1 : 0, rows_from,
                                   count ? rows_.data() : nullptr, rows_.size(), err, sizeof err) != 0)
            return library_error(err);
        decoded_ = stop;
        if (count > 0) return {};
    }
    position = end;
    count = 0;
    return {};
}

}  // namespace vl_eval
