// vl-bench: times the library's scoring paths on the benchmark-sized model.
//
//   vl-bench [--model PATH] [SECTION...]
//
// With no section named, every section runs, in the order below.
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    const char *model = VL_BENCH_MODEL;
    std::vector<const section *> chosen;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--model") == 0 && i + 1 < argc) {
            model = argv[++i];
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

    llama_log_set(quiet, nullptr);
    std::printf("model: %s\n", model);
    int status = 0;
    for (const section *s : chosen) {
        std::printf("\n");
        std::fflush(stdout);
        if (s->run(model) != 0) status = 1;
        std::fflush(stdout);
    }
    return status;
}
