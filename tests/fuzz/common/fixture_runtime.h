// The runtime the fuzz targets share: the fixture model, opened once per
// process with llama.cpp's log silenced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <llama.h>

#include "vorlenta_llama_shim.h"

namespace vl_fuzz {

inline void quiet_log(ggml_log_level, const char *, void *) {}

// The smallest window llama.cpp makes (256), with a batch as large, so that
// inputs beyond either are cheap to reach; four sequences, so that the batch
// scorers have room for several tasks.
inline vl_llama_config fuzz_config() {
    vl_llama_config config{};
    config.n_ctx = 256;
    config.n_batch = 256;
    config.n_seq_max = 4;
    config.n_threads = 1;
    config.n_threads_batch = 1;
    return config;
}

// Opens the chatml fixture or ends the process: without it nothing can run.
inline vl_llama_runtime *open_fixture_runtime(const vl_llama_config &config = fuzz_config()) {
    if (std::getenv("VL_FUZZ_LOG") == nullptr) llama_log_set(quiet_log, nullptr);
    char err[256] = "";
    vl_llama_runtime *runtime = vl_llama_open(VL_FIXTURE_DIR "/chatml.gguf", &config, err, sizeof err);
    if (runtime == nullptr) {
        std::fprintf(stderr, "cannot open the fixture model: %s\n", err);
        std::abort();
    }
    return runtime;
}

// The fixture runtime the targets that score share: opened on first use,
// kept for the life of the process.
inline vl_llama_runtime *fixture_runtime() {
    static vl_llama_runtime *runtime = open_fixture_runtime();
    return runtime;
}

// Retains a prefix of prefix_len tokens (40, 41, ...), or with 0 leaves the
// runtime without one (a resetting call), as a fuzz input chose.
inline bool retain_prefix_or_reset(vl_llama_runtime *runtime, std::size_t prefix_len) {
    char err[256] = "";
    if (prefix_len == 0) {
        const std::uint32_t one = 1, ids[2] = {3, 4};
        float ignored[2];
        return vl_llama_score_next(runtime, &one, 1, ids, 2, ignored, err, sizeof err) == 0;
    }
    std::uint32_t prefix[8];
    for (std::size_t k = 0; k < prefix_len && k < 8; ++k) prefix[k] = 40 + static_cast<std::uint32_t>(k);
    return vl_llama_prefill_shared(runtime, prefix, prefix_len, err, sizeof err) == 0;
}

}  // namespace vl_fuzz
