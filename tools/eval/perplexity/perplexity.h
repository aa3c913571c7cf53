// `vl-eval perplexity`: the perplexity of a text file as `llama-perplexity -f
// FILE -c CTX` computes it, every counted token scored by the library's
// teacher forcing, with per-chunk results written as they are made.
#pragma once

#include <string>

namespace vl_eval {

struct perplexity_options {
    std::string model;
    std::string text;     // the text file
    std::string out;      // per-chunk results (JSON lines); empty: none
    int ctx = 512;        // tokens a chunk
    int batch = 2048;     // tokens a decode: batch / ctx chunks go in one call
    int threads = 0;      // 0: the machine's cores
    long chunks = 0;      // 0: every whole chunk of the text
    bool resume = false;
    bool exact = false;   // F32 keys and values, no flash attention
    bool quiet = false;
    bool verbose = false;
};

// Exit status: 0 done, 1 failed (also a text shorter than two chunks), 2
// --resume without --out, 130 interrupted.
int run_perplexity(const perplexity_options &options);

}  // namespace vl_eval
