// vl-eval: multiple-choice evaluation of a GGUF model from a task file, and
// `vl-eval summarize` to merge the results of several runs.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "evaluation.h"
#include "kld/kld.h"
#include "perplexity/perplexity.h"
#include "results/summarize.h"
#include "tasks/task_formats.h"

namespace {

// `vl-eval kld`'s command line.
CLI::App *add_kld_command(CLI::App &app, vl_eval::kld_options &k) {
    CLI::App *kld = app.add_subcommand(
        "kld", "how far a model's next-token distributions are from a reference's, as llama-perplexity "
               "--kl-divergence measures it");
    kld->description(
        "How far a model's next-token distributions are from a reference model's over a text, with "
        "llama-perplexity --kl-divergence's chunks, statistics and output: the text is tokenized (the "
        "start token first where the model adds one) and cut into chunks of --ctx tokens; at every "
        "position of a chunk's second half the KL divergence from the reference to the model, the change "
        "in the probability of the token that follows (delta p) and whether both rank the same token "
        "first are measured, and both models' perplexities. Both models are loaded in this one process "
        "and walk each chunk together, so no base file is needed; the reference may also be "
        "llama-perplexity's --kl-divergence-base file (--base), and --save-base writes that file from the "
        "reference, while comparing or alone (without --model), for either program to reuse.");
    kld->get_formatter()->enable_footer_formatting(false);
    kld->footer(
        "The reference's distributions are kept as a base file keeps them (log-probabilities in 16 bits,\n"
        "down to 16 below the largest), so that a run from a base file and a run from the reference\n"
        "model agree to the last digit, and agree with llama-perplexity.\n\n"
        "--out writes one JSON line per chunk as it is done (after a header line describing the run):\n"
        "chunk, positions, the chunk's sums, every position's kld and delta_p, and run; --resume\n"
        "continues after the chunks it holds (and --save-base's file with it).\n\n"
        "Examples:\n"
        "  vl-eval kld -m q4_0.gguf --reference f16.gguf -f wiki.test.raw -c 512 --summary kld.json\n"
        "  vl-eval kld --reference f16.gguf -f wiki.test.raw --save-base f16.kld     (the base only)\n"
        "  vl-eval kld -m q4_0.gguf --base f16.kld       (also a base of llama-perplexity's)\n\n"
        "Exit status: 0 done, 1 failed (also a text shorter than one chunk, a base file of another\n"
        "vocabulary or cut short), 2 usage error, 130 interrupted.");
    kld->add_option("--model,-m", k.model, "GGUF model file compared with the reference")->type_name("FILE");
    kld->add_option("--reference", k.reference, "GGUF model file of the reference")->type_name("FILE");
    kld->add_option("--base", k.base, "the reference as llama-perplexity's --kl-divergence-base file")
        ->type_name("FILE");
    kld->add_option("--text,-f", k.text, "text file (with --base: checked against the file's tokens)")
        ->type_name("FILE");
    kld->add_option("--save-base", k.save_base, "write the reference's llama-perplexity base file")
        ->type_name("FILE");
    kld->add_option("--ctx,-c", k.ctx, "tokens a chunk (default 512; with --base, the file's)")
        ->check(CLI::Range(3, 1 << 24));
    kld->add_option("--batch,-b", k.batch, "tokens a decode, and rows each model holds at once")
        ->check(CLI::Range(1, 1 << 30))
        ->capture_default_str();
    kld->add_option("--threads,-t", k.threads, "threads (default: the machine's cores)")
        ->check(CLI::PositiveNumber);
    kld->add_option("--chunks", k.chunks, "only the first N chunks")->check(CLI::PositiveNumber);
    kld->add_option("--out,-o", k.out, "per-chunk results (JSON lines), written per chunk")->type_name("FILE");
    kld->add_option("--summary", k.summary, "write the final statistics as JSON to this file")->type_name("FILE");
    kld->add_flag("--resume", k.resume, "continue --out (and --save-base) after the chunks done");
    kld->add_flag("--exact", k.exact,
                  "both models with F32 keys and values, no flash attention: their own float32\n"
                  "arithmetic rather than llama.cpp's F16 defaults (see vl-eval --help)");
    kld->add_option("--rpc", k.rpc,
                    "HOST:PORT[,HOST:PORT...] of ggml-rpc-server workers that hold the reference's layers\n"
                    "(no authentication, no encryption: trusted private networks only)");
    kld->add_option("--gpu-layers", k.gpu_layers,
                    "reference layers to offload to the --rpc workers or other devices ggml has\n"
                    "(default: all with --rpc, none without)")
        ->check(CLI::NonNegativeNumber);
    kld->add_flag("--quiet,-q", k.quiet, "no progress output");
    kld->add_flag("--verbose,-v", k.verbose, "show llama.cpp's log");
    return kld;
}

int run(int argc, char **argv) {
    vl_eval::eval_options o;
    vl_eval::summarize_options s;
    std::vector<std::string> format_names;
    for (const auto &f : vl_eval::task_formats()) format_names.push_back(f.name);

    CLI::App app{
        "Scores every answer of multiple-choice questions with a local GGUF model and reports "
        "acc, acc_norm and acc_per_token with standard errors. Answers are scored exactly "
        "(log-probabilities through vorlenta_llama_shim), several items per batched call, and "
        "tokens that consecutive items share are decoded once. Results go to --out as one JSON line per item, written as each item "
        "finishes; --resume continues an interrupted run.",
        "vl-eval"};
    // The footer is laid out by hand.
    app.get_formatter()->enable_footer_formatting(false);
    app.footer(
        "Task files hold one JSON object a line:\n"
        "  generic    {\"id\"?, \"context\", \"choices\": [..], \"answer\": index, \"system\"?}\n"
        "  hellaswag  activity_label, ctx_a + ctx_b (or ctx), endings, label (\"\" in the test\n"
        "             split: skipped, no label); cleaned up as the common harness does\n"
        "  mmlu       question, choices, answer (index or letter), subject; scored over the\n"
        "             letters, after the subject line\n"
        "  arc        question.stem + question.choices[{text,label}], or question +\n"
        "             choices.text + choices.label; answerKey\n"
        "  winogrande sentence (with _ for the blank), option1, option2, answer (\"1\" or\n"
        "             \"2\"); each option fills the blank, and the text after it is scored\n"
        "             (see --winogrande)\n"
        "or are llama-perplexity's own, meant for --prompt raw (each answer scored as\n"
        "\" \" + answer after the context):\n"
        "  hellaswag-text  six lines a task: context, index of the right ending, 4 endings\n"
        "  mc-binary       the binary file of llama-perplexity --multiple-choice -bf\n"
        "  winogrande-csv  index,sentence,option1,option2,answer a line (--winogrande -f)\n\n"
        "Examples:\n"
        "  vl-eval -m model.gguf -t hellaswag_val.jsonl -o results.jsonl --summary summary.json\n"
        "  vl-eval -m model.gguf -t mmlu_test.jsonl --fewshot 5 --fewshot-from mmlu_dev.jsonl \\\n"
        "          --prompt raw -o r.jsonl --write-out 2\n"
        "  vl-eval -m model.gguf -t tasks.jsonl --shard 2/8 -o results-2.jsonl\n"
        "  vl-eval summarize results-*.jsonl --tasks tasks.jsonl --summary summary.json\n"
        "  vl-eval perplexity -m model.gguf -f wiki.test.raw -c 512   (see perplexity --help)\n"
        "  vl-eval kld -m model-q4_0.gguf --reference model-f16.gguf -f wiki.test.raw   (see kld --help)\n\n"
        "Results: the first line of a results file describes the evaluation (model content\n"
        "hash, format, prompt mode, window, ...); every item's line carries its run id and a\n"
        "hash of its item; --resume and summarize refuse results of another evaluation, naming\n"
        "what differs, and results of items edited since they were scored, naming their ids.\n\n"
        "Exit status: 0 done, 1 failed (a malformed line, or a failure of the library or\n"
        "the model while scoring, stops the run after the summary; nothing of the items in\n"
        "flight is written, and --resume scores them), 2 usage error, 130 interrupted with\n"
        "Ctrl-C (the summary covers the items done).");
    app.set_version_flag("--version", "vl-eval 0.5.0");
    app.add_option("--model,-m", o.model, "GGUF model file (required)")->type_name("FILE");
    app.add_option("--tasks,-t", o.tasks,
                   "task file: one JSON item per line, or llama-perplexity's HellaSwag text or "
                   "multiple-choice binary file (required)")
        ->type_name("FILE");
    app.add_option("--out,-o", o.out, "results file (JSON lines), written per item")
        ->type_name("FILE");
    app.add_option("--summary", o.summary, "write the summary as JSON to this file")
        ->type_name("FILE");
    app.add_option("--format", o.format,
                   "task file format (auto: llama-perplexity's files by their content, JSON lines "
                   "by each line's fields)")
        ->check(CLI::IsMember(format_names))
        ->capture_default_str();
    app.add_option("--prompt", o.prompt,
                   "chat: the model's chat template, answers as the assistant's words; "
                   "raw: context text continued by \" \" + answer; auto: chat when the model has a "
                   "template, except for llama-perplexity's files, which are raw text")
        ->check(CLI::IsMember({"auto", "chat", "raw"}))
        ->capture_default_str();
    app.add_option("--system", o.system, "system message of chat prompts (an item's own wins)");
    app.add_option("--preamble", o.preamble_file,
                   "file whose text goes before every item's context (few-shot examples)")
        ->type_name("FILE");
    app.add_option("--fewshot", o.task.fewshot,
                   "put N solved examples from --fewshot-from before every item, each written as "
                   "the item is and followed by a space and its right answer, separated by blank "
                   "lines (after MMLU's subject line), chosen as the common harness chooses them: "
                   "for MMLU the first N of the item's subject; otherwise N drawn at random with "
                   "the harness's generator and seed, item after item in file order (HellaSwag "
                   "and Winogrande: N + 1 drawn, the item itself dropped, the first N kept)")
        ->type_name("N");
    app.add_option("--fewshot-seed", o.task.fewshot_seed,
                   "seed of the few-shot draws (the harness's: the last of its --seed values)")
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--fewshot-from", o.task.fewshot_from,
                   "file of solved examples for --fewshot, in the task file's format (for MMLU,\n"
                   "the dev split, as the common harness uses it)")
        ->type_name("FILE");
    std::string winogrande = "harness";
    app.add_option("--winogrande", winogrande,
                   "how a filled blank is scored: harness (the text after the blank, stripped, "
                   "after a space, every token of it; acc is the harness's) or llama-perplexity "
                   "(the sentence as written, the tokens after the filled blank but the last; "
                   "acc_per_token is llama-perplexity --winogrande's score)")
        ->check(CLI::IsMember({"harness", "llama-perplexity"}))
        ->type_name("HOW")
        ->capture_default_str();
    app.add_option("--group-by", o.task.group_by,
                   "break the summary's metrics down by this top-level string field of each\n"
                   "JSON line (default: MMLU's subject, HellaSwag's activity_label)")
        ->type_name("FIELD");
    app.add_option("--write-out", o.write_out,
                   "print the prompt and every answer of the first N items exactly as they are\n"
                   "tokenized and scored (the right answer marked *), before scoring")
        ->type_name("N");
    app.add_option("--limit", o.limit, "score only the first N items (of the shard)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--resume", o.resume, "skip the items already in --out and append the rest");
    app.add_option("--ctx", o.ctx,
                   "context window in tokens; longer items are skipped (default: the longest\n"
                   "item's size, plus 512 tokens of room for batching unless --walk)")
        ->check(CLI::PositiveNumber);
    app.add_option("--threads", o.threads, "threads (default: the machine's cores)")
        ->check(CLI::PositiveNumber);
    std::string shard;
    app.add_option("--shard", shard,
                   "score shard I of N (0-based): contiguous blocks of items, each item in "
                   "exactly one shard")
        ->type_name("I/N");
    bool no_share = false;
    app.add_flag("--no-share", no_share, "decode every item from scratch (for comparisons)");
    app.add_flag("--walk", o.walk,
                 "score one item at a time, walking its answers one token per decode, as\n"
                 "vl-eval did before batched scoring (for comparisons, and as a fallback);\n"
                 "its scores differ from batched ones in the last bits, so its results are\n"
                 "kept apart from theirs");
    app.add_flag("--exact", o.exact,
                 "keep attention keys and values in F32 and turn flash attention off, so that\n"
                 "scores are the model's own float32 arithmetic (a float32 reference\n"
                 "implementation's) rather than llama.cpp's faster F16 defaults; results of\n"
                 "exact and default runs are kept apart");
    app.add_option("--rpc", o.rpc,
                   "HOST:PORT[,HOST:PORT...] of ggml-rpc-server workers that hold model layers\n"
                   "(no authentication, no encryption: trusted private networks only)");
    app.add_option("--gpu-layers", o.gpu_layers,
                   "layers to offload to the --rpc workers or other devices ggml has\n"
                   "(default: all with --rpc, none without)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--quiet,-q", o.quiet, "no progress output");
    app.add_flag("--verbose,-v", o.verbose, "show llama.cpp's log");

    CLI::App *summarize = app.add_subcommand(
        "summarize", "merge results files (shards, resumed runs) into the summary one run prints");
    summarize->add_option("results", s.results, "results files")->required();
    summarize->add_option("--summary", s.summary, "write the summary as JSON to this file");
    summarize->add_option("--tasks", s.tasks,
                          "task file: report its items that have no results, and refuse\n"
                          "results of its items edited since they were scored");
    summarize->add_option("--format", s.format, "format of --tasks")
        ->check(CLI::IsMember(format_names))
        ->capture_default_str();

    vl_eval::perplexity_options p;
    CLI::App *perplexity = app.add_subcommand(
        "perplexity",
        "the perplexity of a text file, computed as llama-perplexity -f FILE -c CTX computes it");
    perplexity->description(
        "The perplexity of a text file, computed as `llama-perplexity -f FILE -c CTX` computes it: "
        "the whole text is tokenized (the start token first where the model adds one) and cut "
        "into chunks of --ctx tokens, the last partial one dropped; each chunk is scored from its "
        "start, its first token replaced by the start token where the model adds one, and the "
        "log-probabilities of the tokens in its second half are counted. The running perplexity "
        "is printed after each chunk as [CHUNK]PPL, and at the end \"Final estimate: PPL = P "
        "+/- U\", U the standard error. The text must hold at least two chunks.");
    perplexity->get_formatter()->enable_footer_formatting(false);
    perplexity->footer(
        "--out writes a header line that describes the run (model content hash, text hash,\n"
        "--ctx, ...), then one JSON line per chunk as it is scored: chunk (from 1), tokens\n"
        "counted, nll and nll2 (sums of -log p and of its square over them), ppl (the chunk's\n"
        "own), running_ppl, and run (the header's run id; --resume refuses results of another\n"
        "run, naming what differs).\n\n"
        "Example:\n"
        "  vl-eval perplexity -m model.gguf -f wiki.test.raw -c 512 -o chunks.jsonl\n\n"
        "Exit status: 0 done, 1 failed or text too short, 2 usage error, 130 interrupted.");
    perplexity->add_option("--model,-m", p.model, "GGUF model file (required)")
        ->type_name("FILE")
        ->required();
    perplexity->add_option("--text,-f", p.text, "text file (required)")
        ->type_name("FILE")
        ->required();
    perplexity->add_option("--ctx,-c", p.ctx, "tokens a chunk")
        ->check(CLI::Range(3, 1 << 24))
        ->capture_default_str();
    perplexity->add_option("--batch,-b", p.batch,
                           "tokens a decode: batch / ctx chunks are scored together")
        ->check(CLI::Range(2, 1 << 30))
        ->capture_default_str();
    perplexity->add_option("--threads,-t", p.threads, "threads (default: the machine's cores)")
        ->check(CLI::PositiveNumber);
    perplexity->add_option("--chunks", p.chunks, "score only the first N chunks")
        ->check(CLI::PositiveNumber);
    perplexity->add_option("--out,-o", p.out, "per-chunk results (JSON lines), written per chunk")
        ->type_name("FILE");
    perplexity->add_flag("--resume", p.resume,
                         "skip the chunks already in --out and append the rest");
    perplexity->add_flag("--exact", p.exact,
                         "F32 keys and values, no flash attention: the model's own float32\n"
                         "arithmetic rather than llama.cpp's F16 defaults (see vl-eval --help)");
    perplexity->add_flag("--quiet,-q", p.quiet, "no progress output");
    perplexity->add_flag("--verbose,-v", p.verbose, "show llama.cpp's log");
    vl_eval::kld_options k;
    CLI::App *kld = add_kld_command(app, k);
    app.require_subcommand(0, 1);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // CLI11 prints the message (or the help) and has its own codes for
        // each kind of error; every usage error exits 2, as --help says.
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (summarize->parsed()) return vl_eval::run_summarize(s);
    if (perplexity->parsed()) return vl_eval::run_perplexity(p);
    if (kld->parsed()) return vl_eval::run_kld(k);
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
    if ((o.task.fewshot > 0) != !o.task.fewshot_from.empty()) {
        std::fprintf(stderr, "vl-eval: --fewshot N and --fewshot-from FILE go together\n");
        return 2;
    }
    o.share = !no_share;
    o.blanks = winogrande == "harness" ? vl_eval::blank_scoring::harness
                                       : vl_eval::blank_scoring::llama_perplexity;
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
