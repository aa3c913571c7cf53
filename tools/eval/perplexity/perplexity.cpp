#include "perplexity/perplexity.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "console/failure.h"
#include "console/interrupt.h"
#include "model/model_runtime.h"
#include "model/tokens.h"
#include "perplexity/chunk_bar.h"
#include "perplexity/chunk_records.h"
#include "perplexity/chunks.h"
#include "results/results_writer.h"
#include "results/run_identity.h"
#include "tasks/whole_file.h"
#include "vorlenta_llama_shim.h"

namespace vl_eval {
namespace {

int stop(const std::string &message) { return fail(message, "vl-eval perplexity"); }

// What determines the values: the model (by its content), the text, the
// chunk size and how the model computes. Thread and batch sizes move them
// only in their last bits.
std::string identify_run(vl_llama_runtime *runtime, const std::string &model_path, const std::string &text,
                         int ctx, bool exact, evaluation_header &header) {
    nlohmann::ordered_json s;
    s["model"] = model_description(runtime);
    std::string model_hash;
    std::uint64_t model_bytes = 0;
    if (std::string e = hash_file(model_path, model_hash, model_bytes); !e.empty()) return e;
    s["model_xxh3"] = model_hash;
    s["model_bytes"] = model_bytes;
    s["text_xxh3"] = hash_text(text);
    s["text_bytes"] = text.size();
    s["ctx"] = ctx;
    describe_compute(exact, s);
    header = identify(std::move(s));
    return {};
}

}  // namespace

int run_perplexity(const perplexity_options &o) {
    if (o.ctx < 3) return stop("--ctx must be at least 3");
    if (o.batch < 2) return stop("--batch must be at least 2");
    if (o.resume && o.out.empty()) return usage_error("--resume needs --out", "vl-eval perplexity");
    start_llama(o.verbose);

    std::string text;
    if (std::string error; !read_whole_file(o.text, text, error)) return stop(error);
    if (text.size() > INT32_MAX / 2) return stop(o.text + ": too large to tokenize in one piece");

    // The model is loaded once, with a window only large enough to tokenize;
    // the window the chunks need replaces it once the text is tokenized.
    runtime_ptr runtime;
    if (std::string e = open_for_tokenizing(o.model, 0, o.exact, runtime); !e.empty()) return stop(e);

    // The whole text at once, the start token first where the vocabulary
    // adds one, as llama-perplexity reads it.
    std::vector<std::uint32_t> tokens;
    if (std::string e = tokenize_raw(runtime.get(), text, tokens); !e.empty())
        return stop(o.text + ": cannot tokenize: " + e);
    chunk_layout layout;
    layout.n_ctx = static_cast<std::size_t>(o.ctx);
    if (const int64_t start = vl_llama_model_info(runtime.get(), VL_LLAMA_INFO_START_TOKEN); start >= 0)
        layout.bos = start;
    if (tokens.size() < 2 * layout.n_ctx)
        return stop(o.text + ": " + std::to_string(tokens.size()) +
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
    if (std::string e = resize_runtime(o.model, config, runtime.get()); !e.empty()) return stop(e);
    evaluation_header header;
    if (std::string e = identify_run(runtime.get(), o.model, text, o.ctx, o.exact, header); !e.empty())
        return stop(e);

    std::vector<chunk_result> previous;
    results_writer out;
    if (!o.out.empty()) {
        lines_read read;
        if (o.resume)
            if (std::string e = read_done_chunks(o.out, header, layout.counted(), previous, read);
                !e.empty())
                return stop(e);
        if (std::string e = out.open(o.out, o.resume, read); !e.empty()) return stop(e);
        if (find_header(read.headers, header.run) == nullptr)
            if (std::string e = out.write_line(to_json_line(header)); !e.empty()) return stop(e);
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
            if (out.is_open()) stop_error = out.write_line(to_json_line(r, sums, header.run));
            if (!stop_error.empty()) break;
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
    if (!stop_error.empty()) return stop(stop_error);
    return interrupted ? 130 : 0;
}

}  // namespace vl_eval
