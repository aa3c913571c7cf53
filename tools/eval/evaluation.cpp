#include "evaluation.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "console/failure.h"
#include "console/interrupt.h"
#include "console/progress.h"
#include "model/model_runtime.h"
#include "model/rpc_workers.h"
#include "prompts/prompts.h"
#include "prompts/write_out.h"
#include "results/evaluation_settings.h"
#include "results/resume.h"
#include "results/summary.h"
#include "scoring/scorers.h"
#include "scoring/scoring_loop.h"
#include "scoring/sizing.h"
#include "tasks/task_formats.h"
#include "tasks/whole_file.h"
#include "vorlenta_llama_shim.h"

namespace vl_eval {
namespace {

// Tokens a batched run's window holds beyond the longest item, and the
// sequences it opens: room for several items' tokens and answers in one
// decode beside the retained prefix.
constexpr std::size_t batch_room = 512;
constexpr std::size_t batch_sequences = 64;

// Work of one batch call past its retained prefix: about one decode of this
// many tokens. llama.cpp's attention reads every cell of the window up to the
// last one in use, masked or not, so a decode's cost per token grows with the
// cells it spans; calls of a few hundred tokens keep that span short and
// measured faster than calls that fill the window.
constexpr std::size_t call_span = 256;

// n_gpu_layers that offloads every layer of any model.
constexpr int32_t all_layers = 1000000;

// Everything a run reads before it knows the window it needs: the task
// file, the preamble, the model (opened once, with a window only large enough
// to tokenize) and the prompt mode they decide.
struct run_inputs {
    read_result tasks;
    std::string preamble;
    std::string examples;  // few-shot examples from --fewshot-from
    runtime_ptr runtime;
    prompt_mode mode = prompt_mode::raw;
};

std::string read_inputs(const eval_options &o, int32_t gpu_layers, run_inputs &in) {
    const task_format *format = find_task_format(o.format);
    if (format == nullptr) return "unknown --format '" + o.format + "'";
    if (!o.preamble_file.empty())
        if (std::string error; !read_whole_file(o.preamble_file, in.preamble, error))
            return error + " (the preamble)";
    in.tasks = format->read(o.tasks);
    if (in.tasks.items.empty())
        return !in.tasks.error.empty() ? in.tasks.error : o.tasks + ": the task file holds no items";
    // Each item as its file gives it, before the options change it.
    for (eval_item &item : in.tasks.items) item.hash = item_hash(item);
    if (std::string e = apply_task_options(o.task, *format, o.tasks, in.tasks.items, in.examples); !e.empty())
        return e;

    // The model, loaded once for the whole run with its layers placed: raw
    // tokenization, the template check and the trained length come from it
    // now, and the scoring window is set once the file is sized.
    if (std::string e = open_for_tokenizing(o.model, gpu_layers, o.exact, in.runtime); !e.empty()) return e;
    const bool has_template = vl_llama_model_info(in.runtime.get(), VL_LLAMA_INFO_HAS_CHAT_TEMPLATE) == 1;
    if (o.prompt == "chat") in.mode = prompt_mode::chat;
    else if (o.prompt == "raw") in.mode = prompt_mode::raw;
    else if (o.prompt == "auto")
        in.mode = has_template && !in.tasks.plain_text ? prompt_mode::chat : prompt_mode::raw;
    else return "unknown --prompt '" + o.prompt + "' (auto, chat or raw)";
    if (in.mode == prompt_mode::chat && !has_template)
        return o.model + ": the model has no chat template; use --prompt raw";
    return {};
}

// Sizes every item of the file. Chat prompts are sized through the
// library's own encoder, as they are scored; a failure of the library stops
// the run rather than leave an item unsized.
std::string size_inputs(const eval_options &o, const run_inputs &in, task_sizes &sizes) {
    chat_encoder chat;
    if (in.mode == prompt_mode::chat) chat = library_chat_encoder(in.runtime.get());
    const prompt_builder builder(in.runtime.get(), in.mode, o.system, in.preamble, std::move(chat),
                                 o.blanks);
    if (std::string e = size_tasks(in.tasks.items, builder, sizes); !e.empty())
        return "sizing the task file failed at " + e;
    return {};
}

// The runtime made ready to score: its window, sequences and threads (the
// layers were placed when it was opened).
std::string size_runtime(const eval_options &o, std::size_t window, int threads,
                         vl_llama_runtime *runtime) {
    if (window > INT32_MAX) return "--ctx is more than llama.cpp can hold";
    vl_llama_config config = {};
    config.n_ctx = static_cast<int32_t>(window);
    config.n_batch = static_cast<int32_t>(window);
    config.n_seq_max = o.walk ? 2 : static_cast<int32_t>(std::min<std::size_t>(batch_sequences, window));
    config.n_threads = threads;
    config.n_threads_batch = threads;
    return resize_runtime(o.model, config, runtime);
}

// The evaluation this run is: everything that changes its scores or the
// set of items it skips.
std::string identify_run(const eval_options &o, const run_inputs &in, const std::string &description,
                         std::size_t n_ctx, std::size_t window, int32_t gpu_layers,
                         evaluation_header &header) {
    evaluation_inputs e;
    e.model_description = description;
    if (std::string error = hash_file(o.model, e.model_hash, e.model_bytes); !error.empty()) return error;
    e.format = resolved_format(in.tasks.items);
    e.prompt = in.mode == prompt_mode::chat ? "chat" : "raw";
    e.system = o.system;
    e.preamble = in.preamble;
    e.examples = in.examples;
    if (o.blanks == blank_scoring::llama_perplexity) e.blanks = "llama-perplexity";
    e.share = o.share;
    e.walk = o.walk;
    e.n_ctx = n_ctx;
    e.window = window;
    e.gpu_layers = gpu_layers;
    e.exact = o.exact;
    std::vector<rpc_endpoint> workers;
    if (!o.rpc.empty()) parse_rpc_endpoints(o.rpc, workers);
    e.rpc_workers = workers.size();
    header = describe_evaluation(e);
    return {};
}

}  // namespace

std::string parse_shard(const std::string &text, unsigned &index, unsigned &count) {
    const std::size_t slash = text.find('/');
    const std::string bad = "--shard expects I/N with 0 <= I < N, not '" + text + "'";
    if (slash == std::string::npos || slash == 0 || slash + 1 == text.size()) return bad;
    const std::string i = text.substr(0, slash), n = text.substr(slash + 1);
    if (i.size() > 9 || n.size() > 9 || i.find_first_not_of("0123456789") != std::string::npos ||
        n.find_first_not_of("0123456789") != std::string::npos)
        return bad;
    index = static_cast<unsigned>(std::stoul(i));
    count = static_cast<unsigned>(std::stoul(n));
    if (count == 0 || index >= count) return bad;
    return {};
}

void shard_range(std::size_t n, unsigned index, unsigned count, std::size_t &begin,
                 std::size_t &end) {
    // 128-bit products: n * count cannot overflow.
    begin = static_cast<std::size_t>(static_cast<unsigned __int128>(n) * index / count);
    end = static_cast<std::size_t>(static_cast<unsigned __int128>(n) * (index + 1) / count);
}

int run_evaluation(const eval_options &o) {
    const auto started = std::chrono::steady_clock::now();
    if (o.resume && o.out.empty()) return usage_error("--resume needs --out");
    start_llama(o.verbose);

    // Remote workers join ggml's devices before any model is loaded, and a
    // server that cannot be used stops the run here, before anything is read
    // or scored. This comes before any thread is started: the handshake
    // check forks.
    if (!o.rpc.empty()) {
        if (std::string e = add_rpc_workers(o.rpc); !e.empty()) return fail(e);
        report_lost_workers();
    }
    const int32_t gpu_layers = o.gpu_layers >= 0 ? o.gpu_layers : o.rpc.empty() ? 0 : all_layers;

    run_inputs in;
    if (std::string e = read_inputs(o, gpu_layers, in); !e.empty()) return fail(e);
    const std::vector<eval_item> &items = in.tasks.items;

    // The window fits the longest item of the whole file (up to the length
    // the model was trained for), so that every shard of one file gets the
    // same context and the same scores.
    if (o.ctx < 0) return fail("--ctx must be positive");
    task_sizes sizes;
    if (std::string e = size_inputs(o, in, sizes); !e.empty()) return fail(e);
    const std::size_t n_ctx = choose_n_ctx(sizes, static_cast<std::size_t>(o.ctx),
                                           vl_llama_model_info(in.runtime.get(), VL_LLAMA_INFO_N_CTX_TRAIN));
    if (n_ctx > INT32_MAX) return fail("--ctx is more than llama.cpp can hold");

    std::size_t begin = 0, end = items.size();
    shard_range(items.size(), o.shard_index, o.shard_count, begin, end);
    if (o.limit > 0 && end - begin > static_cast<std::size_t>(o.limit))
        end = begin + static_cast<std::size_t>(o.limit);

    // Batched scoring gets room beyond the longest item, so that a decode
    // holds several items' tokens beside the retained prefix, and sequences
    // for their answers; a window given with --ctx is taken as it is.
    const std::size_t window = !o.walk && o.ctx == 0 ? n_ctx + batch_room : n_ctx;
    const int threads = o.threads > 0 ? o.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    runtime_ptr runtime = std::move(in.runtime);
    if (std::string e = size_runtime(o, window, threads, runtime.get()); !e.empty()) return fail(e);

    summary_info info;
    info.model = model_description(runtime.get());
    info.model_path = o.model;
    evaluation_header header;
    if (std::string e = identify_run(o, in, info.model, n_ctx, window, gpu_layers, header); !e.empty())
        return fail(e);
    info.run = header.run;
    info.items = end - begin;
    info.configuration = {{"tasks", o.tasks},
                          {"format", header.settings["format"]},
                          {"prompt", header.settings["prompt"]},
                          {"system", o.system},
                          {"preamble", o.preamble_file},
                          {"n_ctx", window},
                          {"scorer", o.walk ? "walk" : "batch"},
                          {"exact", o.exact},
                          {"threads", threads},
                          {"share", o.share},
                          {"shard", std::to_string(o.shard_index) + "/" + std::to_string(o.shard_count)},
                          {"limit", o.limit},
                          {"gpu_layers", gpu_layers},
                          {"rpc", o.rpc}};
    describe_task_options(o.task, info.configuration);

    // From the results file's first line on, Ctrl-C stops the run after the
    // call in flight, with the summary of what is done.
    catch_interrupt();

    // Results already in the file (--resume) count as done.
    std::map<std::string, std::string> wanted;
    std::set<std::string> done;
    for (std::size_t i = begin; i < end; ++i) wanted.emplace(items[i].id, items[i].hash);
    results_writer writer;
    if (std::string e = open_results(o.out, o.resume, header, wanted, writer, done, info); !e.empty()) return fail(e);

    // The items of each library call, planned over the whole file: a shard
    // or resumed run scores every call its items are in whole, the items of
    // other shards or already done included, and records only its own.
    batch_limits limits;
    limits.tokens_per_decode = std::min<std::size_t>(vl_llama_max_multi_root_tokens(runtime.get()), call_span);
    limits.sequences_per_decode = vl_llama_max_parallel_tasks(runtime.get());
    limits.n_ctx = window;
    limits.decodes = 1;
    const scoring_plan plan = plan_scoring(sizes, o.share, o.walk, limits);

    const prompt_builder builder(runtime.get(), in.mode, o.system, in.preamble,
                                 library_chat_encoder(runtime.get()), o.blanks);
    if (std::string e = write_out(stdout, items, begin, end, o.write_out, builder, runtime.get()); !e.empty())
        return fail(e);
    item_scorer walker(runtime.get());
    batch_scorer batcher(runtime.get());
    progress bar(stderr, progress::for_stream(stderr, o.quiet), info.items);
    const auto run_started = std::chrono::steady_clock::now();
    bar.update(done.size(), info.metrics[acc].mean());
    scoring_job job;
    job.items = &items;
    job.begin = begin;
    job.end = end;
    job.plan = &plan;
    job.builder = &builder;
    job.n_ctx = n_ctx;
    job.run = header.run;
    job.walk = o.walk;
    job.done = &done;
    std::string stop_error = score_items(job, walker, batcher, writer, info, bar);
    bar.finish();

    const auto now = std::chrono::steady_clock::now();
    info.seconds = std::chrono::duration<double>(now - run_started).count();
    info.tokens_decoded = static_cast<std::int64_t>(walker.tokens_decoded() + batcher.tokens_decoded());
    info.tokens_from_scratch =
        static_cast<std::int64_t>(walker.tokens_from_scratch() + batcher.tokens_from_scratch());
    info.configuration["load_seconds"] =
        std::chrono::duration<double>(run_started - started).count();
    info.error = !stop_error.empty() ? stop_error : in.tasks.error;
    print_summary(stdout, info);
    if (!o.summary.empty())
        if (std::string e = write_summary(o.summary, info); !e.empty() && stop_error.empty()) stop_error = e;
    if (!stop_error.empty()) return fail(stop_error);
    if (info.interrupted) return 130;
    if (!in.tasks.error.empty()) return fail(in.tasks.error);
    return 0;
}

}  // namespace vl_eval
