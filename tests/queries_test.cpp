#include <atomic>
#include <cstdlib>
#include <new>

#include "support/batch_support.h"

using namespace vl_test;

// Counts every allocation of this binary, to show that the queries make
// none. All plain forms are replaced together, so that each allocation is
// released by its own kind (the sanitizers check that).
namespace {
std::atomic<long> allocations{0};
void *counted_malloc(std::size_t n) noexcept {
    ++allocations;
    return std::malloc(n ? n : 1);
}
}  // namespace
void *operator new(std::size_t n) {
    if (void *p = counted_malloc(n)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t n) { return operator new(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return counted_malloc(n); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return counted_malloc(n); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }

namespace {

// The eight answers in one record, asked in a fixed order.
struct answers {
    int32_t shared_prefix, sequence_scores, parallel_suffix, multi_root;
    uint32_t max_parallel_tasks;
    size_t max_parallel_suffix_tokens;
    uint32_t max_multi_root_tasks;
    size_t max_multi_root_tokens;
    bool operator==(const answers &) const = default;
};

answers ask(const vl_llama_runtime *r) {
    return {vl_llama_shared_prefix_supported(r),   vl_llama_sequence_scores_supported(r),
            vl_llama_parallel_suffix_supported(r), vl_llama_multi_root_supported(r),
            vl_llama_max_parallel_tasks(r),        vl_llama_max_parallel_suffix_tokens(r),
            vl_llama_max_multi_root_tasks(r),      vl_llama_max_multi_root_tokens(r)};
}

std::ostream &operator<<(std::ostream &os, const answers &a) {
    return os << "{" << a.shared_prefix << " " << a.sequence_scores << " " << a.parallel_suffix << " "
              << a.multi_root << " " << a.max_parallel_tasks << " " << a.max_parallel_suffix_tokens << " "
              << a.max_multi_root_tasks << " " << a.max_multi_root_tokens << "}";
}

runtime_ptr open_with_sequences(int32_t n_seq_max) {
    vl_llama_config config = test_config();
    config.n_seq_max = n_seq_max;
    return open_runtime(fixture_path("chatml"), config);
}

void prefill(vl_llama_runtime *r, std::size_t n) {
    std::vector<uint32_t> prefix = sample_prompt(n);
    char err[128] = "";
    ASSERT_EQ(vl_llama_prefill_shared(r, prefix.data(), prefix.size(), err, sizeof err), 0) << err;
}

TEST(Queries, NullRuntimeAnswersZero) { EXPECT_EQ(ask(nullptr), answers{}); }

// n_ctx and n_batch are 512 here: the token limits are 512, and 512 - P
// while a prefix of P tokens is retained.
TEST(Queries, FourSequences) {
    runtime_ptr r = open_with_sequences(4);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->n_ctx, 512u);
    ASSERT_EQ(r->n_batch, 512u);
    EXPECT_EQ(ask(r.get()), (answers{1, 1, 1, 1, 3, 0, 4, 512}));
    prefill(r.get(), 20);
    EXPECT_EQ(ask(r.get()), (answers{1, 1, 1, 1, 3, 492, 4, 512}));
    // A call that discards the prefix takes the suffix limit back to 0.
    std::vector<uint32_t> prompt = sample_prompt(3);
    uint32_t ids[2] = {1, 2};
    float out[2];
    ASSERT_EQ(vl_llama_score_next(r.get(), prompt.data(), prompt.size(), ids, 2, out, nullptr, 0), 0);
    EXPECT_EQ(vl_llama_max_parallel_suffix_tokens(r.get()), 0u);
}

// Two sequences run multi-root batches but not parallel suffixes, though a
// retained prefix still has a suffix token limit.
TEST(Queries, TwoSequences) {
    runtime_ptr r = open_with_sequences(2);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->n_seq_max, 2u);
    prefill(r.get(), 12);
    EXPECT_EQ(ask(r.get()), (answers{1, 1, 0, 1, 0, 500, 2, 512}));
    reset_counts();
    EXPECT_EQ(vl_llama_parallel_suffix_supported(r.get()), 0);
    EXPECT_EQ(vl_llama_max_parallel_tasks(r.get()), 0u);
    EXPECT_EQ(counts().llama_get_memory, 0);  // n_seq_max decides before memory is asked for
}

// The bert fixture's context has no sequence memory: only the suffix token
// limit, which never asks for memory, can be non-zero, and only with a
// prefix recorded (the library itself cannot retain one there).
TEST(Queries, ContextWithoutMemory) {
    runtime_ptr r = open_runtime(fixture_path("bert"));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(ask(r.get()), answers{});
    vl_llama_runtime recorded = borrowed_runtime(*r);
    recorded.has_shared_prefix = true;
    recorded.shared_prefix_len = 100;
    EXPECT_EQ(ask(&recorded), (answers{0, 0, 0, 0, 0, std::min<size_t>(r->n_batch, r->n_ctx - 100), 0, 0}));
}

// Each query asks llama.cpp for the memory at most once, only after every
// other condition held, and allocates nothing.
TEST(Queries, AtMostOneMemoryLookupAndNoAllocation) {
    runtime_ptr r = open_with_sequences(4);
    ASSERT_NE(r, nullptr);
    prefill(r.get(), 8);
    using query = long (*)(const vl_llama_runtime *);
    const query queries[] = {
        [](const vl_llama_runtime *x) -> long { return vl_llama_shared_prefix_supported(x); },
        [](const vl_llama_runtime *x) -> long { return vl_llama_sequence_scores_supported(x); },
        [](const vl_llama_runtime *x) -> long { return vl_llama_parallel_suffix_supported(x); },
        [](const vl_llama_runtime *x) -> long { return vl_llama_multi_root_supported(x); },
        [](const vl_llama_runtime *x) -> long { return vl_llama_max_parallel_tasks(x); },
        [](const vl_llama_runtime *x) -> long { return vl_llama_max_parallel_suffix_tokens(x); },
        [](const vl_llama_runtime *x) -> long { return vl_llama_max_multi_root_tasks(x); },
        [](const vl_llama_runtime *x) -> long { return vl_llama_max_multi_root_tokens(x); },
    };
    const int lookups[] = {1, 1, 1, 1, 1, 0, 1, 1};
    vl_llama_runtime no_vocab = borrowed_runtime(*r);
    no_vocab.vocab = nullptr;
    const int lookups_without_vocab[] = {1, 0, 1, 0, 1, 0, 0, 0};
    for (int q = 0; q < 8; ++q) {
        reset_counts();
        const long before = allocations;
        EXPECT_NE(queries[q](r.get()), 0) << "query " << q;
        EXPECT_EQ(allocations - before, 0) << "query " << q;
        EXPECT_EQ(counts().llama_get_memory, lookups[q]) << "query " << q;
        reset_counts();
        queries[q](&no_vocab);
        EXPECT_EQ(counts().llama_get_memory, lookups_without_vocab[q]) << "query " << q;
    }
}

// Limits no real context reports, on records with chosen fields.
TEST(Queries, TokenLimits) {
    runtime_ptr r = open_with_sequences(4);
    ASSERT_NE(r, nullptr);
    vl_llama_runtime x = borrowed_runtime(*r);
    auto root_tokens = [&](uint32_t n_batch, uint32_t n_ctx) {
        x.n_batch = n_batch;
        x.n_ctx = n_ctx;
        return vl_llama_max_multi_root_tokens(&x);
    };
    EXPECT_EQ(root_tokens(512, 4096), 512u);
    EXPECT_EQ(root_tokens(0, 4096), 4096u);
    EXPECT_EQ(root_tokens(8192, 4096), 4096u);
    EXPECT_EQ(root_tokens(0, 0), 0u);  // no limit is reported as 0, never as the largest size_t

    auto suffix_tokens = [&](std::size_t prefix, uint32_t n_batch, uint32_t n_ctx) {
        x.has_shared_prefix = true;
        x.shared_prefix_len = prefix;
        x.n_batch = n_batch;
        x.n_ctx = n_ctx;
        return vl_llama_max_parallel_suffix_tokens(&x);
    };
    EXPECT_EQ(suffix_tokens(4000, 512, 4096), 96u);
    EXPECT_EQ(suffix_tokens(100, 512, 4096), 512u);
    EXPECT_EQ(suffix_tokens(4096, 512, 4096), 0u);
    EXPECT_EQ(suffix_tokens(5000, 512, 4096), 0u);
    EXPECT_EQ(suffix_tokens(4000, 0, 4096), 96u);
    EXPECT_EQ(suffix_tokens(4000, 512, 0), 512u);
    EXPECT_EQ(suffix_tokens(4000, 0, 0), 0u);
    x.has_shared_prefix = false;
    EXPECT_EQ(vl_llama_max_parallel_suffix_tokens(&x), 0u);

    // With causal attention llama.cpp splits a batch into physical batches,
    // so n_ubatch limits nothing; without, one decode stops at n_ubatch.
    x.n_ubatch = 256;
    EXPECT_EQ(root_tokens(2048, 4096), 2048u);
    EXPECT_EQ(suffix_tokens(100, 2048, 4096), 2048u);
    x.causal_attn = false;
    EXPECT_EQ(root_tokens(2048, 4096), 256u);
    EXPECT_EQ(root_tokens(0, 0), 256u);
    EXPECT_EQ(root_tokens(128, 4096), 128u);
    EXPECT_EQ(suffix_tokens(100, 2048, 4096), 256u);
    EXPECT_EQ(suffix_tokens(4000, 2048, 4096), 96u);
    EXPECT_EQ(suffix_tokens(4096, 2048, 4096), 0u);
    x.n_ubatch = 0;  // no known physical batch
    EXPECT_EQ(root_tokens(2048, 4096), 2048u);
    x.causal_attn = true;
    x.has_shared_prefix = false;

    // Sequence counts compare unsigned; a missing context or vocabulary
    // answers 0 where the row needs it.
    x.n_batch = x.n_ctx = 512;
    x.n_seq_max = 0;
    EXPECT_EQ(ask(&x), (answers{1, 1, 0, 0, 0, 0, 0, 0}));
    x.n_seq_max = 3;
    EXPECT_EQ(ask(&x), (answers{1, 1, 1, 1, 2, 0, 3, 512}));
    x.vocab = nullptr;
    EXPECT_EQ(ask(&x), (answers{1, 0, 1, 0, 2, 0, 0, 0}));
    x.ctx = nullptr;
    x.has_shared_prefix = true;
    x.shared_prefix_len = 12;
    EXPECT_EQ(ask(&x), (answers{0, 0, 0, 0, 0, 500, 0, 0}));
}

}  // namespace
