// A small host of the library: opens a model and ranks candidate next tokens
// after a prompt.
//
//   vl-demo [--model PATH]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <llama.h>

#include "vorlenta_llama_shim.h"

namespace {

void quiet(ggml_log_level, const char *, void *) {}

}  // namespace

int main(int argc, char **argv) {
    std::string model = VL_DEFAULT_MODEL;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--model") == 0 && i + 1 < argc) {
            model = argv[++i];
        } else {
            std::fprintf(stderr, "usage: vl-demo [--model PATH]\n");
            return 2;
        }
    }
    // A host may silence llama.cpp before its first open; the library never logs.
    llama_log_set(quiet, nullptr);

    vl_llama_config config = {0, 0, 0, 0, 2, 2};
    config.n_ctx = 1024;
    char err[256];
    vl_llama_runtime *runtime = vl_llama_open(model.c_str(), &config, err, sizeof err);
    if (runtime == nullptr) {
        std::fprintf(stderr, "vl-demo: cannot open %s: %s\n", model.c_str(), err);
        return 1;
    }

    const uint32_t prompt[] = {1, 300, 301, 302, 303};
    std::vector<uint32_t> candidates;
    for (uint32_t id = 280; id < 300; ++id) candidates.push_back(id);
    std::vector<float> logits(candidates.size());
    if (vl_llama_score_next(runtime, prompt, sizeof prompt / sizeof prompt[0], candidates.data(),
                            candidates.size(), logits.data(), err, sizeof err) != 0) {
        std::fprintf(stderr, "vl-demo: scoring failed: %s\n", err);
        vl_llama_close(runtime);
        return 1;
    }
    std::vector<size_t> order(candidates.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return logits[a] > logits[b]; });
    std::printf("model: %s\n", model.c_str());
    std::printf("rank  token  logit\n");
    for (size_t r = 0; r < order.size(); ++r)
        std::printf("%4zu  %5u  %9.4f\n", r + 1, candidates[order[r]], logits[order[r]]);
    vl_llama_close(runtime);
    return 0;
}
