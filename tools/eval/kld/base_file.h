// llama-perplexity's --kl-divergence-base file, read and written byte for
// byte as llama-perplexity does, so that a reference computed once by either
// program serves both:
//
//     char     magic[8]                "_logits_"
//     uint32   n_ctx                   tokens a chunk
//     int32    n_vocab
//     int32    n_chunk
//     int32    tokens[n_ctx * n_chunk] the text's tokens, the start token first
//                                      where the model adds one
//     then, chunk by chunk, for each position from n_ctx / 2 to n_ctx - 2 (the
//     positions whose next token is counted), the reference's log-softmax row
//     quantized to 16 bits: float scale, float min_log_prob, then n_vocab
//     uint16 values, padded with zeros to an even count; a value q stands for
//     the log-probability scale * q + min_log_prob, and 0 for anything at or
//     below min_log_prob (at most 16 below the row's largest).
//
// Little-endian, as both programs write it on the machines they run on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vl_eval {

struct base_header {
    std::uint32_t n_ctx = 0;
    std::int32_t n_vocab = 0;
    std::int32_t n_chunk = 0;
};

// uint16 values of one stored row: two floats' worth, then the vocabulary
// padded to an even count.
inline std::size_t base_row_values(std::size_t n_vocab) { return 2 * ((n_vocab + 1) / 2) + 4; }

// Positions a chunk of n_ctx tokens stores: n_ctx / 2 .. n_ctx - 2.
inline std::size_t base_rows_per_chunk(std::size_t n_ctx) { return n_ctx - 1 - n_ctx / 2; }

// One stored row, read in place.
struct base_row {
    float scale = 0;
    float min_log_prob = 0;
    const std::uint16_t *values = nullptr;  // n_vocab of them
    float log_prob(std::size_t i) const { return scale * values[i] + min_log_prob; }
};
base_row view_base_row(const std::uint16_t *stored);

// Quantizes a log-softmax row into a stored row (base_row_values entries),
// with llama-perplexity's rule: the floor is the smallest entry but at most
// 16 below the largest, 65535 steps from the floor to the largest, each
// entry rounded to the nearest step (half to even).
void quantize_base_row(const float *log_probs, std::size_t n_vocab, std::uint16_t *stored);

struct file_closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Reads a base file chunk by chunk. Every error names the file.
class base_reader {
public:
    // Opens path and reads its header and tokens; checks the magic, the
    // sizes and that the file holds exactly n_chunk chunks of rows.
    std::string open(const std::string &path);
    const base_header &header() const { return header_; }
    const std::vector<std::uint32_t> &tokens() const { return tokens_; }
    // Goes to the start of chunk c's rows.
    std::string seek_chunk(std::size_t c);
    // The next count stored rows (base_row_values entries each) in file
    // order; c names the chunk in messages.
    std::string read_rows(std::size_t c, std::size_t count, std::vector<std::uint16_t> &rows);

private:
    std::string path_;
    file_ptr file_;
    base_header header_;
    std::vector<std::uint32_t> tokens_;
};

// Writes a base file chunk by chunk, each chunk flushed as it is written.
class base_writer {
public:
    // Creates path (a new file) and writes the header and tokens; or, to
    // resume, opens an existing file whose header and tokens are these,
    // keeps its first `done` chunks and cuts what follows them (with done
    // left as max(), keeps every whole chunk it holds and sets done to their
    // number).
    std::string create(const std::string &path, const base_header &header,
                       const std::vector<std::uint32_t> &tokens);
    std::string resume(const std::string &path, const base_header &header,
                       const std::vector<std::uint32_t> &tokens, std::size_t &done);
    // Appends stored rows; flush() hands them to the system (after each chunk).
    std::string write_rows(const std::vector<std::uint16_t> &rows);
    std::string flush();

private:
    std::string path_;
    file_ptr file_;
};

// Bytes of a base file of this header: where chunk c's rows begin.
std::uint64_t base_chunk_offset(const base_header &header, std::size_t c);

}  // namespace vl_eval
