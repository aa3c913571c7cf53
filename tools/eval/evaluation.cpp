#include "evaluation.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include <llama.h>

#include "progress.h"
#include "prompts.h"
#include "results_file.h"
#include "rpc_workers.h"
#include "scoring.h"
#include "summary.h"
#include "task_formats.h"
#include "vorlenta_llama_shim.h"
#include "write_out.h"

namespace vl_eval {
namespace {

volatile std::sig_atomic_t interrupt_requested = 0;

void on_interrupt(int) { interrupt_requested = 1; }

// Ctrl-C asks the run to stop after the items in flight (one library call);
// a second one kills the process the usual way.
void catch_interrupt() {
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
}

void silent_log(ggml_log_level, const char *, void *) {}

// Tokens a batched run's window holds beyond the longest item, and the
// sequences it opens: room for several items' tokens and answers in one
// decode beside the retained prefix.
constexpr std::size_t batch_room = 512;
constexpr std::size_t batch_sequences = 64;

// n_gpu_layers that offloads every layer of any model.
constexpr int32_t all_layers = 1000000;

int fail(const std::string &message) {
    std::fprintf(stderr, "vl-eval: %s\n", message.c_str());
    return 1;
}

struct model_deleter {
    void operator()(llama_model *m) const { llama_model_free(m); }
};
struct runtime_deleter {
    void operator()(vl_llama_runtime *r) const { vl_llama_close(r); }
};

bool read_file(const std::string &path, std::string &text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return !in.bad();
}

std::string model_description(vl_llama_runtime *runtime) {
    char desc[512] = "";
    const int64_t n = vl_llama_model_desc(runtime, desc, sizeof desc, nullptr, 0);
    return n >= 0 && static_cast<std::size_t>(n) < sizeof desc ? std::string(desc, static_cast<std::size_t>(n))
                                                                : std::string("?");
}

// What determines the scores, and nothing else: shards, limits, resumed
// runs and thread counts of one evaluation share it, and so do context sizes
// of walked runs. Batched runs add their window, which decides how a call's
// tasks are split into decodes.
std::string run_fingerprint(const std::string &description, const std::string &model_path,
                            prompt_mode mode, const eval_options &o, const std::string &preamble,
                            std::size_t window) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(model_path, ec);
    std::string text;
    for (const std::string &part :
         {description, std::filesystem::path(model_path).filename().string(),
          std::to_string(ec ? 0 : size), std::string(mode == prompt_mode::chat ? "chat" : "raw"),
          o.system, preamble, o.format}) {
        text += std::to_string(part.size()) + ":" + part + ";";
    }
    // Decoding every item from scratch moves scores in their last bits.
    if (!o.share) text += "no-share;";
    // Batched decodes round differently from the walk's.
    if (!o.walk) text += "batch:" + std::to_string(window) + ";";
    return fingerprint(text);
}

std::string too_long(std::size_t needed, std::size_t n_ctx) {
    return "needs " + std::to_string(needed) + " tokens, more than the context window of " +
           std::to_string(n_ctx);
}

// Builds and checks one item: its record, with the reason when it cannot be
// scored, and its prompt.
result_record prepare_record(const eval_item &item, const prompt_builder &builder,
                             std::size_t n_ctx, const std::string &run, item_prompt &prompt) {
    result_record record;
    record.id = item.id;
    record.line = item.line;
    record.run = run;
    record.group = item.group;
    record.skipped = builder.build(item, prompt);
    const std::size_t needed = prompt_builder::tokens_needed(prompt);
    if (record.skipped.empty() && needed > n_ctx) record.skipped = too_long(needed, n_ctx);
    return record;
}

// Puts an item's scores into its record and decides its picks.
void finish_record(result_record &record, const eval_item &item, const item_prompt &prompt,
                   const std::vector<double> &logprobs) {
    for (std::size_t a = 0; a < logprobs.size(); ++a) {
        if (!std::isfinite(logprobs[a])) {
            record.answers.clear();
            record.skipped = "the model gave a non-finite score";
            return;
        }
        answer_score s;
        s.logprob = logprobs[a];
        s.tokens = prompt.answers[a].continuation.size();
        s.chars = prompt.answers[a].chars;
        record.answers.push_back(s);
    }
    record.label = item.label;
    decide(record);
}

// What the whole task file needs before any item is scored: the positions
// each item takes (0: it cannot be scored) and the leading context tokens
// each item shares with the next one.
struct task_sizes {
    std::vector<std::size_t> needed;
    std::vector<std::size_t> common;
    std::vector<item_size> work;  // what each item adds to a batch call
};

task_sizes size_tasks(const std::vector<eval_item> &items, const prompt_builder &sizing) {
    task_sizes sizes;
    sizes.needed.assign(items.size(), 0);
    sizes.common.assign(items.size(), 0);
    sizes.work.assign(items.size(), item_size{});
    std::vector<std::uint32_t> previous;
    for (std::size_t i = 0; i < items.size(); ++i) {
        item_prompt p;
        if (!sizing.build(items[i], p).empty()) {
            previous.clear();
            continue;
        }
        sizes.needed[i] = prompt_builder::tokens_needed(p);
        sizes.work[i] = size_of(p);
        if (i > 0) sizes.common[i - 1] = common_prefix(previous, p.context);
        previous = std::move(p.context);
    }
    return sizes;
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
    // llama.cpp logs from the first load on; it stays silent unless asked.
    if (!o.verbose) llama_log_set(silent_log, nullptr);
    llama_backend_init();

    // Remote workers join ggml's devices before any model is loaded, and a
    // server that cannot be used stops the run here, before anything is read
    // or scored. This comes before any thread is started: the handshake
    // check forks.
    if (!o.rpc.empty()) {
        if (std::string e = add_rpc_workers(o.rpc); !e.empty()) return fail(e);
        report_lost_workers();
    }
    const int32_t gpu_layers = o.gpu_layers >= 0 ? o.gpu_layers : o.rpc.empty() ? 0 : all_layers;

    const task_format *format = find_task_format(o.format);
    if (format == nullptr) return fail("unknown --format '" + o.format + "'");
    std::string preamble;
    if (!o.preamble_file.empty() && !read_file(o.preamble_file, preamble))
        return fail(o.preamble_file + ": cannot read the preamble");

    read_result tasks = format->read(o.tasks);
    if (tasks.items.empty() && !tasks.error.empty()) return fail(tasks.error);
    std::string examples;
    if (std::string e = apply_task_options(o.task, *format, o.tasks, tasks.items, examples); !e.empty())
        return fail(e);

    // The vocabulary alone: raw tokenization, the template check, and the
    // context size, all before the weights are loaded.
    llama_model_params vocab_params = llama_model_default_params();
    vocab_params.vocab_only = true;
    std::unique_ptr<llama_model, model_deleter> vocab_model(
        llama_model_load_from_file(o.model.c_str(), vocab_params));
    if (!vocab_model) return fail(o.model + ": cannot read the model file");
    const bool has_template = llama_model_chat_template(vocab_model.get(), nullptr) != nullptr;

    prompt_mode mode;
    if (o.prompt == "chat") mode = prompt_mode::chat;
    else if (o.prompt == "raw") mode = prompt_mode::raw;
    else if (o.prompt == "auto")
        mode = has_template && !tasks.plain_text ? prompt_mode::chat : prompt_mode::raw;
    else return fail("unknown --prompt '" + o.prompt + "' (auto, chat or raw)");
    if (mode == prompt_mode::chat && !has_template)
        return fail(o.model + ": the model has no chat template; use --prompt raw");

    // The window fits the longest item of the whole file (up to the length
    // the model was trained for), so that every shard of one file gets the
    // same context and the same scores; the prefixes runs of items share are
    // planned over the whole file too.
    if (o.ctx < 0) return fail("--ctx must be positive");
    task_sizes sizes = size_tasks(tasks.items,
                                  prompt_builder(vocab_model.get(), mode, o.system, preamble,
                                                 vocab_chat_encoder(vocab_model.get())));
    std::vector<std::size_t> &needed = sizes.needed, &common = sizes.common;
    std::size_t n_ctx = static_cast<std::size_t>(o.ctx);
    if (n_ctx == 0) {
        n_ctx = 16;
        for (std::size_t n : needed) n_ctx = std::max(n_ctx, n);
        const int32_t trained = llama_model_n_ctx_train(vocab_model.get());
        if (trained > 0) n_ctx = std::min(n_ctx, static_cast<std::size_t>(trained));
    }
    if (n_ctx > INT32_MAX) return fail("--ctx is more than llama.cpp can hold");
    for (std::size_t i = 0; i < needed.size(); ++i)
        if (needed[i] > n_ctx) {
            common[i] = 0;
            if (i > 0) common[i - 1] = 0;
        }

    std::vector<std::size_t> plan(tasks.items.size(), no_shared_prefix);
    if (o.share) plan = plan_shared_prefixes(common);

    std::size_t begin = 0, end = tasks.items.size();
    shard_range(tasks.items.size(), o.shard_index, o.shard_count, begin, end);
    if (o.limit > 0 && end - begin > static_cast<std::size_t>(o.limit))
        end = begin + static_cast<std::size_t>(o.limit);

    // Batched scoring gets room beyond the longest item, so that a decode
    // holds several items' tokens beside the retained prefix, and sequences
    // for their answers; a window given with --ctx is taken as it is.
    std::size_t window = n_ctx;
    if (!o.walk && o.ctx == 0) window = n_ctx + batch_room;
    if (window > INT32_MAX) return fail("--ctx is more than llama.cpp can hold");
    int threads = o.threads;
    if (threads <= 0) threads = std::max(1u, std::thread::hardware_concurrency());
    vl_llama_config config = {};
    config.n_ctx = static_cast<int32_t>(window);
    config.n_batch = static_cast<int32_t>(window);
    config.n_seq_max = o.walk ? 2 : static_cast<int32_t>(std::min<std::size_t>(batch_sequences, window));
    config.n_threads = threads;
    config.n_threads_batch = threads;
    config.n_gpu_layers = gpu_layers;
    char err[256] = "";
    std::unique_ptr<vl_llama_runtime, runtime_deleter> runtime(
        vl_llama_open(o.model.c_str(), &config, err, sizeof err));
    if (!runtime) return fail(o.model + ": cannot open the model: " + err);

    summary_info info;
    info.model = model_description(runtime.get());
    info.model_path = o.model;
    info.run = run_fingerprint(info.model, o.model, mode, o, preamble + examples, window);
    info.items = end - begin;
    info.configuration = {{"tasks", o.tasks},
                          {"format", o.format},
                          {"prompt", mode == prompt_mode::chat ? "chat" : "raw"},
                          {"system", o.system},
                          {"preamble", o.preamble_file},
                          {"n_ctx", window},
                          {"scorer", o.walk ? "walk" : "batch"},
                          {"threads", threads},
                          {"share", o.share},
                          {"shard", std::to_string(o.shard_index) + "/" + std::to_string(o.shard_count)},
                          {"limit", o.limit},
                          {"gpu_layers", gpu_layers},
                          {"rpc", o.rpc}};
    describe_task_options(o.task, info.configuration);

    // Results already in the file (--resume) count as done.
    std::set<std::string> done;
    results_writer writer;
    if (!o.out.empty()) {
        std::uint64_t complete = 0;
        if (o.resume) {
            results_read previous = read_results(o.out, true);
            if (!previous.error.empty()) return fail(previous.error);
            std::set<std::string> wanted;
            for (std::size_t i = begin; i < end; ++i) wanted.insert(tasks.items[i].id);
            for (const result_record &r : previous.records) {
                if (r.run != info.run)
                    return fail(o.out + ": holds results of another model or settings (run " + r.run +
                                ", this run " + info.run + "); resume with the same ones");
                if (wanted.count(r.id) && done.insert(r.id).second) tally(info, r);
            }
            complete = previous.complete_bytes;
        }
        if (std::string e = writer.open(o.out, o.resume, complete); !e.empty()) return fail(e);
    } else if (o.resume) {
        return fail("--resume needs --out");
    }

    // The items of each library call, planned over the whole file: a shard
    // or resumed run scores every call its items are in whole, the items of
    // other shards or already done included, and records only its own.
    std::vector<std::size_t> starts;
    if (o.walk) {
        for (std::size_t i = 0; i <= tasks.items.size(); ++i) starts.push_back(i);
    } else {
        batch_limits limits;
        limits.tokens_per_decode = vl_llama_max_multi_root_tokens(runtime.get());
        limits.sequences_per_decode = vl_llama_max_parallel_tasks(runtime.get());
        limits.n_ctx = window;
        starts = plan_batches(plan, common, sizes.work, limits);
    }

    catch_interrupt();
    const prompt_builder builder(vocab_model.get(), mode, o.system, preamble,
                                 library_chat_encoder(runtime.get()));
    write_out(stdout, tasks.items, begin, end, o.write_out, builder, vocab_model.get());
    item_scorer walker(runtime.get());
    batch_scorer batcher(runtime.get());
    std::string stop_error;
    progress bar(stderr, progress::for_stream(stderr, o.quiet), info.items);
    const auto run_started = std::chrono::steady_clock::now();
    bar.update(done.size(), info.metrics[acc].mean());

    for (std::size_t g = 0; g + 1 < starts.size() && stop_error.empty(); ++g) {
        const std::size_t first = starts[g], last = starts[g + 1];
        if (last <= begin || first >= end) continue;
        bool wanted = false;
        for (std::size_t i = std::max(first, begin); i < std::min(last, end); ++i)
            if (!done.count(tasks.items[i].id)) wanted = true;
        if (!wanted) continue;
        if (interrupt_requested) {
            info.interrupted = true;
            break;
        }
        std::vector<item_prompt> prompts(last - first);
        std::vector<result_record> records;
        std::vector<const item_prompt *> scorable;
        std::vector<std::size_t> scorable_at;
        for (std::size_t i = first; i < last; ++i) {
            records.push_back(prepare_record(tasks.items[i], builder, n_ctx, info.run, prompts[i - first]));
            if (records.back().skipped.empty()) {
                scorable.push_back(&prompts[i - first]);
                scorable_at.push_back(i - first);
            }
        }
        std::vector<std::vector<double>> logprobs(scorable.size());
        std::string error;
        if (!scorable.empty()) {
            if (o.walk) error = walker.score(*scorable.front(), plan[first], logprobs.front());
            else error = batcher.score(scorable, plan[first], logprobs);
        }
        for (std::size_t k = 0; k < scorable.size(); ++k) {
            result_record &record = records[scorable_at[k]];
            if (!error.empty()) record.skipped = error;
            else finish_record(record, tasks.items[first + scorable_at[k]], *scorable[k], logprobs[k]);
        }
        for (std::size_t i = std::max(first, begin); i < std::min(last, end); ++i) {
            const result_record &record = records[i - first];
            if (done.count(record.id)) continue;
            if (writer.is_open())
                if (std::string e = writer.write(record); !e.empty()) {
                    stop_error = e;
                    break;
                }
            tally(info, record);
            ++info.scored_this_run;
            bar.update(info.scored + info.skipped, info.metrics[acc].mean());
        }
    }
    bar.finish();

    const auto now = std::chrono::steady_clock::now();
    info.seconds = std::chrono::duration<double>(now - run_started).count();
    info.tokens_decoded = static_cast<std::int64_t>(walker.tokens_decoded() + batcher.tokens_decoded());
    info.tokens_from_scratch =
        static_cast<std::int64_t>(walker.tokens_from_scratch() + batcher.tokens_from_scratch());
    info.configuration["load_seconds"] =
        std::chrono::duration<double>(run_started - started).count();
    info.error = !stop_error.empty() ? stop_error : tasks.error;
    print_summary(stdout, info);
    if (!o.summary.empty())
        if (std::string e = write_summary(o.summary, info); !e.empty()) stop_error = e;
    if (!stop_error.empty()) return fail(stop_error);
    if (info.interrupted) return 130;
    if (!tasks.error.empty()) return fail(tasks.error);
    return 0;
}

}  // namespace vl_eval
