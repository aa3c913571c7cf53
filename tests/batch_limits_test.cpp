// The batch scorers at the edges of what llama.cpp accepts: every request
// they let through must decode (or fail with a message), never abort.
#include <cstring>

#include "support/batch_support.h"

using namespace vl_test;

namespace {

runtime_ptr open_with(uint32_t n_ctx, uint32_t n_batch, uint32_t n_seq_max) {
    vl_llama_config config = test_config();
    config.n_ctx = static_cast<int32_t>(n_ctx);
    config.n_batch = static_cast<int32_t>(n_batch);
    config.n_seq_max = static_cast<int32_t>(n_seq_max);
    return open_runtime(fixture_path("chatml"), config);
}

// count tasks sharing total tokens as evenly as possible (empty ones allowed
// when there are fewer tokens than tasks), each with two candidates.
void spread(std::size_t count, std::size_t total, std::size_t min_each, flat_array<uint32_t> &tokens,
            flat_array<uint32_t> &candidates) {
    std::vector<std::vector<uint32_t>> parts(count), cands(count, std::vector<uint32_t>{7, 8});
    for (std::size_t t = 0; t < total; ++t) parts[t % count].push_back(300 + static_cast<uint32_t>(t % 97));
    for (auto &p : parts)
        while (p.size() < min_each) p.push_back(301);
    tokens = flatten(parts);
    candidates = flatten(cands);
}

int32_t largest_root_batch(vl_llama_runtime *r, char *err, std::size_t cap) {
    flat_array<uint32_t> prompts, cands;
    spread(vl_llama_max_multi_root_tasks(r), vl_llama_max_multi_root_tokens(r), 1, prompts, cands);
    std::vector<float> out(cands.items.size());
    return vl_llama_score_root_batch(r, prompts.items.data(), prompts.offsets.data(), cands.items.data(),
                                     cands.offsets.data(), prompts.offsets.size() - 1, out.data(), err, cap);
}

int32_t largest_suffix_batch(vl_llama_runtime *r, std::size_t prefix_len, char *err, std::size_t cap) {
    std::vector<uint32_t> prefix = sample_prompt(prefix_len);
    if (vl_llama_prefill_shared(r, prefix.data(), prefix.size(), err, cap) != 0) return -1;
    flat_array<uint32_t> suffixes, cands;
    spread(vl_llama_max_parallel_tasks(r), vl_llama_max_parallel_suffix_tokens(r), 0, suffixes, cands);
    std::vector<float> out(cands.items.size());
    return vl_llama_score_suffix_batch(r, suffixes.items.data(), suffixes.offsets.data(), cands.items.data(),
                                       cands.offsets.data(), suffixes.offsets.size() - 1, out.data(), err,
                                       cap);
}

// The smallest batches llama.cpp allows (n_batch equal to n_seq_max), and
// batches that llama.cpp splits into several micro-batches (n_batch above
// the default micro-batch of 512), filled to the reported limits.
TEST(BatchLimits, LargestAcceptedRequestsDecode) {
    struct shape {
        uint32_t n_ctx, n_batch, n_seq_max;
        std::size_t prefix;
    };
    const shape shapes[] = {{256, 2, 2, 1},     {256, 3, 3, 2},       {256, 4, 4, 3},
                            {256, 9, 9, 5},     {256, 5, 4, 5},       {256, 256, 4, 250},
                            {512, 512, 9, 500}, {2048, 2048, 4, 700}, {1024, 1024, 3, 1}};
    for (const shape &s : shapes) {
        SCOPED_TRACE(testing::Message() << "n_ctx " << s.n_ctx << " n_batch " << s.n_batch << " n_seq_max "
                                        << s.n_seq_max);
        runtime_ptr r = open_with(s.n_ctx, s.n_batch, s.n_seq_max);
        ASSERT_NE(r, nullptr);
        char err[128] = "";
        EXPECT_EQ(largest_root_batch(r.get(), err, sizeof err), 0) << err;
        EXPECT_TRUE(sequences_empty(r.get(), 0, static_cast<llama_seq_id>(r->n_seq_max - 1)));
        if (vl_llama_parallel_suffix_supported(r.get())) {
            EXPECT_EQ(largest_suffix_batch(r.get(), s.prefix, err, sizeof err), 0) << err;
            EXPECT_TRUE(sequences_empty(r.get(), 1, static_cast<llama_seq_id>(r->n_seq_max - 1)));
            EXPECT_EQ(seq_range(r.get(), 0).second, static_cast<llama_pos>(s.prefix - 1));
        }
    }
}

// A context whose attention is not causal cannot split a decode into
// physical batches: its token capacities stop at n_ubatch although n_batch
// and the window are larger, requests filled to them decode, and one token
// more fails as a decode would, leaving what a failed decode leaves.
TEST(BatchLimits, NonCausalCapacitiesStopAtThePhysicalBatch) {
    fakes().llama_init_from_model = [](llama_model *m, llama_context_params p) {
        llama_context *ctx = real::llama_init_from_model(m, p);
        if (ctx != nullptr) llama_set_causal_attn(ctx, false);
        return ctx;
    };
    runtime_ptr r = open_with(2048, 2048, 4);
    ASSERT_NE(r, nullptr);
    ASSERT_FALSE(r->causal_attn);
    ASSERT_EQ(r->n_batch, 2048u);
    ASSERT_EQ(r->n_ubatch, 512u);
    EXPECT_EQ(vl_llama_max_multi_root_tokens(r.get()), 512u);
    char err[128] = "";
    EXPECT_EQ(largest_root_batch(r.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(largest_suffix_batch(r.get(), 100, err, sizeof err), 0) << err;
    EXPECT_EQ(vl_llama_max_parallel_suffix_tokens(r.get()), 512u);

    flat_array<uint32_t> cands = flatten(std::vector<std::vector<uint32_t>>(2, {7, 8}));
    std::vector<float> out(4);
    flat_array<uint32_t> over = flatten(std::vector<std::vector<uint32_t>>{sample_prompt(300), sample_prompt(213)});
    reset_counts();
    EXPECT_EQ(vl_llama_score_suffix_batch(r.get(), over.items.data(), over.offsets.data(), cands.items.data(),
                                          cands.offsets.data(), 2, out.data(), err, sizeof err),
              -1);
    EXPECT_STREQ(err, "llama_decode failed while scoring parallel suffixes");
    EXPECT_EQ(counts().llama_decode, 0);
    EXPECT_TRUE(r->has_shared_prefix);
    EXPECT_TRUE(sequences_empty(r.get(), 1, 3));
    EXPECT_EQ(seq_range(r.get(), 0).second, 99);

    EXPECT_EQ(vl_llama_score_root_batch(r.get(), over.items.data(), over.offsets.data(), cands.items.data(),
                                        cands.offsets.data(), 2, out.data(), err, sizeof err),
              -1);
    EXPECT_STREQ(err, "llama_decode failed while scoring independent roots");
    EXPECT_EQ(counts().llama_decode, 0);
    EXPECT_FALSE(r->has_shared_prefix);
    EXPECT_TRUE(sequences_empty(r.get(), 0, 3));
}

// Batches above the default micro-batch of 512 tokens are split by
// llama.cpp; each task's row must still be the one of its own last token.
// Both sides decode long batches here, which differ in the last bits
// (measured up to 2e-6); another task's row would differ by whole units.
TEST(BatchLimits, RowsOfSplitBatchesBelongToTheirTasks) {
    runtime_ptr r = open_with(2048, 2048, 4);
    ASSERT_NE(r, nullptr);
    const uint32_t n_vocab = static_cast<uint32_t>(vocab_size(r.get()));
    std::vector<uint32_t> all(n_vocab);
    for (uint32_t k = 0; k < n_vocab; ++k) all[k] = k;
    char err[128] = "";

    std::vector<std::vector<uint32_t>> prompts;
    for (uint32_t i = 0; i < 4; ++i) prompts.push_back(sample_prompt(400 + 10 * i, 3 + 9 * i));
    flat_array<uint32_t> p = flatten(prompts), c = flatten(std::vector<std::vector<uint32_t>>(4, all));
    std::vector<float> out(c.items.size()), alone(n_vocab);
    ASSERT_EQ(vl_llama_score_root_batch(r.get(), p.items.data(), p.offsets.data(), c.items.data(),
                                        c.offsets.data(), 4, out.data(), err, sizeof err),
              0)
        << err;
    for (std::size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(vl_llama_score_next(r.get(), prompts[i].data(), prompts[i].size(), all.data(), n_vocab,
                                      alone.data(), err, sizeof err),
                  0);
        EXPECT_LE(max_abs_difference(std::vector<float>(out.begin() + c.offsets[i], out.begin() + c.offsets[i + 1]),
                                     alone),
                  0.001f)
            << "root " << i;
    }

    std::vector<uint32_t> prefix = sample_prompt(100, 3);
    ASSERT_EQ(vl_llama_prefill_shared(r.get(), prefix.data(), prefix.size(), err, sizeof err), 0) << err;
    std::vector<std::vector<uint32_t>> suffixes = {sample_prompt(300, 5), sample_prompt(310, 17), {}};
    flat_array<uint32_t> s = flatten(suffixes);
    c = flatten(std::vector<std::vector<uint32_t>>(3, all));
    out.assign(c.items.size(), 0);
    ASSERT_EQ(vl_llama_score_suffix_batch(r.get(), s.items.data(), s.offsets.data(), c.items.data(),
                                          c.offsets.data(), 3, out.data(), err, sizeof err),
              0)
        << err;
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_LE(max_abs_difference(std::vector<float>(out.begin() + c.offsets[i], out.begin() + c.offsets[i + 1]),
                                     suffix_reference(r.get(), suffixes[i])),
                  0.001f)
            << "task " << i;
}

// llama.cpp takes at most 256 sequences; more fail at open with the
// context-creation message (and do not abort), so no batch call ever sees
// a sequence id llama.cpp cannot hold.
TEST(BatchLimits, SequenceCountsUpToLlamaMaximum) {
    char err[128] = "";
    vl_llama_config config = test_config();
    config.n_seq_max = 257;
    EXPECT_EQ(vl_llama_open(fixture_path("chatml").c_str(), &config, err, sizeof err), nullptr);
    EXPECT_STREQ(err, "llama_init_from_model failed");
    EXPECT_EQ(counts().llama_init_from_model, 1);  // refused by llama.cpp, not before it

    runtime_ptr r = open_with(512, 512, 256);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->n_seq_max, 256u);
    EXPECT_EQ(vl_llama_max_multi_root_tasks(r.get()), 256u);
    EXPECT_EQ(vl_llama_max_parallel_tasks(r.get()), 255u);
    EXPECT_EQ(largest_root_batch(r.get(), err, sizeof err), 0) << err;
    EXPECT_TRUE(sequences_empty(r.get(), 0, 255));
    EXPECT_EQ(largest_suffix_batch(r.get(), 100, err, sizeof err), 0) << err;
    EXPECT_TRUE(sequences_empty(r.get(), 1, 255));
}

}  // namespace
