#include "kld/base_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vl_eval {
namespace {

constexpr char magic[8] = {'_', 'l', 'o', 'g', 'i', 't', 's', '_'};
constexpr std::uint64_t header_bytes = sizeof magic + 3 * 4;

std::string os_error(const std::string &path, const std::string &what) {
    return path + ": " + what + ": " + std::strerror(errno);
}

// llama-perplexity's rounding: the float's mantissa after adding 1.5 * 2^23,
// which rounds half to even for |x| < 2^22.
int nearest_int(float x) {
    float shifted = x + 12582912.f;
    std::int32_t bits = 0;
    std::memcpy(&bits, &shifted, sizeof bits);
    return (bits & 0x007fffff) - 0x00400000;
}

std::uint64_t row_bytes(const base_header &h) {
    return base_row_values(static_cast<std::size_t>(h.n_vocab)) * sizeof(std::uint16_t);
}

}  // namespace

base_row view_base_row(const std::uint16_t *stored) {
    base_row row;
    std::memcpy(&row.scale, stored, sizeof(float));
    std::memcpy(&row.min_log_prob, stored + 2, sizeof(float));
    row.values = stored + 4;
    return row;
}

void quantize_base_row(const float *row, std::size_t n_vocab, std::uint16_t *stored) {
    float max_logit = row[0], min_logit = row[0];
    for (std::size_t i = 1; i < n_vocab; ++i) {
        max_logit = std::max(max_logit, row[i]);
        min_logit = std::min(min_logit, row[i]);
    }
    min_logit = std::max(min_logit, max_logit - 16);
    double sum_exp = 0.0;
    for (std::size_t i = 0; i < n_vocab; ++i) sum_exp += std::exp(row[i] - max_logit);
    const float log_sum_exp = static_cast<float>(std::log(sum_exp));
    const float min_log_prob = min_logit - max_logit - log_sum_exp;
    const float scale = (max_logit - min_logit) / 65535.f;
    std::memcpy(stored, &scale, sizeof scale);
    std::memcpy(stored + 2, &min_log_prob, sizeof min_log_prob);
    std::uint16_t *values = stored + 4;
    std::fill(values, stored + base_row_values(n_vocab), std::uint16_t{0});
    if (scale == 0) return;
    const float inv_scale = 1 / scale;
    for (std::size_t i = 0; i < n_vocab; ++i)
        if (row[i] > min_logit) values[i] = static_cast<std::uint16_t>(nearest_int(inv_scale * (row[i] - min_logit)));
}

std::uint64_t base_chunk_offset(const base_header &h, std::size_t c) {
    const std::uint64_t tokens = static_cast<std::uint64_t>(h.n_ctx) * static_cast<std::uint64_t>(h.n_chunk);
    return header_bytes + tokens * 4 + c * base_rows_per_chunk(h.n_ctx) * row_bytes(h);
}

std::string base_reader::open(const std::string &path) {
    path_ = path;
    file_.reset(std::fopen(path.c_str(), "rb"));
    if (!file_) return os_error(path, "cannot open the base file");
    char m[8];
    std::uint8_t fields[12];
    if (std::fread(m, 1, 8, file_.get()) != 8 || std::memcmp(m, magic, 8) != 0)
        return path + ": not a base file of llama-perplexity --kl-divergence-base (no \"_logits_\" at its start)";
    if (std::fread(fields, 1, 12, file_.get()) != 12) return path + ": the base file ends inside its header";
    std::memcpy(&header_.n_ctx, fields, 4);
    std::memcpy(&header_.n_vocab, fields + 4, 4);
    std::memcpy(&header_.n_chunk, fields + 8, 4);
    if (header_.n_ctx < 3 || header_.n_ctx > (1u << 24))
        return path + ": a chunk size of " + std::to_string(header_.n_ctx) + " tokens in its header";
    if (header_.n_vocab <= 0) return path + ": a vocabulary of " + std::to_string(header_.n_vocab) + " tokens in its header";
    if (header_.n_chunk <= 0) return path + ": " + std::to_string(header_.n_chunk) + " chunks in its header";

    // The size the header promises, before anything that large is read.
    if (std::fseek(file_.get(), 0, SEEK_END) != 0) return os_error(path, "cannot read the base file");
    const long end = std::ftell(file_.get());
    if (end < 0) return os_error(path, "cannot read the base file");
    const std::uint64_t expected = base_chunk_offset(header_, static_cast<std::size_t>(header_.n_chunk));
    const std::uint64_t size = static_cast<std::uint64_t>(end);
    if (size < expected)
        return path + ": truncated: " + std::to_string(size) + " bytes where its header promises " +
               std::to_string(expected) + " (" + std::to_string(header_.n_chunk) + " chunks of " +
               std::to_string(header_.n_ctx) + " tokens, a vocabulary of " + std::to_string(header_.n_vocab) + ")";
    if (size > expected)
        return path + ": " + std::to_string(size - expected) + " bytes more than its header promises";
    if (std::fseek(file_.get(), static_cast<long>(header_bytes), SEEK_SET) != 0)
        return os_error(path, "cannot read the base file");

    const std::size_t n_tokens = static_cast<std::size_t>(header_.n_ctx) * static_cast<std::size_t>(header_.n_chunk);
    std::vector<std::int32_t> raw(n_tokens);
    if (std::fread(raw.data(), 4, n_tokens, file_.get()) != n_tokens) return os_error(path, "cannot read the tokens");
    tokens_.resize(n_tokens);
    for (std::size_t i = 0; i < n_tokens; ++i) {
        if (raw[i] < 0 || raw[i] >= header_.n_vocab)
            return path + ": token " + std::to_string(i) + " is " + std::to_string(raw[i]) +
                   ", outside its vocabulary of " + std::to_string(header_.n_vocab);
        tokens_[i] = static_cast<std::uint32_t>(raw[i]);
    }
    return {};
}

std::string base_reader::seek_chunk(std::size_t c) {
    if (std::fseek(file_.get(), static_cast<long>(base_chunk_offset(header_, c)), SEEK_SET) != 0)
        return os_error(path_, "cannot read the base file");
    return {};
}

std::string base_reader::read_rows(std::size_t c, std::size_t count, std::vector<std::uint16_t> &rows) {
    const std::size_t n = count * base_row_values(static_cast<std::size_t>(header_.n_vocab));
    rows.resize(n);
    if (std::fread(rows.data(), 2, n, file_.get()) != n)
        return path_ + ": cannot read the rows of chunk " + std::to_string(c + 1) +
               (std::ferror(file_.get()) ? std::string(": ") + std::strerror(errno) : std::string(": the file ends"));
    return {};
}

namespace {

std::string write_all(std::FILE *f, const void *data, std::size_t bytes, const std::string &path) {
    if (std::fwrite(data, 1, bytes, f) != bytes) return os_error(path, "cannot write the base file");
    return {};
}

// The header and tokens as the file holds them.
std::vector<std::uint8_t> head_bytes(const base_header &h, const std::vector<std::uint32_t> &tokens) {
    std::vector<std::uint8_t> out(header_bytes + tokens.size() * 4);
    std::memcpy(out.data(), magic, 8);
    std::memcpy(out.data() + 8, &h.n_ctx, 4);
    std::memcpy(out.data() + 12, &h.n_vocab, 4);
    std::memcpy(out.data() + 16, &h.n_chunk, 4);
    std::memcpy(out.data() + header_bytes, tokens.data(), tokens.size() * 4);
    return out;
}

}  // namespace

std::string base_writer::create(const std::string &path, const base_header &header,
                                const std::vector<std::uint32_t> &tokens) {
    path_ = path;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == EEXIST) return path + ": the file exists; continue it with --resume or remove it";
        return os_error(path, "cannot create the base file");
    }
    file_.reset(::fdopen(fd, "wb"));
    if (!file_) {
        ::close(fd);
        return os_error(path, "cannot create the base file");
    }
    const std::vector<std::uint8_t> head = head_bytes(header, tokens);
    if (std::string e = write_all(file_.get(), head.data(), head.size(), path); !e.empty()) return e;
    if (std::fflush(file_.get()) != 0) return os_error(path, "cannot write the base file");
    return {};
}

std::string base_writer::resume(const std::string &path, const base_header &header,
                                const std::vector<std::uint32_t> &tokens, std::size_t &done) {
    path_ = path;
    // The header and tokens must be these, and the rows of the chunks done
    // there in full; what follows them (a chunk cut short) goes.
    file_ptr in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        if (errno == ENOENT && (done == 0 || done == static_cast<std::size_t>(-1))) {
            done = 0;
            return create(path, header, tokens);
        }
        return os_error(path, "cannot open the base file to resume it");
    }
    const std::vector<std::uint8_t> want = head_bytes(header, tokens);
    std::vector<std::uint8_t> head(want.size());
    if (std::fread(head.data(), 1, head.size(), in.get()) != head.size() || head != want)
        return path + ": holds the base of another model, text, --ctx or --chunks; remove it or save elsewhere";
    if (std::fseek(in.get(), 0, SEEK_END) != 0) return os_error(path, "cannot resume the base file");
    const long end = std::ftell(in.get());
    if (end < 0) return os_error(path, "cannot resume the base file");
    if (done == static_cast<std::size_t>(-1)) {
        // As many whole chunks as it holds.
        const std::uint64_t chunk = base_chunk_offset(header, 1) - base_chunk_offset(header, 0);
        done = static_cast<std::size_t>((static_cast<std::uint64_t>(end) - base_chunk_offset(header, 0)) / chunk);
        done = std::min(done, static_cast<std::size_t>(header.n_chunk));
    }
    const std::uint64_t keep = base_chunk_offset(header, done);
    if (static_cast<std::uint64_t>(end) < keep)
        return path + ": holds fewer chunks than the results file; remove both or save elsewhere";
    in.reset();
    if (::truncate(path.c_str(), static_cast<off_t>(keep)) != 0) return os_error(path, "cannot resume the base file");
    file_.reset(std::fopen(path.c_str(), "ab"));
    if (!file_) return os_error(path, "cannot resume the base file");
    return {};
}

std::string base_writer::write_rows(const std::vector<std::uint16_t> &rows) {
    return write_all(file_.get(), rows.data(), rows.size() * 2, path_);
}

std::string base_writer::flush() {
    if (std::fflush(file_.get()) != 0) return os_error(path_, "cannot write the base file");
    return {};
}

}  // namespace vl_eval
