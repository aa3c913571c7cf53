// One evaluation run: read the task file, size and open the model, score the
// selected items (several per library call, or one by one with --walk) into
// the results file, and summarize.
#pragma once

#include <string>
#include <vector>

#include "prompts/prompts.h"
#include "tasks/task_options.h"

namespace vl_eval {

struct eval_options {
    std::string model;
    std::string tasks;
    std::string out;       // results file; empty: none
    std::string summary;   // JSON summary file; empty: none
    std::string format = "auto";
    std::string prompt = "auto";  // auto, chat or raw
    std::string system;
    std::string preamble_file;
    long limit = 0;        // 0: all items
    bool resume = false;
    int ctx = 0;           // 0: sized from the longest item of the task file
    int threads = 0;       // 0: the machine's cores
    bool quiet = false;
    bool verbose = false;
    bool share = true;
    bool walk = false;     // score item by item with the trie walk, not in batches
    bool exact = false;    // F32 keys and values, no flash attention
    unsigned shard_index = 0;
    unsigned shard_count = 1;
    std::string rpc;       // ggml-rpc-server workers, "HOST:PORT[,HOST:PORT...]"; empty: none
    int gpu_layers = -1;   // layers to offload; -1: all with rpc workers, none without
    task_options task;     // --group-by, --fewshot, --fewshot-from, --fewshot-seed
    blank_scoring blanks = blank_scoring::harness;  // --winogrande
    std::size_t write_out = 0;  // items whose prompts are printed before scoring
};

// Exit status: 0 done, 1 failed or stopped by a malformed line, 2 options that
// do not go together (--resume without --out), 130 interrupted.
int run_evaluation(const eval_options &options);

// Parses "I/N" (0 <= I < N); returns an error, empty on success.
std::string parse_shard(const std::string &text, unsigned &index, unsigned &count);

// The items [begin, end) of shard index of count over n items: contiguous
// blocks, every item in exactly one shard.
void shard_range(std::size_t n, unsigned index, unsigned count, std::size_t &begin,
                 std::size_t &end);

}  // namespace vl_eval
