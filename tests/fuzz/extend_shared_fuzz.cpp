// vl_llama_extend_shared with any tokens, row range and row buffer a host
// may pass, after a prefix of any length (none included), extending it or
// restarting, up to past the window. A refusal must be the first rule a plain reading finds broken and
// leave the prefix as it was; a success must grow the prefix by the tokens
// and give rows that are log-softmax rows (finite, their probabilities
// summing to 1).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <llama.h>

#include "common/check.h"
#include "common/fixture_target.h"
#include "common/host_inputs.h"
#include "common/input_reader.h"
#include "common/prefix_state.h"
#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

using namespace vl_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    vl_llama_runtime *rt = fixture_runtime();
    const std::uint32_t n_vocab = static_cast<std::uint32_t>(llama_vocab_n_tokens(rt->vocab));
    input_reader in(data, size);

    const std::uint8_t mode = in.u8();
    const std::size_t prefix_len = mode & 8 ? 1 + in.u16() % 260 : 0;
    char err[256] = "";
    {
        // A fresh state: no prefix, then the one asked for, longer than one
        // prefill takes.
        VL_FUZZ_CHECK(retain_prefix_or_reset(rt, 0), "no prefix");
        std::vector<std::uint32_t> prefix(std::min<std::size_t>(prefix_len, rt->n_ctx));
        for (std::size_t k = 0; k < prefix.size(); ++k) prefix[k] = 40 + static_cast<std::uint32_t>(k % 50);
        if (!prefix.empty())
            VL_FUZZ_CHECK(vl_llama_extend_shared(rt, prefix.data(), prefix.size(), 1, prefix.size(), nullptr, 0, err,
                                                 sizeof err) == 0,
                          "the prefix");
    }
    const bool had = rt->has_shared_prefix;
    const std::size_t before = rt->shared_prefix_len;
    const std::vector<float> kept = rt->shared_logits;
    const llama_pos last_before = llama_memory_seq_pos_max(llama_get_memory(rt->ctx), 0);

    const std::size_t count = in.u8() % 2 ? in.u8() % 12 : in.u16() % 300;
    const std::vector<std::uint32_t> ids = read_alphabet_ids(in, count, n_vocab, 7);
    const std::size_t rows_from = in.u8() % 2 ? count - std::min<std::size_t>(count, in.u8() % 4) : in.u16();
    const std::size_t n_rows = rows_from < count ? count - rows_from : 0;
    const std::uint8_t cap_mode = in.u8();
    const std::size_t cap = cap_mode % 4 == 0 && n_rows > 0 ? n_rows * n_vocab - 1 : n_rows * n_vocab;
    const bool null_tokens = (mode & 1) != 0 && (mode & 2) != 0, null_rows = (mode & 4) != 0;
    const bool restart = (mode & 32) != 0;
    const std::size_t kept_len = restart ? 0 : before;

    std::unique_ptr<std::uint32_t[]> tokens(new std::uint32_t[count]);
    std::copy(ids.begin(), ids.end(), tokens.get());
    std::unique_ptr<float[]> rows(new float[std::max<std::size_t>(cap, 1)]);
    std::fill(rows.get(), rows.get() + std::max<std::size_t>(cap, 1), 7.0f);

    // The first rule the request breaks, in the documented order.
    const char *expected = nullptr;
    if (null_tokens || count == 0 || (n_rows > 0 && null_rows)) expected = "invalid prefix extension arguments";
    else if (std::any_of(ids.begin(), ids.end(), [](std::uint32_t id) { return id > 2147483647u; }))
        expected = "token id exceeds llama.cpp range";
    else if (std::any_of(ids.begin(), ids.end(), [&](std::uint32_t id) { return id >= n_vocab; }))
        expected = "token exceeds vocabulary size";
    else if (cap < n_rows * n_vocab) expected = "row output buffer is too small";
    else if (kept_len + count > rt->n_ctx) expected = "tokens do not fit the context window";

    std::strcpy(err, "");
    const std::int32_t rc = vl_llama_extend_shared(rt, null_tokens ? nullptr : tokens.get(), count, restart, rows_from,
                                                   null_rows ? nullptr : rows.get(), cap, err, sizeof err);
    llama_memory_t memory = llama_get_memory(rt->ctx);
    if (expected != nullptr) {
        VL_FUZZ_CHECK(rc == -1 && std::strcmp(err, expected) == 0, "the first broken rule's message");
        VL_FUZZ_CHECK(rows[0] == 7.0f, "a refused request writes no row");
        VL_FUZZ_CHECK(rt->has_shared_prefix == had && rt->shared_prefix_len == before, "the prefix is kept");
        VL_FUZZ_CHECK(rt->shared_logits == kept, "the kept row is kept");
        VL_FUZZ_CHECK(llama_memory_seq_pos_max(memory, 0) == last_before, "sequence 0 kept");
    } else {
        VL_FUZZ_CHECK(rc == 0, "a valid request extends");
        VL_FUZZ_CHECK(rt->has_shared_prefix && rt->shared_prefix_len == kept_len + count, "the prefix grew");
        VL_FUZZ_CHECK(llama_memory_seq_pos_max(memory, 0) == static_cast<llama_pos>(kept_len + count) - 1,
                      "sequence 0 holds the prefix");
        for (std::size_t r = 0; r < n_rows; ++r) {
            double total = 0;
            for (std::size_t v = 0; v < n_vocab; ++v) {
                const float x = rows[r * n_vocab + v];
                VL_FUZZ_CHECK(std::isfinite(x) && x <= 1e-3f, "a log-probability");
                total += std::exp(static_cast<double>(x));
            }
            VL_FUZZ_CHECK(std::fabs(total - 1.0) < 1e-3, "a row's probabilities sum to 1");
        }
    }
    return 0;
}
