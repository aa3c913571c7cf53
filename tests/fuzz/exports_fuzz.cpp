// The exports on the fixture model, driven by a fuzzed sequence of calls with
// fuzzed ids, offsets, counts, null pointers and buffer sizes, all within
// what a host promises (arrays as long as their counts and last offsets say).
//
// After every call: the status is 0 or -1, the error buffer follows the
// convention, successful outputs are what the context computed, scratch
// sequences are empty and the shared-prefix state is consistent. After every
// input: the runtime still gives the reference answers computed at start-up.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
// such a count is refused before anything is read). Context arrays are now
// and then 200 to 300 long, around the window and batch of 256.
struct token_array {
    std::vector<std::uint32_t> ids;
    const std::uint32_t *ptr = nullptr;
    std::size_t count = 0;
};

token_array read_tokens(input_reader &in, std::int32_t n_vocab, std::size_t max, bool context) {
    token_array a;
    const std::uint8_t mode = in.u8();
    const std::uint8_t length = in.u8();
    const bool long_one = context && mode % 16 == 2;
    a.ids = read_ids(in, long_one ? 200 + length % 101 : length % (max + 1), n_vocab);
    a.ptr = a.ids.data();
    a.count = a.ids.size();
    if (mode % 16 == 0) a.ptr = nullptr;
    if (mode % 16 == 1 && context && !a.ids.empty()) a.count = 2147483648u + in.u8();
    return a;
}

struct harness {
    vl_llama_runtime *rt = nullptr;
    std::int32_t n_vocab = 0;
    // The reference request, and its answers on a fresh runtime.
    std::vector<std::uint32_t> prompt, suffix, candidates;
    std::vector<std::uint32_t> batch_tokens, batch_candidates, codebook;
    std::vector<std::size_t> batch_token_offsets, batch_candidate_offsets, codebook_offsets;
    std::vector<std::vector<float>> answers;
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
    return a.empty() || std::memcmp(a.data(), b, a.size() * sizeof(float)) == 0;
}

// The shared-prefix state and sequence 0, which the suffix scorers only read.
struct prefix_snapshot {
    bool has;
    std::size_t len;
    std::vector<float> kept;
    llama_pos seq0_max;
    explicit prefix_snapshot(vl_llama_runtime *rt)
        : has(rt->has_shared_prefix), len(rt->shared_prefix_len), kept(rt->shared_logits),
          seq0_max(llama_memory_seq_pos_max(llama_get_memory(rt->ctx), 0)) {}
    bool operator==(const prefix_snapshot &o) const {
        return has == o.has && len == o.len && seq0_max == o.seq0_max && kept.size() == o.kept.size() &&
               same_bits(kept, o.kept.data());
    }
};

// A flat array cut by offsets, as the batch and sequence exports take it.
struct flat_array {
    std::size_t count = 0;
    std::vector<std::size_t> offsets;
    std::unique_ptr<std::uint32_t[]> ids;
    std::size_t length = 0;  // entries behind ids
};

// Items of ids cut by fuzzed offsets; false when the last offset asks for an
// array longer than the fuzzer makes.
bool read_flat(input_reader &in, std::int32_t n_vocab, std::size_t count, unsigned max_step,
               std::uint32_t alphabet, flat_array &a) {
    a.count = count;
    a.offsets = read_offsets(in, count, max_step);
    a.length = a.offsets[count];
    if (a.length > 2048) return false;
    a.ids.reset(new std::uint32_t[a.length]);
    for (std::size_t k = 0; k < a.length; ++k) {
        const std::uint32_t id = read_id(in, n_vocab);
        // A small alphabet makes shared prefixes and duplicates common.
        a.ids[k] = alphabet != 0 && id < static_cast<std::uint32_t>(n_vocab) ? 300 + id % alphabet : id;
    }
    return true;
}

// log-softmax of one row at one entry, in double precision.
double log_softmax(const std::vector<float> &row, std::uint32_t id) {
    double max = row[0];
    for (float v : row) max = std::max(max, static_cast<double>(v));
    double sum = 0.0;
    for (float v : row) sum += std::exp(static_cast<double>(v) - max);
    return static_cast<double>(row[id]) - max - std::log(sum);
}

// With VL_FUZZ_TRACE set, each call prints its outcome: a way to see what a
// corpus file reaches.
void trace(const char *call, long long result, const error_buffer &err) {
    static const bool on = std::getenv("VL_FUZZ_TRACE") != nullptr;
    if (on) std::fprintf(stderr, "%s -> %lld %s\n", call, result, result < 0 ? err.message().c_str() : "");
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
    trace("score_next", s, err);
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
    trace("prefill_shared", s, err);
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
    trace("encode_chat", n, err);
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
    trace("decode_tokens", n, err);
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
    trace("model_desc", n, err);
    if (n >= 0 && static_cast<std::size_t>(n) < cap)
        VL_FUZZ_CHECK(out[static_cast<std::size_t>(n)] == '\0', "description NUL-terminated");
    if (n >= 0 && static_cast<std::size_t>(n) >= cap)
        for (char c : out) VL_FUZZ_CHECK(c == '#', "a short buffer is left untouched");
}

void fuzz_score_suffix(harness &h, vl_llama_runtime *rt, input_reader &in) {
    token_array suffix = read_tokens(in, h.n_vocab, 90, true);
    token_array cands = read_tokens(in, h.n_vocab, 10, false);
    std::vector<float> out(cands.count);
    error_buffer err(in);
    const prefix_snapshot before(h.rt);
    const std::int32_t s = vl_llama_score_suffix(rt, suffix.ptr, suffix.count, cands.ptr, cands.count,
                                                 out.data(), err.err(), err.cap());
    VL_FUZZ_CHECK(s == 0 || s == -1, "status 0 or -1");
    err.check(s != 0);
    trace("score_suffix", s, err);
    VL_FUZZ_CHECK(prefix_snapshot(h.rt) == before, "the suffix scorer leaves the prefix as it was");
    if (s == 0) {
        const float *row = suffix.count == 0 ? h.rt->shared_logits.data() : last_row(h.rt);
        for (std::size_t j = 0; j < cands.count; ++j)
            VL_FUZZ_CHECK(std::memcmp(&out[j], &row[cands.ids[j]], sizeof(float)) == 0,
                          "each candidate gets its entry of the row after the suffix");
    }
}

// Both batch exports, with fuzzed counts and offsets; the arrays are as long
// as the last offsets say.
void fuzz_batch(harness &h, vl_llama_runtime *rt, input_reader &in) {
    const std::uint8_t mode = in.u8();
    const bool suffix = (mode & 1) == 0;
    const std::size_t count = in.u8() % 6;
    flat_array tokens, cands;
    if (!read_flat(in, h.n_vocab, count, 4, 0, tokens) || !read_flat(in, h.n_vocab, count, 3, 0, cands))
        return;
    std::vector<float> out(cands.length);
    const std::uint32_t *tok = (mode & 2) ? nullptr : tokens.ids.get();
    const std::size_t *tok_off = (mode & 4) ? nullptr : tokens.offsets.data();
    const std::uint32_t *cand = (mode & 8) ? nullptr : cands.ids.get();
    const std::size_t *cand_off = (mode & 16) ? nullptr : cands.offsets.data();
    error_buffer err(in);
    const prefix_snapshot before(h.rt);
    const std::int32_t s =
        suffix ? vl_llama_score_suffix_batch(rt, tok, tok_off, cand, cand_off, count, out.data(), err.err(), err.cap())
               : vl_llama_score_root_batch(rt, tok, tok_off, cand, cand_off, count, out.data(), err.err(), err.cap());
    VL_FUZZ_CHECK(s == 0 || s == -1, "status 0 or -1");
    err.check(s != 0);
    trace(suffix ? "score_suffix_batch" : "score_root_batch", s, err);
    if (suffix) VL_FUZZ_CHECK(prefix_snapshot(h.rt) == before, "a suffix batch leaves the prefix as it was");
    if (!suffix && s == 0) {
        VL_FUZZ_CHECK(!h.rt->has_shared_prefix, "a root batch discards the prefix");
        VL_FUZZ_CHECK(llama_memory_seq_pos_max(llama_get_memory(h.rt->ctx), 0) == -1, "a root batch leaves the memory empty");
    }
}

// Both sequence exports with a fuzzed codebook over a small alphabet.
void fuzz_sequences(harness &h, vl_llama_runtime *rt, input_reader &in) {
    const std::uint8_t mode = in.u8();
    const bool suffix_mode = (mode & 1) == 0;
    token_array context = read_tokens(in, h.n_vocab, suffix_mode ? 20 : 70, true);
    flat_array book;
    if (!read_flat(in, h.n_vocab, in.u8() % 10, 3, 3, book)) return;
    const std::uint32_t *tok = (mode & 2) ? nullptr : book.ids.get();
    const std::size_t *off = (mode & 4) ? nullptr : book.offsets.data();
    std::vector<float> out(book.count);
    error_buffer err(in);
    const prefix_snapshot before(h.rt);
    const std::int32_t s =
        suffix_mode ? vl_llama_score_suffix_sequences(rt, context.ptr, context.count, tok, off, book.count,
                                                      out.data(), err.err(), err.cap())
                    : vl_llama_score_sequences(rt, context.ptr, context.count, tok, off, book.count, out.data(),
                                               err.err(), err.cap());
    VL_FUZZ_CHECK(s == 0 || s == -1, "status 0 or -1");
    err.check(s != 0);
    trace(suffix_mode ? "score_suffix_sequences" : "score_sequences", s, err);
    if (suffix_mode) VL_FUZZ_CHECK(prefix_snapshot(h.rt) == before, "suffix sequences leave the prefix as it was");
    if (s != 0) return;
    double total = 0.0;
    for (float v : out) {
        VL_FUZZ_CHECK(std::isfinite(v) && v <= 0.0f, "a log-probability");
        total += std::exp(static_cast<double>(v));
    }
    VL_FUZZ_CHECK(total <= 1.0 + 1e-3, "disjoint candidates are together at most certain");
    // One-token candidates after the kept row: log-softmax of that row.
    if (suffix_mode && context.count == 0)
        for (std::size_t i = 0; i < book.count; ++i)
            if (book.offsets[i + 1] - book.offsets[i] == 1)
                VL_FUZZ_CHECK(std::fabs(out[i] - log_softmax(h.rt->shared_logits, book.ids[book.offsets[i]])) < 1e-4,
                              "a one-token candidate scores its log-softmax");
}

// The queries never fail or change anything, and agree with the limits.
void fuzz_queries(harness &h, vl_llama_runtime *rt, input_reader &) {
    const prefix_snapshot before(h.rt);
    const bool real = rt != nullptr;
    VL_FUZZ_CHECK(vl_llama_shared_prefix_supported(rt) == (real ? 1 : 0), "shared prefix supported");
    VL_FUZZ_CHECK(vl_llama_sequence_scores_supported(rt) == (real ? 1 : 0), "sequence scores supported");
    VL_FUZZ_CHECK(vl_llama_parallel_suffix_supported(rt) == (real ? 1 : 0), "parallel suffixes supported");
    VL_FUZZ_CHECK(vl_llama_multi_root_supported(rt) == (real ? 1 : 0), "multi-root supported");
    VL_FUZZ_CHECK(vl_llama_max_parallel_tasks(rt) == (real ? h.rt->n_seq_max - 1 : 0), "parallel tasks");
    VL_FUZZ_CHECK(vl_llama_max_multi_root_tasks(rt) == (real ? h.rt->n_seq_max : 0), "root tasks");
    const std::size_t roots = vl_llama_max_multi_root_tokens(rt);
    VL_FUZZ_CHECK(roots == (real ? std::min(h.rt->n_batch, h.rt->n_ctx) : 0), "root tokens");
    const std::size_t suffixes = vl_llama_max_parallel_suffix_tokens(rt);
    if (!real || !h.rt->has_shared_prefix) VL_FUZZ_CHECK(suffixes == 0, "no prefix, no suffix tokens");
    else VL_FUZZ_CHECK(suffixes == std::min<std::size_t>(h.rt->n_batch, h.rt->n_ctx - h.rt->shared_prefix_len),
                       "suffix tokens after the prefix");
    VL_FUZZ_CHECK(prefix_snapshot(h.rt) == before, "queries change nothing");
}

using fuzzed_call = void (*)(harness &, vl_llama_runtime *, input_reader &);
const fuzzed_call calls[] = {fuzz_score_next,    fuzz_prefill,      fuzz_encode_chat,
                             fuzz_decode_tokens, fuzz_model_desc,   fuzz_score_suffix,
                             fuzz_batch,         fuzz_sequences,    fuzz_queries};
constexpr std::size_t n_calls = sizeof calls / sizeof calls[0];

// ---- the reference request ------------------------------------------------

// The whole reference request, each export once, in an order in which
// every call has what it needs; one result vector per call.
std::vector<std::vector<float>> reference_calls(harness &h) {
    char err[128] = "";
    std::vector<std::vector<float>> r;
    auto expect_ok = [&](std::int32_t status) { VL_FUZZ_CHECK(status == 0, err); };
    const std::size_t nc = h.candidates.size();

    r.emplace_back(nc);
    expect_ok(vl_llama_score_next(h.rt, h.prompt.data(), h.prompt.size(), h.candidates.data(), nc,
                                  r.back().data(), err, sizeof err));
    expect_ok(vl_llama_prefill_shared(h.rt, h.prompt.data(), h.prompt.size(), err, sizeof err));
    r.push_back(h.rt->shared_logits);
    r.emplace_back(nc);
    expect_ok(vl_llama_score_suffix(h.rt, h.suffix.data(), h.suffix.size(), h.candidates.data(), nc,
                                    r.back().data(), err, sizeof err));
    r.emplace_back(h.batch_candidates.size());
    expect_ok(vl_llama_score_suffix_batch(h.rt, h.batch_tokens.data(), h.batch_token_offsets.data(),
                                          h.batch_candidates.data(), h.batch_candidate_offsets.data(), 3,
                                          r.back().data(), err, sizeof err));
    const std::size_t ns = h.codebook_offsets.size() - 1;
    r.emplace_back(ns);
    expect_ok(vl_llama_score_suffix_sequences(h.rt, h.suffix.data(), h.suffix.size(), h.codebook.data(),
                                              h.codebook_offsets.data(), ns, r.back().data(), err, sizeof err));
    r.emplace_back(h.batch_candidates.size());
    expect_ok(vl_llama_score_root_batch(h.rt, h.batch_tokens.data(), h.batch_token_offsets.data(),
                                        h.batch_candidates.data(), h.batch_candidate_offsets.data(), 3,
                                        r.back().data(), err, sizeof err));
    r.emplace_back(ns);
    expect_ok(vl_llama_score_sequences(h.rt, h.prompt.data(), h.prompt.size(), h.codebook.data(),
                                       h.codebook_offsets.data(), ns, r.back().data(), err, sizeof err));
    return r;
}

harness make_harness() {
    harness h;
    h.rt = open_fixture_runtime();
    h.n_vocab = llama_vocab_n_tokens(h.rt->vocab);
    for (std::uint32_t i = 0; i < 12; ++i) h.prompt.push_back(300 + (i * 7) % 97);
    h.suffix = {320, 321, 322};
    h.candidates = {5, 301, 302, static_cast<std::uint32_t>(h.n_vocab - 1)};
    // Three items: tokens 2, 1 and 3 long; 2, 3 and 2 candidates.
    h.batch_tokens = {310, 311, 312, 313, 314, 315};
    h.batch_token_offsets = {0, 2, 3, 6};
    h.batch_candidates = {5, 6, 7, 8, 9, 10, 11};
    h.batch_candidate_offsets = {0, 2, 5, 7};
    // {300, 301}, {300, 302, 303}, {304}: a shared first token and a leaf.
    h.codebook = {300, 301, 300, 302, 303, 304};
    h.codebook_offsets = {0, 2, 5, 6};
    h.answers = reference_calls(h);
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
    const std::vector<std::vector<float>> answers = reference_calls(h);
    for (std::size_t i = 0; i < answers.size(); ++i)
        VL_FUZZ_CHECK(answers[i].size() == h.answers[i].size() && same_bits(answers[i], h.answers[i].data()),
                      "a valid call after the fuzzed ones gives its reference answer");
    check_state(h);
    return 0;
}
