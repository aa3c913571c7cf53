#include "kld/kld.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "console/failure.h"
#include "console/interrupt.h"
#include "kld/chunk_rows.h"
#include "kld/base_file.h"
#include "kld/records.h"
#include "kld/statistics.h"
#include "model/model_runtime.h"
#include "model/rpc_workers.h"
#include "model/tokens.h"
#include "perplexity/chunk_bar.h"
#include "perplexity/chunks.h"
#include "results/results_writer.h"
#include "results/run_identity.h"
#include "tasks/whole_file.h"
#include "vorlenta_llama_shim.h"

namespace vl_eval {
namespace {

int stop(const std::string &message) { return fail(message, "vl-eval kld"); }

// Options that do not go together: a usage error, exit status 2.
int usage(const std::string &message) { return usage_error(message, "vl-eval kld"); }

// n_gpu_layers that offloads every layer of any model.
constexpr int32_t all_layers = 1000000;

// A model file and its runtime.
struct model {
    std::string path;
    runtime_ptr runtime;
    std::size_t n_vocab = 0;
    explicit operator bool() const { return runtime != nullptr; }
};

std::string open_model(const std::string &path, int32_t gpu_layers, bool exact, model &m) {
    m.path = path;
    if (std::string e = open_for_tokenizing(path, gpu_layers, exact, m.runtime); !e.empty()) return e;
    m.n_vocab = static_cast<std::size_t>(vl_llama_model_info(m.runtime.get(), VL_LLAMA_INFO_N_VOCAB));
    return {};
}

// What the chunks are made of: the tokens (the text's, or the base file's)
// and how they are cut.
struct chunk_source {
    std::vector<std::uint32_t> tokens;
    chunk_layout layout;
    std::size_t n_chunks = 0;
    std::string text_hash;          // of the text, or of the base file's header and tokens
    std::uint64_t text_bytes = 0;
};

// The text's tokens under a model, read once per run.
std::string tokenize_text(const std::string &path, const std::string &text, const model &m,
                          std::vector<std::uint32_t> &tokens) {
    if (std::string e = tokenize_raw(m.runtime.get(), text, tokens); !e.empty())
        return path + ": cannot tokenize with " + m.path + ": " + e;
    return {};
}

std::string read_source(const kld_options &o, const model &compared, const model &reference, base_reader &base,
                        chunk_source &src) {
    const model &tokenizer = reference ? reference : compared;
    std::string text;
    if (!o.text.empty()) {
        if (std::string error; !read_whole_file(o.text, text, error)) return error;
        if (text.size() > INT32_MAX / 2) return o.text + ": too large to tokenize in one piece";
    }
    if (!o.base.empty()) {
        if (std::string e = base.open(o.base); !e.empty()) return e;
        const base_header &h = base.header();
        if (static_cast<std::size_t>(h.n_vocab) != compared.n_vocab)
            return o.base + ": made with a vocabulary of " + std::to_string(h.n_vocab) + " tokens; " +
                   compared.path + " has " + std::to_string(compared.n_vocab);
        if (o.ctx != 0 && static_cast<std::uint32_t>(o.ctx) != h.n_ctx)
            return o.base + ": holds chunks of " + std::to_string(h.n_ctx) + " tokens, not of --ctx " +
                   std::to_string(o.ctx);
        src.tokens = base.tokens();
        src.layout.n_ctx = h.n_ctx;
        src.n_chunks = static_cast<std::size_t>(h.n_chunk);
        if (!o.text.empty()) {
            std::vector<std::uint32_t> mine;
            if (std::string e = tokenize_text(o.text, text, compared, mine); !e.empty()) return e;
            mine.resize(std::min(mine.size(), src.tokens.size()));
            if (mine != src.tokens)
                return o.base + ": its tokens are not those of " + o.text + " under " + compared.path +
                       "'s vocabulary (a base file of another text or model)";
        }
        src.text_hash = hash_text(std::string(reinterpret_cast<const char *>(src.tokens.data()),
                                              src.tokens.size() * 4) +
                                  std::to_string(h.n_ctx) + "/" + std::to_string(h.n_vocab) + "/" +
                                  std::to_string(h.n_chunk));
        src.text_bytes = base_chunk_offset(h, static_cast<std::size_t>(h.n_chunk));
    } else {
        src.layout.n_ctx = o.ctx != 0 ? static_cast<std::size_t>(o.ctx) : 512;
        if (std::string e = tokenize_text(o.text, text, tokenizer, src.tokens); !e.empty()) return e;
        if (compared && reference) {
            if (compared.n_vocab != reference.n_vocab)
                return reference.path + ": a vocabulary of " + std::to_string(reference.n_vocab) + " tokens; " +
                       compared.path + " has " + std::to_string(compared.n_vocab);
            std::vector<std::uint32_t> theirs;
            if (std::string e = tokenize_text(o.text, text, compared, theirs); !e.empty()) return e;
            if (theirs != src.tokens)
                return o.text + ": " + compared.path + " tokenizes it otherwise than " + reference.path +
                       " (models of different vocabularies)";
        }
        if (src.tokens.size() < src.layout.n_ctx)
            return o.text + ": " + std::to_string(src.tokens.size()) + " tokens; a chunk of --ctx " +
                   std::to_string(src.layout.n_ctx) + " needs at least " + std::to_string(src.layout.n_ctx);
        src.n_chunks = src.tokens.size() / src.layout.n_ctx;
        src.text_hash = hash_text(text);
        src.text_bytes = text.size();
    }
    if (o.chunks > 0) src.n_chunks = std::min(src.n_chunks, static_cast<std::size_t>(o.chunks));
    if (const int64_t start = vl_llama_model_info(tokenizer.runtime.get(), VL_LLAMA_INFO_START_TOKEN); start >= 0)
        src.layout.bos = start;
    return {};
}

// What decides the values: the model and the reference (by content) or the
// base file (by its header and tokens), the text and the chunk size.
std::string identify_run(const kld_options &o, model &compared, model &reference, const chunk_source &src,
                         evaluation_header &header) {
    nlohmann::ordered_json s;
    s["command"] = "kld";
    for (model *m : {&compared, &reference}) {
        if (!*m) continue;
        const std::string key = m == &compared ? "model" : "reference";
        s[key] = model_description(m->runtime.get());
        std::string hash;
        std::uint64_t bytes = 0;
        if (std::string e = hash_file(m->path, hash, bytes); !e.empty()) return e;
        s[key + "_xxh3"] = hash;
        s[key + "_bytes"] = bytes;
    }
    s[o.base.empty() ? "text_xxh3" : "base_xxh3"] = src.text_hash;
    s[o.base.empty() ? "text_bytes" : "base_bytes"] = src.text_bytes;
    s["ctx"] = src.layout.n_ctx;
    describe_compute(o.exact, s);
    header = identify(std::move(s));
    return {};
}

std::string size_for_chunks(const kld_options &o, const chunk_source &src, model &m) {
    const int threads =
        o.threads > 0 ? o.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    vl_llama_config config = {};
    config.n_ctx = static_cast<int32_t>(src.layout.n_ctx);
    config.n_batch = std::min(o.batch, config.n_ctx);
    config.n_seq_max = 2;
    config.n_threads = threads;
    config.n_threads_batch = threads;
    return resize_runtime(m.path, config, m.runtime.get());
}

// One chunk through both models (or the model and the base file), position
// by position; stored rows of the reference go to the base file too.
class chunk_comparison {
public:
    chunk_comparison(const kld_options &o, const chunk_source &src, model &compared, model &reference,
                     base_reader *base, base_writer *save)
        : src_(src), compared_(compared), reference_(reference), base_(base), save_(save),
          n_vocab_(reference ? reference.n_vocab : compared.n_vocab),
          piece_(static_cast<std::size_t>(std::min<int>(o.batch, static_cast<int>(src.layout.n_ctx)))),
          compared_rows_(compared ? compared.runtime.get() : nullptr, n_vocab_, piece_),
          reference_rows_(reference ? reference.runtime.get() : nullptr, n_vocab_, piece_) {}

    // Compares chunk c (or, without a model, only stores the reference's
    // rows and sums its log-likelihood into nll).
    std::string run(std::size_t c, kld_chunk &out, double &nll) {
        out = kld_chunk{};
        out.chunk = c;
        const std::size_t n_ctx = src_.layout.n_ctx;
        chunk_.assign(src_.tokens.begin() + static_cast<long>(c * n_ctx),
                      src_.tokens.begin() + static_cast<long>((c + 1) * n_ctx));
        if (src_.layout.bos >= 0) chunk_[0] = static_cast<std::uint32_t>(src_.layout.bos);
        if (compared_) {
            if (std::string e = compared_rows_.start(chunk_.data(), n_ctx); !e.empty()) return where(c, compared_, e);
        }
        if (reference_) {
            if (std::string e = reference_rows_.start(chunk_.data(), n_ctx); !e.empty())
                return where(c, reference_, e);
        } else if (std::string e = base_->seek_chunk(c); !e.empty()) {
            return e;
        }
        const std::size_t stored = base_row_values(n_vocab_);
        for (;;) {
            std::size_t position = 0, count = 0;
            if (reference_) {
                if (std::string e = reference_rows_.next(position, count); !e.empty()) return where(c, reference_, e);
                stored_.resize(count * stored);
                for (std::size_t j = 0; j < count; ++j) {
                    const float *row = reference_rows_.rows() + j * n_vocab_;
                    quantize_base_row(row, n_vocab_, stored_.data() + j * stored);
                    nll -= row[chunk_[position + j + 1]];
                }
                if (save_ != nullptr)
                    if (std::string e = save_->write_rows(stored_); !e.empty()) return e;
            }
            if (!compared_) {
                if (count == 0) break;
                continue;
            }
            std::size_t at = 0, n = 0;
            if (std::string e = compared_rows_.next(at, n); !e.empty()) return where(c, compared_, e);
            if (!reference_) {
                if (std::string e = base_->read_rows(c, n, stored_); !e.empty()) return e;
            } else if (at != position || n != count) {
                return "the reference and the model walked chunk " + std::to_string(c + 1) + " apart";
            }
            if (n == 0) break;
            for (std::size_t j = 0; j < n; ++j) {
                float kld = 0, p_diff = 0;
                compare_position(compared_rows_.rows() + j * n_vocab_, view_base_row(stored_.data() + j * stored),
                                 n_vocab_, chunk_[at + j + 1], out.sums, kld, p_diff);
                out.kld.push_back(kld);
                out.p_diff.push_back(p_diff);
            }
        }
        if (save_ != nullptr) return save_->flush();
        return {};
    }

private:
    static std::string where(std::size_t c, const model &m, const std::string &e) {
        return m.path + ": chunk " + std::to_string(c + 1) + ": " + e;
    }

    const chunk_source &src_;
    model &compared_;
    model &reference_;
    base_reader *base_;
    base_writer *save_;
    std::size_t n_vocab_;
    std::size_t piece_;
    chunk_rows compared_rows_;
    chunk_rows reference_rows_;
    std::vector<std::uint32_t> chunk_;
    std::vector<std::uint16_t> stored_;
};

std::string write_summary(const std::string &path, const nlohmann::ordered_json &summary) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << summary.dump(2) << "\n";
    f.close();
    if (!f) return path + ": cannot write the summary";
    return {};
}

}  // namespace

int run_kld(const kld_options &o) {
    const bool compare = !o.model.empty();
    if (o.reference.empty() == o.base.empty()) return usage("give the reference as --reference MODEL or --base FILE");
    if (!o.base.empty() && !o.save_base.empty()) return usage("--save-base writes a reference's rows; --base reads them");
    if (!compare && o.save_base.empty()) return usage("--model is needed, unless --save-base only writes the reference's base file");
    if (!o.reference.empty() && o.text.empty()) return usage("--reference needs --text");
    if (o.resume && o.out.empty() && (compare || o.save_base.empty()))
        return usage("--resume needs --out");
    if (!compare && (!o.out.empty() || !o.summary.empty()))
        return usage("--out and --summary hold the comparison; without --model there is none");
    if (o.batch < 1) return usage("--batch must be at least 1");
    start_llama(o.verbose);
    if (!o.rpc.empty()) {
        if (std::string e = add_rpc_workers(o.rpc); !e.empty()) return stop(e);
        report_lost_workers();
    }
    const int32_t reference_layers = o.gpu_layers >= 0 ? o.gpu_layers : o.rpc.empty() ? 0 : all_layers;

    model compared, reference;
    if (compare)
        if (std::string e = open_model(o.model, 0, o.exact, compared); !e.empty()) return stop(e);
    if (!o.reference.empty())
        if (std::string e = open_model(o.reference, reference_layers, o.exact, reference); !e.empty())
            return stop(e);
    base_reader base;
    chunk_source src;
    if (std::string e = read_source(o, compared, reference, base, src); !e.empty()) return stop(e);
    for (model *m : {&compared, &reference})
        if (*m)
            if (std::string e = size_for_chunks(o, src, *m); !e.empty()) return stop(e);
    evaluation_header header;
    if (std::string e = identify_run(o, compared, reference, src, header); !e.empty()) return stop(e);

    // What an interrupted run finished.
    std::vector<kld_chunk> previous;
    results_writer out;
    if (!o.out.empty()) {
        lines_read read;
        if (o.resume)
            if (std::string e = read_done_kld_chunks(o.out, header, src.layout.counted(), previous, read); !e.empty()) return stop(e);
        if (std::string e = out.open(o.out, o.resume, read); !e.empty()) return stop(e);
        if (find_header(read.headers, header.run) == nullptr)
            if (std::string e = out.write_line(to_json_line(header)); !e.empty()) return stop(e);
    }
    std::size_t done = std::min(previous.size(), src.n_chunks);
    base_writer save;
    if (!o.save_base.empty()) {
        base_header h;
        h.n_ctx = static_cast<std::uint32_t>(src.layout.n_ctx);
        h.n_vocab = static_cast<std::int32_t>(reference.n_vocab);
        h.n_chunk = static_cast<std::int32_t>(src.n_chunks);
        const std::vector<std::uint32_t> stored_tokens(src.tokens.begin(),
                                                       src.tokens.begin() + static_cast<long>(src.n_chunks * src.layout.n_ctx));
        std::size_t kept = compare ? done : static_cast<std::size_t>(-1);
        const std::string e = o.resume ? save.resume(o.save_base, h, stored_tokens, kept)
                                       : save.create(o.save_base, h, stored_tokens);
        if (!e.empty()) return stop(e);
        if (!compare && o.resume) done = kept;
    }

    if (!o.quiet)
        std::fprintf(stderr, "vl-eval kld: %zu tokens, %zu chunks of %zu, %zu positions each%s\n", src.tokens.size(),
                     src.n_chunks, src.layout.n_ctx, src.layout.counted(),
                     done == 0 ? "" : (", " + std::to_string(done) + " chunks done before").c_str());
    kld_sums sums;
    std::vector<float> kld_values, p_diff_values;
    double base_nll = 0;
    std::uint64_t base_count = 0;
    if (compare) {
        print_chunk_heading(stdout);
        for (std::size_t c = 0; c < done; ++c) {
            sums.add(previous[c].sums);
            kld_values.insert(kld_values.end(), previous[c].kld.begin(), previous[c].kld.end());
            p_diff_values.insert(p_diff_values.end(), previous[c].p_diff.begin(), previous[c].p_diff.end());
            print_chunk_line(stdout, c + 1, sums);
        }
        std::fflush(stdout);
    }

    catch_interrupt();
    chunk_bar bar(!o.quiet, src.n_chunks, src.layout.n_ctx);
    chunk_comparison walk(o, src, compared, reference, o.base.empty() ? nullptr : &base,
                          o.save_base.empty() ? nullptr : &save);
    bool interrupted = false;
    std::string stop_error;
    kld_chunk chunk;
    for (std::size_t c = done; c < src.n_chunks; ++c) {
        if (interrupt_requested()) {
            interrupted = true;
            break;
        }
        double nll = 0;
        if (stop_error = walk.run(c, chunk, nll); !stop_error.empty()) break;
        if (compare) {
            sums.add(chunk.sums);
            kld_values.insert(kld_values.end(), chunk.kld.begin(), chunk.kld.end());
            p_diff_values.insert(p_diff_values.end(), chunk.p_diff.begin(), chunk.p_diff.end());
            if (out.is_open())
                if (stop_error = out.write_line(to_json_line(chunk, header.run)); !stop_error.empty()) break;
            print_chunk_line(stdout, c + 1, sums);
        } else {
            base_nll += nll;
            base_count += src.layout.counted();
            std::printf("[%zu]%.4f,", c + 1, std::exp(base_nll / static_cast<double>(base_count)));
        }
        std::fflush(stdout);
        bar.update(done, c + 1);
    }
    bar.finish();
    if (compare && sums.count > 0) {
        std::printf("\n");
        const kld_report report = make_report(sums, std::move(kld_values), std::move(p_diff_values));
        print_report(stdout, report);
        std::fflush(stdout);
        if (!o.summary.empty()) {
            nlohmann::ordered_json summary;
            summary["settings"] = header.settings;
            summary["run"] = header.run;
            summary["chunks"] = sums.count / src.layout.counted();
            summary["statistics"] = report_json(report);
            if (std::string e = write_summary(o.summary, summary); !e.empty() && stop_error.empty()) stop_error = e;
        }
    } else if (!compare && base_count > 0) {
        std::printf("\nreference: PPL = %.4f over %llu positions of the chunks written this run\n",
                    std::exp(base_nll / static_cast<double>(base_count)), static_cast<unsigned long long>(base_count));
    }
    std::fflush(stdout);
    if (!stop_error.empty()) return stop(stop_error);
    return interrupted ? 130 : 0;
}

}  // namespace vl_eval
