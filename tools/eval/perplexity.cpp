#include "perplexity.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

#include <llama.h>
#include <nlohmann/json.hpp>

#include "interrupt.h"
#include "model_runtime.h"
#include "perplexity_chunks.h"
#include "prompts.h"
#include "results_file.h"
#include "run_identity.h"
#include "vorlenta_llama_shim.h"
#include "whole_file.h"

namespace vl_eval {
namespace {

void silent_log(ggml_log_level, const char *, void *) {}

int fail(const std::string &message) {
    std::fprintf(stderr, "vl-eval perplexity: %s\n", message.c_str());
    return 1;
}

struct file_closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

// What determines the values: the model (by its content), the text and the
// chunk size. Thread and batch sizes move them only in their last bits.
std::string run_fingerprint(vl_llama_runtime *runtime, const std::string &model_path,
                            const std::string &text, int ctx, std::string &run) {
    char desc[512] = "";
    const int64_t n = vl_llama_model_desc(runtime, desc, sizeof desc, nullptr, 0);
    std::string model_hash;
    std::uint64_t model_bytes = 0;
    if (std::string e = hash_file(model_path, model_hash, model_bytes); !e.empty()) return e;
    std::string key;
    for (const std::string &part :
         {std::string(n >= 0 && static_cast<std::size_t>(n) < sizeof desc ? desc : "?"), model_hash,
          std::to_string(model_bytes), fingerprint(text), std::to_string(text.size()),
          std::to_string(ctx)})
        key += std::to_string(part.size()) + ":" + part + ";";
    run = fingerprint(key);
    return {};
}

std::string to_json_line(const chunk_result &r, const perplexity_sums &running,
                         const std::string &run) {
    nlohmann::ordered_json o;
    o["chunk"] = r.chunk + 1;
    o["tokens"] = r.count;
    o["nll"] = r.nll;
    o["nll2"] = r.nll2;
    o["ppl"] = std::exp(r.nll / static_cast<double>(r.count));
    o["running_ppl"] = running.perplexity();
    o["run"] = run;
    return o.dump() + "\n";
}

// The complete lines of a results file being resumed: chunks 1, 2, ... in
// order, of this run. Returns an error, empty on success.
std::string read_done(const std::string &path, const std::string &run,
                      std::vector<chunk_result> &done, std::uint64_t &complete_bytes) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec) return {};  // nothing done yet
    std::ifstream in(path, std::ios::binary);
    if (!in) return path + ": cannot open the file: " + std::strerror(errno);
    std::string line;
    std::uint64_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (in.eof()) break;  // no newline: a line cut by an interrupted run
        const std::string where = path + ":" + std::to_string(number) + ": ";
        const nlohmann::json o = nlohmann::json::parse(line, nullptr, false);
        chunk_result r;
        try {
            if (o.is_discarded() || !o.is_object()) return where + "not a JSON object";
            if (o.at("run").get<std::string>() != run)
                return where + "holds results of another model, text or --ctx (run " +
                       o.at("run").get<std::string>() + ", this run " + run + ")";
            if (o.at("chunk").get<std::size_t>() != done.size() + 1)
                return where + "chunk " + std::to_string(o.at("chunk").get<std::size_t>()) +
                       " where chunk " + std::to_string(done.size() + 1) + " was expected";
            r.chunk = done.size();
            r.count = o.at("tokens").get<std::size_t>();
            r.nll = o.at("nll").get<double>();
            r.nll2 = o.at("nll2").get<double>();
        } catch (const nlohmann::json::exception &e) {
            return where + "not a chunk record: " + e.what();
        }
        if (r.count == 0) return where + "a chunk of no tokens";
        done.push_back(r);
        complete_bytes += line.size() + 1;
    }
    return {};
}

std::string open_out(const std::string &path, bool resume, std::uint64_t complete_bytes,
                     std::unique_ptr<std::FILE, file_closer> &file) {
    if (resume) {
        // An unfinished last line is cut before the next chunk goes after it.
        if (::truncate(path.c_str(), static_cast<off_t>(complete_bytes)) != 0 && errno != ENOENT)
            return path + ": cannot prepare the file for resuming: " + std::strerror(errno);
        file.reset(std::fopen(path.c_str(), "ab"));
    } else {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                return path + ": the file exists; continue it with --resume or remove it";
            return path + ": cannot create the file: " + std::strerror(errno);
        }
        file.reset(::fdopen(fd, "wb"));
        if (!file) ::close(fd);
    }
    if (!file) return path + ": cannot open the file: " + std::strerror(errno);
    return {};
}

// A bar on standard error while it is a terminal and standard output is not:
// chunks done, tokens a second, time left. On a terminal the running values
// on standard output, one per chunk, show the progress themselves.
class chunk_bar {
public:
    chunk_bar(bool shown, std::size_t total, std::size_t n_ctx)
        : shown_(shown && ::isatty(::fileno(stderr)) && !::isatty(::fileno(stdout))), total_(total), n_ctx_(n_ctx) {}
    void update(std::size_t first, std::size_t done) {
        if (!shown_) return;
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const double rate = elapsed > 0 ? static_cast<double>(done - first) / elapsed : 0;
        const double eta = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
        const int width = 30;
        const int filled = total_ ? static_cast<int>(width * done / total_) : width;
        std::fprintf(stderr, "\r[%s%s] %zu/%zu chunks, %.0f tokens/s, ETA %ld:%02ld\x1b[K",
                     std::string(static_cast<std::size_t>(filled), '#').c_str(),
                     std::string(static_cast<std::size_t>(width - filled), '.').c_str(), done,
                     total_, rate * static_cast<double>(n_ctx_), static_cast<long>(eta) / 60,
                     static_cast<long>(eta) % 60);
        drawn_ = true;
    }
    void finish() {
        if (drawn_) std::fputc('\n', stderr);
        drawn_ = false;
    }

private:
    bool shown_;
    bool drawn_ = false;
    std::size_t total_;
    std::size_t n_ctx_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace

int run_perplexity(const perplexity_options &o) {
    if (o.ctx < 3) return fail("--ctx must be at least 3");
    if (o.batch < 2) return fail("--batch must be at least 2");
    if (o.resume && o.out.empty()) return fail("--resume needs --out");
    if (!o.verbose) llama_log_set(silent_log, nullptr);
    llama_backend_init();

    std::string text;
    if (std::string error; !read_whole_file(o.text, text, error)) return fail(error);
    if (text.size() > INT32_MAX / 2) return fail(o.text + ": too large to tokenize in one piece");

    // The model is loaded once, with a window only large enough to tokenize;
    // the window the chunks need replaces it once the text is tokenized.
    runtime_ptr runtime;
    if (std::string e = open_for_tokenizing(o.model, 0, runtime); !e.empty()) return fail(e);

    // The whole text at once, the start token first where the vocabulary
    // adds one, as llama-perplexity reads it.
    std::vector<std::uint32_t> tokens;
    if (std::string e = tokenize_raw(runtime.get(), text, tokens); !e.empty())
        return fail(o.text + ": cannot tokenize: " + e);
    chunk_layout layout;
    layout.n_ctx = static_cast<std::size_t>(o.ctx);
    if (const int64_t start = vl_llama_model_info(runtime.get(), VL_LLAMA_INFO_START_TOKEN); start >= 0)
        layout.bos = start;
    if (tokens.size() < 2 * layout.n_ctx)
        return fail(o.text + ": " + std::to_string(tokens.size()) +
                    " tokens; a context of " + std::to_string(o.ctx) + " needs at least " +
                    std::to_string(2 * layout.n_ctx));
    std::size_t n_chunks = tokens.size() / layout.n_ctx;
    if (o.chunks > 0) n_chunks = std::min(n_chunks, static_cast<std::size_t>(o.chunks));

    // As llama-perplexity packs them: batch / ctx chunks a decode, each in
    // its own sequence of one window that holds them all; no more than the
    // text has, whatever --chunks says, so that a window is not made larger
    // than needed and every run on this text packs alike.
    const std::size_t per_call = std::min(
        tokens.size() / layout.n_ctx,
        std::max<std::size_t>(1, static_cast<std::size_t>(o.batch / o.ctx)));
    const int threads =
        o.threads > 0 ? o.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    vl_llama_config config = {};
    config.n_ctx = static_cast<int32_t>(per_call * layout.n_ctx);
    config.n_batch = o.batch < o.ctx ? o.batch : config.n_ctx;
    config.n_seq_max = static_cast<int32_t>(per_call + 1);
    config.n_threads = threads;
    config.n_threads_batch = threads;
    if (std::string e = resize_runtime(o.model, config, runtime.get()); !e.empty()) return fail(e);
    std::string run;
    if (std::string e = run_fingerprint(runtime.get(), o.model, text, o.ctx, run); !e.empty())
        return fail(e);

    std::vector<chunk_result> previous;
    std::unique_ptr<std::FILE, file_closer> out;
    if (!o.out.empty()) {
        std::uint64_t complete = 0;
        if (o.resume)
            if (std::string e = read_done(o.out, run, previous, complete); !e.empty()) return fail(e);
        if (std::string e = open_out(o.out, o.resume, complete, out); !e.empty()) return fail(e);
    }

    if (!o.quiet)
        std::fprintf(stderr,
                     "vl-eval perplexity: %zu tokens, %zu chunks of %d, %zu chunks a call, %d "
                     "threads%s\n",
                     tokens.size(), n_chunks, o.ctx, per_call, threads,
                     previous.empty()
                         ? ""
                         : (", " + std::to_string(previous.size()) + " chunks done before").c_str());
    // The running values go to standard output as llama-perplexity prints
    // them, those of a resumed run's earlier chunks first.
    perplexity_sums sums;
    const std::size_t done = std::min(previous.size(), n_chunks);
    for (std::size_t c = 0; c < done; ++c) {
        sums.add(previous[c]);
        std::printf("[%zu]%.4f,", c + 1, sums.perplexity());
    }
    std::fflush(stdout);
    std::vector<chunk_result> results;

    catch_interrupt();
    chunk_bar bar(!o.quiet, n_chunks, layout.n_ctx);
    bool interrupted = false;
    std::string stop_error;
    // Calls cover chunks [k * per_call, (k + 1) * per_call), whatever the
    // chunk a resumed run starts at, so that both pack chunks alike.
    for (std::size_t begin = done; begin < n_chunks;) {
        if (interrupt_requested()) {
            interrupted = true;
            break;
        }
        const std::size_t end = std::min(n_chunks, (begin / per_call + 1) * per_call);
        results.clear();
        if (std::string e = score_chunks(runtime.get(), tokens, layout, begin, end, results);
            !e.empty()) {
            stop_error = e;
            break;
        }
        for (const chunk_result &r : results) {
            sums.add(r);
            if (out) {
                const std::string line = to_json_line(r, sums, run);
                if (std::fwrite(line.data(), 1, line.size(), out.get()) != line.size() ||
                    std::fflush(out.get()) != 0) {
                    stop_error = o.out + ": cannot write results: " + std::strerror(errno);
                    break;
                }
            }
            std::printf("[%zu]%.4f,", r.chunk + 1, sums.perplexity());
        }
        std::fflush(stdout);
        if (!stop_error.empty()) break;
        begin = end;
        bar.update(done, begin);
    }
    bar.finish();
    std::printf("\n");
    if (sums.count > 0) {
        const double u = sums.uncertainty();
        if (std::isfinite(u))
            std::printf("Final estimate: PPL = %.4f +/- %.5f\n", sums.perplexity(), u);
        else
            std::printf("Final estimate: PPL = %.4f (no uncertainty: the token values do not vary)\n",
                        sums.perplexity());
    }
    std::fflush(stdout);
    if (!stop_error.empty()) return fail(stop_error);
    return interrupted ? 130 : 0;
}

}  // namespace vl_eval
