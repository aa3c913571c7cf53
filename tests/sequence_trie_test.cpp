// Codebook validation and trie building, against a vocabulary of 16 tokens.
#include <string>

#include "sequences/sequence_trie.h"
#include "support/codebook.h"
#include "support/test_support.h"

using namespace vl_test;

namespace {

constexpr int32_t n_vocab = 16;

class SequenceTrie : public ::testing::Test {
protected:
    void SetUp() override {
        runtime.vocab = reinterpret_cast<const llama_vocab *>(&runtime);  // never dereferenced
        fakes().llama_vocab_n_tokens = [](const llama_vocab *) { return n_vocab; };
    }
    // The build's message, or "ok".
    std::string build(const codebook &book) { return build(book.tokens, book.offsets, book.size()); }
    std::string build(const std::vector<uint32_t> &tokens, const std::vector<size_t> &offsets,
                      size_t n) {
        vl::outcome failure = vl::build_sequence_trie(&runtime, tokens.data(), offsets.data(), n, nodes);
        return failure == vl::ok ? "ok" : failure;
    }
    vl_llama_runtime runtime;
    std::vector<vl::trie_node> nodes;
};

TEST_F(SequenceTrie, NumbersNodesInCodebookOrder) {
    ASSERT_EQ(build({{9, 1}, {9, 2}, {4}}), "ok");
    ASSERT_EQ(nodes.size(), 5u);
    EXPECT_EQ(nodes[0].candidate, -1);
    EXPECT_EQ(nodes[0].children, (std::map<uint32_t, size_t>{{4, 4}, {9, 1}}));
    EXPECT_EQ(nodes[1].candidate, -1);
    EXPECT_EQ(nodes[1].children, (std::map<uint32_t, size_t>{{1, 2}, {2, 3}}));
    for (size_t i = 2; i < 5; ++i) {
        EXPECT_TRUE(nodes[i].children.empty());
        EXPECT_EQ(nodes[i].candidate, static_cast<int64_t>(i - 2));
    }
    // Reordering the codebook renumbers the nodes but keeps the shape.
    ASSERT_EQ(build({{4}, {9, 2}, {9, 1}}), "ok");
    EXPECT_EQ(nodes[0].children, (std::map<uint32_t, size_t>{{4, 1}, {9, 2}}));
    EXPECT_EQ(nodes[2].children, (std::map<uint32_t, size_t>{{1, 4}, {2, 3}}));
    EXPECT_EQ(nodes[4].candidate, 2);
}

TEST_F(SequenceTrie, RefusesArgumentsBeforeReadingCandidates) {
    const std::vector<uint32_t> tokens{3, 4};
    EXPECT_EQ(build(tokens, {0, 1}, 1), "invalid candidate sequence arguments");
    EXPECT_EQ(build(tokens, {1, 1, 2}, 2), "invalid candidate sequence arguments");
    EXPECT_EQ(vl::build_sequence_trie(&runtime, nullptr, std::vector<size_t>{0, 1, 2}.data(), 2, nodes),
              std::string("invalid candidate sequence arguments"));
    EXPECT_EQ(vl::build_sequence_trie(&runtime, tokens.data(), nullptr, 2, nodes),
              std::string("invalid candidate sequence arguments"));
    EXPECT_EQ(vl::build_sequence_trie(nullptr, tokens.data(), std::vector<size_t>{0, 1, 2}.data(), 2, nodes),
              std::string("invalid candidate sequence arguments"));
    runtime.vocab = nullptr;
    EXPECT_EQ(build(tokens, {0, 1, 2}, 2), "invalid candidate sequence arguments");
    runtime.vocab = reinterpret_cast<const llama_vocab *>(&runtime);
    fakes().llama_vocab_n_tokens = [](const llama_vocab *) { return 0; };
    EXPECT_EQ(build(tokens, {0, 1, 2}, 2), "llama.cpp vocabulary is empty");
}

TEST_F(SequenceTrie, ReportsTheFirstRuleBroken) {
    const uint32_t v = n_vocab;
    EXPECT_EQ(build({3, 4, 5}, {0, 1, 1, 3}, 3), "candidate sequence offsets are invalid");
    EXPECT_EQ(build({3, 4, 5}, {0, 2, 1}, 2), "candidate sequence offsets are invalid");
    EXPECT_EQ(build({{5}, {5, 7}}), "candidate sequence codebook is not prefix-free");
    EXPECT_EQ(build({{5, 7}, {5}}), "candidate sequence codebook is not prefix-free");
    // Within one position the prefix test runs before the vocabulary test.
    EXPECT_EQ(build({{5}, {5, v}}), "candidate sequence codebook is not prefix-free");
    EXPECT_EQ(build({{6}, {5, v}}), "candidate sequence token exceeds vocabulary size");
    EXPECT_EQ(build({{v - 1}, {0}}), "ok");
    EXPECT_EQ(build({{3, 4}, {3, 4}}), "duplicate candidate sequence");
    // Candidates are checked in codebook order.
    EXPECT_EQ(build({{3, 4}, {3, 4}, {v}}), "duplicate candidate sequence");
    EXPECT_EQ(build({{v}, {3, 4}, {3, 4}}), "candidate sequence token exceeds vocabulary size");
    EXPECT_EQ(build({{1}, {2}, {3, 4}, {3}, {0, 0}, {0, 0}}), "candidate sequence codebook is not prefix-free");
    EXPECT_EQ(build(std::vector<uint32_t>{1, 2, 3}, {0, 1, 2, 2}, 3), "candidate sequence offsets are invalid");
}

}  // namespace
