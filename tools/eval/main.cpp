// vl-eval: multiple-choice evaluation of a GGUF model from a task file, and
// `vl-eval summarize` to merge the results of several runs.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "evaluation.h"
#include "summarize.h"
#include "task_formats.h"

namespace {

int run(int argc, char **argv) {
    vl_eval::eval_options o;
    vl_eval::summarize_options s;
    std::vector<std::string> format_names;
    for (const auto &f : vl_eval::task_formats()) format_names.push_back(f.name);

    CLI::App app{
        "Scores every answer of multiple-choice questions with a local GGUF model and reports\n"
        "acc, acc_norm and acc_per_token with standard errors. Answers are scored exactly\n"
        "(log-probabilities through vorlenta_llama_shim); tokens that consecutive items share\n"
        "are decoded once. Results go to --out as one JSON line per item, written as each item\n"
        "finishes; --resume continues an interrupted run.",
        "vl-eval"};
    app.set_version_flag("--version", "vl-eval 0.5.0");
    app.add_option("--model,-m", o.model, "GGUF model file");
    app.add_option("--tasks,-t", o.tasks,
                   "task file: one JSON item per line, or llama-perplexity's HellaSwag text or\n"
                   "multiple-choice binary (-bf) file");
    app.add_option("--out,-o", o.out, "results file (JSON lines), written per item");
    app.add_option("--summary", o.summary, "write the summary as JSON to this file");
    app.add_option("--format", o.format,
                   "task file format (auto: llama-perplexity's files by their content, JSON lines\n"
                   "by each line's fields); hellaswag-text and mc-binary are llama-perplexity's,\n"
                   "meant for --prompt raw: each answer scored as \" \" + answer after the context")
        ->check(CLI::IsMember(format_names))
        ->capture_default_str();
    app.add_option("--prompt", o.prompt,
                   "chat: the model's chat template, answers as the assistant's words;\n"
                   "raw: context text continued by \" \" + answer (auto: chat when the model has a "
                   "template)")
        ->check(CLI::IsMember({"auto", "chat", "raw"}))
        ->capture_default_str();
    app.add_option("--system", o.system, "system message of chat prompts (an item's own wins)");
    app.add_option("--preamble", o.preamble_file,
                   "file whose text goes before every item's context (few-shot examples)");
    app.add_option("--limit", o.limit, "score only the first N items (of the shard)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--resume", o.resume, "skip the items already in --out and append the rest");
    app.add_option("--ctx", o.ctx, "context window in tokens (default: the longest item's size)")
        ->check(CLI::PositiveNumber);
    app.add_option("--threads", o.threads, "threads (default: the machine's cores)")
        ->check(CLI::PositiveNumber);
    std::string shard;
    app.add_option("--shard", shard,
                   "score shard I of N (0-based): contiguous blocks of items, each item in "
                   "exactly one shard");
    bool no_share = false;
    app.add_flag("--no-share", no_share, "decode every item from scratch (for comparisons)");
    app.add_flag("--quiet,-q", o.quiet, "no progress output");
    app.add_flag("--verbose,-v", o.verbose, "show llama.cpp's log");

    CLI::App *summarize = app.add_subcommand(
        "summarize", "merge results files (shards, resumed runs) into the summary one run prints");
    summarize->add_option("results", s.results, "results files")->required();
    summarize->add_option("--summary", s.summary, "write the summary as JSON to this file");
    summarize->add_option("--tasks", s.tasks, "task file: report its items that have no results");
    summarize->add_option("--format", s.format, "format of --tasks")
        ->check(CLI::IsMember(format_names))
        ->capture_default_str();
    app.require_subcommand(0, 1);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }
    if (summarize->parsed()) return vl_eval::run_summarize(s);
    if (o.model.empty() || o.tasks.empty()) {
        std::fprintf(stderr, "vl-eval: --model and --tasks are required (see --help)\n");
        return 2;
    }
    if (!shard.empty()) {
        if (std::string e = vl_eval::parse_shard(shard, o.shard_index, o.shard_count); !e.empty()) {
            std::fprintf(stderr, "vl-eval: %s\n", e.c_str());
            return 2;
        }
    }
    o.share = !no_share;
    return vl_eval::run_evaluation(o);
}

}  // namespace

int main(int argc, char **argv) {
    // No input may end the program with an uncaught exception.
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "vl-eval: out of memory\n");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vl-eval: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "vl-eval: unexpected failure\n");
    }
    return 1;
}
