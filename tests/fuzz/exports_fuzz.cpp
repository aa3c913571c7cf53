// The exports on the fixture model, driven by a fuzzed sequence of calls with
// fuzzed ids, offsets, counts, null pointers and buffer sizes, all within
// what a host promises (arrays as long as their counts and last offsets say).
//
// After every call: the status is 0 or -1, the error buffer follows the
// convention, successful outputs are what the context computed, scratch
// sequences are empty and the shared-prefix state is consistent. After every
// input: the runtime still gives the reference answers computed at start-up.
#include <cmath>
#include <cstring>
#include <vector>

#include <llama.h>

#include "common/check.h"
#include "common/fixture_runtime.h"
#include "common/host_inputs.h"
#include "common/input_reader.h"
#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

using namespace vl_fuzz;

namespace {

// A token array as a host passes it: exact length, or a null pointer, or a
// count beyond the llama.cpp range with a short array behind it (only where
// such a count is refused before anything is read).
struct token_array {
    std::vector<std::uint32_t> ids;
    const std::uint32_t *ptr = nullptr;
    std::size_t count = 0;
};

token_array read_tokens(input_reader &in, std::int32_t n_vocab, std::size_t max, bool huge_ok) {
    token_array a;
    const std::uint8_t mode = in.u8();
    a.ids = read_ids(in, in.u8() % (max + 1), n_vocab);
    a.ptr = a.ids.data();
    a.count = a.ids.size();
    if (mode % 16 == 0) a.ptr = nullptr;
    if (mode % 16 == 1 && huge_ok && !a.ids.empty()) a.count = 2147483648u + in.u8();
    return a;
}

struct harness {
    vl_llama_runtime *rt = nullptr;
    std::int32_t n_vocab = 0;
    // The reference request, and its answers on a fresh runtime.
    std::vector<std::uint32_t> prompt, candidates;
    std::vector<float> next_logits, prefix_row;
};

const float *last_row(vl_llama_runtime *rt) { return llama_get_logits_ith(rt->ctx, -1); }

// Scratch sequences are empty between calls, and the shared-prefix fields
// agree with each other and with sequence 0.
void check_state(const harness &h) {
    vl_llama_runtime *rt = h.rt;
    llama_memory_t mem = llama_get_memory(rt->ctx);
    for (llama_seq_id s = 1; s < static_cast<llama_seq_id>(rt->n_seq_max); ++s)
        VL_FUZZ_CHECK(llama_memory_seq_pos_max(mem, s) == -1, "scratch sequence empty after a call");
    if (rt->has_shared_prefix) {
        VL_FUZZ_CHECK(rt->shared_prefix_len >= 1, "a retained prefix has tokens");
        VL_FUZZ_CHECK(rt->shared_logits.size() == static_cast<std::size_t>(h.n_vocab), "one kept logit per vocabulary entry");
        VL_FUZZ_CHECK(llama_memory_seq_pos_min(mem, 0) == 0 &&
                          llama_memory_seq_pos_max(mem, 0) == static_cast<llama_pos>(rt->shared_prefix_len) - 1,
                      "sequence 0 holds exactly the retained prefix");
    } else {
        VL_FUZZ_CHECK(rt->shared_prefix_len == 0 && rt->shared_logits.empty(), "no prefix, no prefix fields");
    }
}

bool same_bits(const std::vector<float> &a, const float *b) {
    return std::memcmp(a.data(), b, a.size() * sizeof(float)) == 0;
}

// ---- one fuzzed call per export ---------------------------------------------

void fuzz_score_next(harness &h, vl_llama_runtime *rt, input_reader &in) {
    token_array prompt = read_tokens(in, h.n_vocab, 90, true);
    token_array cands = read_tokens(in, h.n_vocab, 10, false);
    std::vector<float> out(cands.count);
    error_buffer err(in);
    const std::int32_t s = vl_llama_score_next(rt, prompt.ptr, prompt.count, cands.ptr, cands.count,
                                               out.data(), err.err(), err.cap());
    VL_FUZZ_CHECK(s == 0 || s == -1, "status 0 or -1");
    err.check(s != 0);
    if (s == 0) {
        VL_FUZZ_CHECK(!h.rt->has_shared_prefix, "score_next discards the prefix");
        const float *row = last_row(h.rt);
        for (std::size_t j = 0; j < cands.count; ++j)
            VL_FUZZ_CHECK(std::memcmp(&out[j], &row[cands.ids[j]], sizeof(float)) == 0,
                          "each candidate gets its entry of the last row");
    }
}

void fuzz_prefill(harness &h, vl_llama_runtime *rt, input_reader &in) {
    token_array prefix = read_tokens(in, h.n_vocab, 90, true);
    error_buffer err(in);
    const std::int32_t s = vl_llama_prefill_shared(rt, prefix.ptr, prefix.count, err.err(), err.cap());
    VL_FUZZ_CHECK(s == 0 || s == -1, "status 0 or -1");
    err.check(s != 0);
    if (s == 0) {
        VL_FUZZ_CHECK(h.rt->has_shared_prefix && h.rt->shared_prefix_len == prefix.count, "prefix retained");
        VL_FUZZ_CHECK(same_bits(h.rt->shared_logits, last_row(h.rt)), "kept logits are the last row");
    }
}

void fuzz_encode_chat(harness &h, vl_llama_runtime *rt, input_reader &in) {
    const std::uint8_t nulls = in.u8();
    const std::string system = read_text(in, 40), user = read_text(in, 80), prefix = read_text(in, 20);
    const char *sys_p = (nulls & 1) ? nullptr : system.c_str();
    const char *user_p = (nulls & 2) && (nulls & 4) ? nullptr : user.c_str();
    const char *prefix_p = (nulls & 8) ? nullptr : prefix.c_str();
    const bool query = (nulls & 16) != 0;
    const std::size_t cap = query ? 0 : in.u8();
    std::vector<std::uint32_t> out(cap);
    error_buffer err(in);
    const std::int64_t n = vl_llama_encode_chat(rt, sys_p, user_p, prefix_p, query ? nullptr : out.data(),
                                                cap, err.err(), err.cap());
    VL_FUZZ_CHECK(n >= -1, "a count or -1");
    err.check(n < 0);
    if (n >= 0 && !query && cap != 0) {
        VL_FUZZ_CHECK(static_cast<std::size_t>(n) <= cap, "ids fit the buffer");
        for (std::int64_t i = 0; i < n; ++i)
            VL_FUZZ_CHECK(out[static_cast<std::size_t>(i)] < static_cast<std::uint32_t>(h.n_vocab), "ids in the vocabulary");
        const std::int64_t sized = vl_llama_encode_chat(rt, sys_p, user_p, prefix_p, nullptr, 0, nullptr, 0);
        VL_FUZZ_CHECK(sized == n, "the size query gives the filled count");
    }
}

void fuzz_decode_tokens(harness &h, vl_llama_runtime *rt, input_reader &in) {
    token_array ids = read_tokens(in, h.n_vocab, 40, true);
    const bool query = (in.u8() & 3) == 0;
    const std::size_t cap = query ? 0 : in.u16() % 700;
    std::vector<char> out(cap);
    error_buffer err(in);
    const std::int64_t n = vl_llama_decode_tokens(rt, ids.ptr, ids.count, query ? nullptr : out.data(),
                                                  cap, err.err(), err.cap());
    VL_FUZZ_CHECK(n >= -1, "a length or -1");
    err.check(n < 0);
    if (n >= 0 && !query && cap != 0) {
        VL_FUZZ_CHECK(static_cast<std::size_t>(n) < cap && out[static_cast<std::size_t>(n)] == '\0',
                      "text and its NUL fit the buffer");
        const std::int64_t sized = vl_llama_decode_tokens(rt, ids.ptr, ids.count, nullptr, 0, nullptr, 0);
        VL_FUZZ_CHECK(sized == n, "the size query gives the written length");
    }
}

void fuzz_model_desc(harness &, vl_llama_runtime *rt, input_reader &in) {
    const std::size_t cap = in.u16() % 600;
    std::vector<char> out(cap, '#');
    error_buffer err(in);
    const std::int64_t n = vl_llama_model_desc(rt, cap ? out.data() : nullptr, cap, err.err(), err.cap());
    VL_FUZZ_CHECK(n >= -1 && n < 512, "a length below 512 or -1");
    err.check(n < 0);
    if (n >= 0 && static_cast<std::size_t>(n) < cap)
        VL_FUZZ_CHECK(out[static_cast<std::size_t>(n)] == '\0', "description NUL-terminated");
    if (n >= 0 && static_cast<std::size_t>(n) >= cap)
        for (char c : out) VL_FUZZ_CHECK(c == '#', "a short buffer is left untouched");
}

using fuzzed_call = void (*)(harness &, vl_llama_runtime *, input_reader &);
const fuzzed_call calls[] = {fuzz_score_next, fuzz_prefill, fuzz_encode_chat, fuzz_decode_tokens,
                             fuzz_model_desc};
constexpr std::size_t n_calls = sizeof calls / sizeof calls[0];

// ---- the reference request ------------------------------------------------

void reference_calls(harness &h, std::vector<float> &next, std::vector<float> &row) {
    char err[128] = "";
    next.assign(h.candidates.size(), 0.0f);
    VL_FUZZ_CHECK(vl_llama_score_next(h.rt, h.prompt.data(), h.prompt.size(), h.candidates.data(),
                                      h.candidates.size(), next.data(), err, sizeof err) == 0,
                  err);
    VL_FUZZ_CHECK(vl_llama_prefill_shared(h.rt, h.prompt.data(), h.prompt.size(), err, sizeof err) == 0, err);
    row = h.rt->shared_logits;
}

harness make_harness() {
    harness h;
    h.rt = open_fixture_runtime();
    h.n_vocab = llama_vocab_n_tokens(h.rt->vocab);
    for (std::uint32_t i = 0; i < 12; ++i) h.prompt.push_back(300 + (i * 7) % 97);
    h.candidates = {5, 301, 302, static_cast<std::uint32_t>(h.n_vocab - 1)};
    reference_calls(h, h.next_logits, h.prefix_row);
    return h;
}

harness &the_harness() {
    static harness h = make_harness();
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    the_harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    harness &h = the_harness();
    input_reader in(data, size);
    for (int call = 0; call < 8 && !in.empty(); ++call) {
        const std::uint8_t op = in.u8();
        // One call in eight is made without a runtime.
        vl_llama_runtime *rt = (op & 0xE0) == 0xE0 ? nullptr : h.rt;
        calls[(op & 0x1F) % n_calls](h, rt, in);
        check_state(h);
    }
    // Whatever came before, the next valid calls give the reference answers.
    std::vector<float> next, row;
    reference_calls(h, next, row);
    VL_FUZZ_CHECK(same_bits(next, h.next_logits.data()), "score_next gives the reference logits");
    VL_FUZZ_CHECK(row.size() == h.prefix_row.size() && same_bits(row, h.prefix_row.data()),
                  "prefill keeps the reference row");
    return 0;
}
