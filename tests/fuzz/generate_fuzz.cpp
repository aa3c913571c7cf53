// vl_llama_generate with any request a host may pass: prompts, limits and
// stop strings cut by any offsets (the arrays as long as their last offsets
// say), null pointers, ids at the edges of the vocabulary and of llama.cpp's
// range, stop strings of any bytes, with and without a retained prefix. A
// refusal must be the first rule a plain reading finds broken; a success
// must stop every prompt for a reason its tokens and text bear out; either
// way the prefix stays and no scratch sequence is left behind.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <llama.h>

#include "common/check.h"
#include "common/fixture_target.h"
#include "common/host_inputs.h"
#include "common/input_reader.h"
#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

using namespace vl_fuzz;

namespace {

bool rising(const std::vector<std::size_t> &offsets) {
    if (offsets[0] != 0) return false;
    for (std::size_t i = 1; i < offsets.size(); ++i)
        if (offsets[i] < offsets[i - 1]) return false;
    return true;
}

struct request {
    std::size_t prompts = 0;
    std::vector<std::uint32_t> tokens;
    std::vector<std::size_t> prompt_offsets, out_offsets, stop_sets, stop_offsets;
    std::string stop_text;
    bool null_tokens = false, null_out = false, with_stops = false;
};

// The first rule the request breaks, in the documented order.
const char *expected_outcome(const request &r, const vl_llama_runtime &rt, std::uint32_t n_vocab) {
    if (r.prompts == 0 || (r.null_tokens && r.prompt_offsets[r.prompts] != 0) ||
        (r.null_out && r.out_offsets[r.prompts] != 0))
        return "invalid generation arguments";
    if (!rising(r.prompt_offsets) || !rising(r.out_offsets)) return "generation offsets are invalid";
    if (r.with_stops) {
        if (!rising(r.stop_sets) || !rising(r.stop_offsets)) return "generation offsets are invalid";
        for (std::size_t k = 1; k < r.stop_offsets.size(); ++k)
            if (r.stop_offsets[k] == r.stop_offsets[k - 1]) return "stop string is empty";
    }
    for (std::uint32_t id : r.tokens)
        if (id > 2147483647u) return "token id exceeds llama.cpp range";
    for (std::uint32_t id : r.tokens)
        if (id >= n_vocab) return "prompt token exceeds vocabulary size";
    for (std::size_t i = 0; i < r.prompts; ++i)
        if (r.prompt_offsets[i + 1] == r.prompt_offsets[i] && !rt.has_shared_prefix)
            return "prompt is empty and no shared prefix is retained";
    const std::size_t prefix = rt.has_shared_prefix ? rt.shared_prefix_len : 0;
    for (std::size_t i = 0; i < r.prompts; ++i) {
        const std::size_t limit = r.out_offsets[i + 1] - r.out_offsets[i];
        if (limit != 0 && prefix + r.prompt_offsets[i + 1] - r.prompt_offsets[i] + limit - 1 > rt.n_ctx)
            return "prompt and new-token limit do not fit the context window";
    }
    return nullptr;
}

std::string text_of(vl_llama_runtime *rt, const std::uint32_t *ids, std::size_t n) {
    char out[4096];
    char err[128] = "";
    const std::int64_t length = vl_llama_decode_tokens(rt, ids, n, out, sizeof out, err, sizeof err);
    VL_FUZZ_CHECK(length >= 0, "generated tokens decode");
    return std::string(out, static_cast<std::size_t>(length));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    vl_llama_runtime *rt = fixture_runtime();
    const std::uint32_t n_vocab = static_cast<std::uint32_t>(llama_vocab_n_tokens(rt->vocab));
    input_reader in(data, size);

    const std::uint8_t mode = in.u8();
    const std::size_t prefix_len = mode & 8 ? 1 + in.u8() % 6 : 0;
    VL_FUZZ_CHECK(retain_prefix_or_reset(rt, prefix_len), "the prefix state the input chose");
    char err[256] = "";

    request r;
    r.prompts = in.u8() % 6;
    r.null_tokens = (mode & 1) != 0 && (mode & 2) != 0;
    r.null_out = (mode & 4) != 0 && (mode & 2) != 0;
    r.with_stops = (mode & 16) != 0;
    r.prompt_offsets = read_offsets(in, r.prompts, 8);
    r.out_offsets = read_offsets(in, r.prompts, 12);
    if (r.prompt_offsets[r.prompts] > 1024 || r.out_offsets[r.prompts] > 1024) return -1;
    const std::uint32_t edges[] = {n_vocab - 1, n_vocab, 2147483648u, 0xFFFFFFFFu};
    for (std::size_t k = 0; k < r.prompt_offsets[r.prompts]; ++k) {
        const std::uint8_t b = in.u8();
        r.tokens.push_back(b < 0xF0 ? 280 + b % 40 : edges[b % 4]);
    }
    r.stop_sets = read_offsets(in, r.prompts, 3);
    const std::size_t n_stops = r.stop_sets[r.prompts];
    if (n_stops > 64) return -1;
    r.stop_offsets = read_offsets(in, n_stops, 4);
    if (r.stop_offsets[n_stops] > 256) return -1;
    // Stop bytes: mostly letters and spaces, so that stops are met.
    for (std::size_t k = 0; k < r.stop_offsets[n_stops]; ++k) {
        const std::uint8_t b = in.u8();
        r.stop_text.push_back(static_cast<char>(b < 0xC0 ? " etaoinshr"[b % 10] : b));
    }

    const std::size_t n_out = r.out_offsets[r.prompts];
    std::unique_ptr<std::uint32_t[]> tokens(new std::uint32_t[r.tokens.size()]);
    std::copy(r.tokens.begin(), r.tokens.end(), tokens.get());
    std::vector<std::uint32_t> out(n_out + 1, 0xABABABABu);
    std::vector<std::size_t> counts(std::max<std::size_t>(r.prompts, 1), 77);
    std::vector<std::int32_t> reasons(std::max<std::size_t>(r.prompts, 1), 77);
    std::unique_ptr<char[]> stop_text(new char[r.stop_text.size()]);
    std::memcpy(stop_text.get(), r.stop_text.data(), r.stop_text.size());

    std::strcpy(err, "");
    const char *expected = expected_outcome(r, *rt, n_vocab);
    const std::int32_t rc = vl_llama_generate(
        rt, r.null_tokens ? nullptr : tokens.get(), r.prompt_offsets.data(), r.prompts, stop_text.get(),
        r.stop_offsets.data(), r.with_stops ? r.stop_sets.data() : nullptr, r.null_out ? nullptr : out.data(),
        r.out_offsets.data(), counts.data(), reasons.data(), err, sizeof err);

    VL_FUZZ_CHECK(out[n_out] == 0xABABABABu, "nothing written past the last limit");
    if (expected != nullptr) {
        VL_FUZZ_CHECK(rc == -1 && std::strcmp(err, expected) == 0, "the first broken rule's message");
        VL_FUZZ_CHECK(counts[0] == 77 && reasons[0] == 77, "a refused request writes nothing");
    } else {
        VL_FUZZ_CHECK(rc == 0, "a valid request generates");
        for (std::size_t i = 0; i < r.prompts; ++i) {
            const std::size_t limit = r.out_offsets[i + 1] - r.out_offsets[i];
            const std::uint32_t *ids = out.data() + r.out_offsets[i];
            VL_FUZZ_CHECK(counts[i] <= limit, "no more tokens than the limit");
            for (std::size_t k = 0; k < counts[i]; ++k) VL_FUZZ_CHECK(ids[k] < n_vocab, "a vocabulary id");
            std::vector<std::string> stops;
            if (r.with_stops)
                for (std::size_t k = r.stop_sets[i]; k < r.stop_sets[i + 1]; ++k)
                    stops.push_back(r.stop_text.substr(r.stop_offsets[k], r.stop_offsets[k + 1] - r.stop_offsets[k]));
            auto holds_stop = [&](std::size_t n) {
                const std::string text = text_of(rt, ids, n);
                return std::any_of(stops.begin(), stops.end(),
                                   [&](const std::string &s) { return text.find(s) != std::string::npos; });
            };
            switch (reasons[i]) {
            case VL_LLAMA_STOP_LIMIT:
                VL_FUZZ_CHECK(counts[i] == limit, "a prompt stopped by its limit reached it");
                break;
            case VL_LLAMA_STOP_END_TOKEN:
                VL_FUZZ_CHECK(counts[i] < limit, "an end token comes within the limit");
                break;
            case VL_LLAMA_STOP_STRING:
                VL_FUZZ_CHECK(counts[i] >= 1 && holds_stop(counts[i]), "the text holds a stop string");
                break;
            default: VL_FUZZ_CHECK(false, "a stop reason");
            }
            if (counts[i] >= 1) VL_FUZZ_CHECK(!holds_stop(counts[i] - 1), "no stop string before the last token");
        }
    }
    // Whatever happened: the prefix stays, the scratch sequences are gone.
    llama_memory_t memory = llama_get_memory(rt->ctx);
    VL_FUZZ_CHECK(rt->has_shared_prefix == (prefix_len != 0), "the shared-prefix state is kept");
    if (prefix_len != 0)
        VL_FUZZ_CHECK(llama_memory_seq_pos_max(memory, 0) == static_cast<llama_pos>(prefix_len - 1), "prefix kept");
    for (llama_seq_id s = 1; s < static_cast<llama_seq_id>(rt->n_seq_max); ++s)
        VL_FUZZ_CHECK(llama_memory_seq_pos_max(memory, s) == -1, "no scratch sequence left");
    return 0;
}
