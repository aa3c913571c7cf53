// vl-bench: times the library's scoring paths on the benchmark-sized models.
//
//   vl-bench [--model PATH] [SECTION...]
//
// With no section named, every section runs, in the order below; with no
// model named, on the benchmark model and then, where the build made it, on
// the same shape with Qwen2's 151,936-token vocabulary.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <llama.h>

#include "bench_support.h"

namespace {

struct section {
    const char *name;
    int (*run)(const char *model_path);
};

// One line per section.
const section sections[] = {
    {"suffix", bench_suffix},
    {"sequences", bench_sequences},
    {"batch", bench_batch},
    {"sequence_batch", bench_sequence_batch},
    {"perplexity", bench_perplexity},
};

void quiet(ggml_log_level, const char *, void *) {}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: vl-bench [--model PATH] [SECTION...]\nsections:");
    for (const section &s : sections) std::fprintf(stderr, " %s", s.name);
    std::fprintf(stderr, "\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> models;
    std::vector<const section *> chosen;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--model") == 0 && i + 1 < argc) {
            models.push_back(argv[++i]);
            continue;
        }
        const section *found = nullptr;
        for (const section &s : sections)
            if (std::strcmp(argv[i], s.name) == 0) found = &s;
        if (found == nullptr) usage();
        chosen.push_back(found);
    }
    if (chosen.empty())
        for (const section &s : sections) chosen.push_back(&s);
    if (models.empty()) {
        models.push_back(VL_BENCH_MODEL);
        struct stat st{};
        if (std::strlen(VL_BENCH_QWEN_MODEL) > 0 && stat(VL_BENCH_QWEN_MODEL, &st) == 0)
            models.push_back(VL_BENCH_QWEN_MODEL);
    }

    llama_log_set(quiet, nullptr);
    int status = 0;
    for (const std::string &model : models) {
        std::printf("%smodel: %s\n", &model == &models.front() ? "" : "\n\n", model.c_str());
        for (const section *s : chosen) {
            std::printf("\n");
            std::fflush(stdout);
            if (s->run(model.c_str()) != 0) status = 1;
            std::fflush(stdout);
        }
    }
    return status;
}
