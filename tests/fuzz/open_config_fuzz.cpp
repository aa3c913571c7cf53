// vl_llama_open with fuzzed configurations: every value the library passes
// on to llama.cpp, the negative and huge ones included. llama.cpp aborts on
// some configurations instead of failing; the library must refuse those
// first. A runtime that opens must then serve requests that fit its limits,
// and refuse (not abort on) a prompt one token longer than its n_batch.
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include <llama.h>

#include "common/check.h"
#include "common/fixture_runtime.h"
#include "common/input_reader.h"
#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

using namespace vl_fuzz;

namespace {

// Window, batch and sequence values around llama.cpp's edges. Huge windows
// and batches are left out: llama.cpp then allocates (and touches) memory in
// proportion before it fails, tens of seconds and gigabytes per open, and
// n_ctx 2^30 with n_batch -1 had the process killed for memory on a 23 GB
// machine. The negative window kept here, -1, wraps to 0 in llama.cpp's
// rounding up to a multiple of 256 and fails at once.
const std::int32_t windows[] = {0,   1,   2,   3,   4,   8,    16,   17,   31,   32,  33,
                                63,  64,  65,  255, 256, 257,  511,  512,  513,  768, 1024,
                                2048, 4096, 8192, -1};
const std::int32_t batches[] = {0,  1,  2,   3,   4,   5,   7,   8,    15,   16,   17,   31,  32,
                                33, 63, 64,  65,  127, 128, 255, 256,  257,  511,  512,  513, 1024,
                                2048, 4096, 8192};
const std::int32_t sequences[] = {0,  1,  2,  3,   4,   5,   7,   8,   15, 16,        17,
                                  32, 63, 64, 255, 256, 257, 300, -1, -2, INT32_MIN, INT32_MAX};
const std::int32_t layers[] = {0, 1, -1, 99};
const std::int32_t threads[] = {1, 2, 0, -3};

template <class T, std::size_t N>
T pick(input_reader &in, const T (&values)[N]) {
    return values[in.u8() % N];
}

std::vector<std::uint32_t> prompt_of(std::size_t n) {
    std::vector<std::uint32_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = 300 + static_cast<std::uint32_t>((i * 7) % 97);
    return ids;
}

// What a runtime that opened must do within its limits.
void exercise(vl_llama_runtime *rt) {
    VL_FUZZ_CHECK(rt->n_seq_max >= 2, "at least two sequences");
    VL_FUZZ_CHECK(rt->n_batch >= 1 && rt->n_ctx >= 1, "a batch and a window");
    char err[128] = "";
    const std::uint32_t cands[2] = {5, 6};
    float out[2];

    const std::size_t n = std::min<std::size_t>({rt->n_batch, rt->n_ctx, 8});
    const std::vector<std::uint32_t> prompt = prompt_of(n);
    VL_FUZZ_CHECK(vl_llama_score_next(rt, prompt.data(), n, cands, 2, out, err, sizeof err) == 0, err);

    // One token more than a decode may carry is refused, not aborted on.
    if (rt->n_batch < 2048) {
        const std::vector<std::uint32_t> longer = prompt_of(rt->n_batch + 1);
        VL_FUZZ_CHECK(vl_llama_score_next(rt, longer.data(), longer.size(), cands, 2, out, err, sizeof err) == -1 &&
                          std::strcmp(err, "llama_decode failed") == 0,
                      "a prompt beyond n_batch is refused");
    }

    // A prefix, then candidate sequences after it and after a prompt.
    if (n >= 2) {
        VL_FUZZ_CHECK(vl_llama_prefill_shared(rt, prompt.data(), n - 1, err, sizeof err) == 0, err);
        const std::uint32_t book[] = {300, 301, 300, 302, 303};
        const std::size_t offsets[] = {0, 2, 4, 5};
        float scores[3];
        VL_FUZZ_CHECK(vl_llama_score_suffix_sequences(rt, prompt.data() + n - 1, 1, book, offsets, 3, scores,
                                                      err, sizeof err) == 0 ||
                          std::strcmp(err, "candidate sequence exceeds llama.cpp context window") == 0,
                      err);
        VL_FUZZ_CHECK(vl_llama_score_sequences(rt, prompt.data(), n, book, offsets, 3, scores, err, sizeof err) == 0 ||
                          std::strcmp(err, "candidate sequence exceeds llama.cpp context window") == 0,
                      err);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (std::getenv("VL_FUZZ_LOG") == nullptr) llama_log_set(quiet_log, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    input_reader in(data, size);
    vl_llama_config config{};
    config.n_ctx = pick(in, windows);
    config.n_batch = pick(in, batches);
    config.n_seq_max = pick(in, sequences);
    config.n_gpu_layers = pick(in, layers);
    config.n_threads = pick(in, threads);
    config.n_threads_batch = pick(in, threads);

    char err[128] = "";
    vl_llama_runtime *rt = vl_llama_open(VL_FIXTURE_DIR "/chatml.gguf", &config, err, sizeof err);
    if (rt == nullptr) {
        VL_FUZZ_CHECK(std::strcmp(err, "llama_init_from_model failed") == 0, "only the context can be refused");
        return 0;
    }
    exercise(rt);
    vl_llama_close(rt);
    return 0;
}
