// build_sequence_trie with any codebook a host may pass: any offsets (the
// token array as long as the last one says), ids from a small alphabet (so
// that shared prefixes, prefixes and duplicates are common) plus the edges of
// the vocabulary. The outcome is compared with a plain reading of the rules
// over the candidate sequences themselves, and a built trie is checked whole.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include <llama.h>

#include "common/check.h"
#include "common/fixture_target.h"
#include "common/host_inputs.h"
#include "common/input_reader.h"
#include "runtime/runtime.h"
#include "sequences/sequence_trie.h"

using namespace vl_fuzz;

namespace {

using sequence = std::vector<std::uint32_t>;

bool starts_with(const sequence &whole, const sequence &part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// The first rule the codebook breaks, candidates in order, each token in
// order: at a token, an earlier candidate equal to the tokens before it
// (a proper prefix), then the vocabulary; at the end, an equal earlier
// candidate, then an earlier candidate it is a proper prefix of.
const char *expected_outcome(const std::uint32_t *tokens, const std::size_t *offsets, std::size_t n,
                             std::uint32_t n_vocab) {
    if (tokens == nullptr || offsets == nullptr || n < 2 || offsets[0] != 0)
        return "invalid candidate sequence arguments";
    std::vector<sequence> earlier;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t start = offsets[i], end = offsets[i + 1];
        if (end <= start || end > offsets[n]) return "candidate sequence offsets are invalid";
        sequence so_far;
        for (std::size_t j = start; j < end; ++j) {
            for (const sequence &e : earlier)
                if (e == so_far) return "candidate sequence codebook is not prefix-free";
            if (tokens[j] >= n_vocab) return "candidate sequence token exceeds vocabulary size";
            so_far.push_back(tokens[j]);
        }
        for (const sequence &e : earlier)
            if (e == so_far) return "duplicate candidate sequence";
        for (const sequence &e : earlier)
            if (starts_with(e, so_far)) return "candidate sequence codebook is not prefix-free";
        earlier.push_back(so_far);
    }
    return nullptr;
}

// Every candidate's path ends on a node carrying it; every node is a
// distinct prefix; leaves carry candidates and carriers have no children.
void check_trie(const std::vector<vl::trie_node> &nodes, const std::uint32_t *tokens,
                const std::size_t *offsets, std::size_t n) {
    std::map<sequence, std::size_t> prefixes;  // distinct non-empty prefixes
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t node = 0;
        sequence path;
        for (std::size_t j = offsets[i]; j < offsets[i + 1]; ++j) {
            const auto it = nodes[node].children.find(tokens[j]);
            VL_FUZZ_CHECK(it != nodes[node].children.end(), "the candidate's path exists");
            VL_FUZZ_CHECK(it->second > node && it->second < nodes.size(), "children come after their parent");
            node = it->second;
            path.push_back(tokens[j]);
            prefixes.emplace(path, node);
        }
        VL_FUZZ_CHECK(nodes[node].candidate == static_cast<std::int64_t>(i), "the path ends on its candidate");
    }
    VL_FUZZ_CHECK(nodes.size() == prefixes.size() + 1, "one node per distinct prefix, plus the root");
    VL_FUZZ_CHECK(nodes[0].candidate == -1, "the root carries no candidate");
    std::size_t carriers = 0;
    for (const vl::trie_node &node : nodes) {
        if (node.candidate >= 0) {
            ++carriers;
            VL_FUZZ_CHECK(node.children.empty(), "a candidate's node has no children");
        } else if (&node != &nodes[0]) {
            VL_FUZZ_CHECK(!node.children.empty(), "every leaf carries a candidate");
        }
    }
    VL_FUZZ_CHECK(carriers == n, "each candidate on exactly one node");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    input_reader in(data, size);
    const std::uint8_t mode = in.u8();
    const std::size_t n = in.u8() % 12;
    // Offsets: mostly small steps (0 makes an empty candidate), now and then
    // any value, so that out-of-order and huge offsets occur.
    const std::vector<std::size_t> offsets = read_offsets(in, n, 3);
    // The host's token array holds exactly as many ids as the last offset
    // says; a huge last offset is left out (nobody can pass such an array).
    const std::size_t n_tokens = offsets[n];
    if (n_tokens > 4096) return -1;
    // new[] even for none: a non-null pointer with nothing readable behind it.
    std::unique_ptr<std::uint32_t[]> tokens(new std::uint32_t[n_tokens]);
    vl_llama_runtime *rt = fixture_runtime();
    const std::uint32_t n_vocab = static_cast<std::uint32_t>(llama_vocab_n_tokens(rt->vocab));
    const std::vector<std::uint32_t> ids = read_alphabet_ids(in, n_tokens, n_vocab, 4);
    std::copy(ids.begin(), ids.end(), tokens.get());
    const std::uint32_t *token_ptr = (mode & 2) ? nullptr : tokens.get();
    const std::size_t *offset_ptr = (mode & 4) ? nullptr : offsets.data();

    std::vector<vl::trie_node> nodes(3);  // stale nodes must not survive
    const vl::outcome got = vl::build_sequence_trie(rt, token_ptr, offset_ptr, n, nodes);
    const char *expected = expected_outcome(token_ptr, offset_ptr, n, n_vocab);
    if (expected == nullptr) {
        VL_FUZZ_CHECK(got == vl::ok, "a valid codebook builds");
        check_trie(nodes, tokens.get(), offsets.data(), n);
    } else {
        VL_FUZZ_CHECK(got != vl::ok && std::strcmp(got, expected) == 0, "the first broken rule's message");
    }
    return 0;
}
