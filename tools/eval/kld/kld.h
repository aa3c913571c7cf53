// `vl-eval kld`: how far a model's next-token distributions are from a
// reference's over a text, with llama-perplexity --kl-divergence's chunks,
// statistics and output. The reference is a second model loaded beside the
// first (its layers on remote workers with --rpc), walked through each chunk
// in step with it, so that no base file is needed; or llama-perplexity's
// --kl-divergence-base file, read chunk by chunk. --save-base writes that
// file from the reference, alone or while comparing.
#pragma once

#include <string>

namespace vl_eval {

struct kld_options {
    std::string model;      // the model compared; empty: only --save-base
    std::string reference;  // the reference model, or
    std::string base;       // llama-perplexity's base file
    std::string text;       // needed with --reference; checked against the base's tokens
    std::string save_base;  // write the reference's base file here
    std::string out;        // per-chunk results (JSON lines); empty: none
    std::string summary;    // the final statistics as JSON
    int ctx = 0;            // tokens a chunk; 0: 512, or a base file's own
    int batch = 2048;       // tokens a decode, and rows held at once per model
    int threads = 0;        // 0: the machine's cores
    long chunks = 0;        // 0: every whole chunk
    std::string rpc;        // workers for the reference's layers
    int gpu_layers = -1;    // the reference's offloaded layers; -1: all with --rpc
    bool exact = false;     // both models with F32 keys and values, no flash attention
    bool resume = false;
    bool quiet = false;
    bool verbose = false;
};

// Exit status: 0 done, 1 failed (a text shorter than one chunk included),
// 2 a usage error, 130 interrupted.
int run_kld(const kld_options &options);

}  // namespace vl_eval
