// vl_llama_generate: every prompt's tokens against llama.cpp's own greedy
// loop over that prompt alone, stop strings on the decoded text, the end
// token, the batch and sequence edges, the checks, and what a failing
// decode leaves behind.
#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "support/family_support.h"
#include "support/test_support.h"

using namespace vl_test;

namespace {

// A request in the flat layout the export takes.
struct request {
    std::vector<uint32_t> tokens;
    std::vector<size_t> prompt_offsets{0};
    std::vector<size_t> out_offsets{0};
    std::string stop_text;
    std::vector<size_t> stop_offsets{0};
    std::vector<size_t> stop_sets{0};

    void add(const std::vector<uint32_t> &prompt, size_t limit, const std::vector<std::string> &stops = {}) {
        tokens.insert(tokens.end(), prompt.begin(), prompt.end());
        prompt_offsets.push_back(tokens.size());
        out_offsets.push_back(out_offsets.back() + limit);
        for (const std::string &s : stops) {
            stop_text += s;
            stop_offsets.push_back(stop_text.size());
        }
        stop_sets.push_back(stop_offsets.size() - 1);
    }
    size_t count() const { return prompt_offsets.size() - 1; }
};

struct outcome {
    std::string message = "ok";
    std::vector<std::vector<uint32_t>> tokens;
    std::vector<int32_t> reasons;
};

// llama.cpp's own greedy generation of one prompt, alone in a fresh context
// like the runtime's: the prompt decoded, then one token at a time.
std::vector<uint32_t> direct_greedy(vl_llama_runtime *runtime, const std::vector<uint32_t> &prompt, size_t limit,
                                    bool *ended = nullptr, std::vector<float> *gaps = nullptr) {
    llama_context_params params = llama_context_default_params();
    params.n_ctx = runtime->n_ctx;
    params.n_batch = runtime->n_batch;
    params.n_seq_max = 1;
    params.n_threads = 1;
    params.n_threads_batch = 1;
    llama_context *ctx = real::llama_init_from_model(runtime->model, params);
    EXPECT_NE(ctx, nullptr);
    std::vector<llama_token> ids(prompt.begin(), prompt.end());
    std::vector<uint32_t> out;
    const int32_t n_vocab = vocab_size(runtime);
    if (ended != nullptr) *ended = false;
    for (size_t at = 0; at < ids.size(); at += runtime->n_batch) {
        const auto n = static_cast<int32_t>(std::min<size_t>(runtime->n_batch, ids.size() - at));
        EXPECT_EQ(real::llama_decode(ctx, llama_batch_get_one(ids.data() + at, n)), 0);
    }
    while (out.size() < limit) {
        const float *row = real::llama_get_logits_ith(ctx, -1);
        llama_token best = 0;
        for (llama_token t = 1; t < n_vocab; ++t)
            if (row[t] > row[best]) best = t;
        if (gaps != nullptr) {
            float second = -std::numeric_limits<float>::infinity();
            for (llama_token t = 0; t < n_vocab; ++t)
                if (t != best) second = std::max(second, row[t]);
            gaps->push_back(row[best] - second);
        }
        if (llama_vocab_is_eog(runtime->vocab, best)) {
            if (ended != nullptr) *ended = true;
            break;
        }
        out.push_back(static_cast<uint32_t>(best));
        if (out.size() == limit) break;
        EXPECT_EQ(real::llama_decode(ctx, llama_batch_get_one(&best, 1)), 0);
    }
    real::llama_free(ctx);
    return out;
}

class Generate : public ::testing::Test {
protected:
    void open(const std::string &path, int32_t n_ctx = 512, int32_t n_batch = 512, int32_t n_seq_max = 4) {
        vl_llama_config config = test_config();
        config.n_ctx = n_ctx;
        config.n_batch = n_batch;
        config.n_seq_max = n_seq_max;
        runtime = open_runtime(path, config);
        ASSERT_NE(runtime, nullptr);
    }
    void open_stories(int32_t n_ctx = 512, int32_t n_batch = 512, int32_t n_seq_max = 4) {
        const std::string path = shared_model_path("stories260K.gguf");
        if (path.empty()) GTEST_SKIP() << "../shared/models/stories260K.gguf is absent";
        open(path, n_ctx, n_batch, n_seq_max);
    }
    std::vector<uint32_t> tokenize(const std::string &text, bool start = true) {
        uint32_t ids[512];
        char err[128] = "";
        const int64_t n = vl_llama_tokenize(runtime.get(), text.data(), text.size(), start, 0, ids, 512, err,
                                            sizeof err);
        EXPECT_GE(n, 0) << err;
        return std::vector<uint32_t>(ids, ids + std::max<int64_t>(n, 0));
    }
    std::string text(const std::vector<uint32_t> &ids) {
        char out[4096];
        char err[128] = "";
        const int64_t n = vl_llama_decode_tokens(runtime.get(), ids.data(), ids.size(), out, sizeof out, err,
                                                 sizeof err);
        EXPECT_GE(n, 0) << err;
        return std::string(out, static_cast<size_t>(std::max<int64_t>(n, 0)));
    }
    std::string prefill(const std::vector<uint32_t> &prefix) {
        char err[128] = "";
        return vl_llama_prefill_shared(runtime.get(), prefix.data(), prefix.size(), err, sizeof err) == 0 ? "ok"
                                                                                                         : err;
    }
    outcome generate(const request &r, bool with_stops = true) {
        outcome o;
        std::vector<uint32_t> out(r.out_offsets.back() + 1, 0xdeadbeef);
        std::vector<size_t> counts(r.count(), 999);
        o.reasons.assign(r.count(), 99);
        char err[128] = "";
        const int32_t rc = vl_llama_generate(
            runtime.get(), r.tokens.empty() ? nullptr : r.tokens.data(), r.prompt_offsets.data(), r.count(),
            r.stop_text.data(), r.stop_offsets.data(), with_stops ? r.stop_sets.data() : nullptr, out.data(),
            r.out_offsets.data(), counts.data(), o.reasons.data(), err, sizeof err);
        if (rc != 0) o.message = err;
        for (size_t i = 0; i < r.count(); ++i) {
            const size_t n = std::min(counts[i], r.out_offsets[i + 1] - r.out_offsets[i]);
            o.tokens.emplace_back(out.begin() + static_cast<long>(r.out_offsets[i]),
                                  out.begin() + static_cast<long>(r.out_offsets[i] + n));
        }
        EXPECT_EQ(out.back(), 0xdeadbeefu) << "written past the last limit";
        return o;
    }
    void expect_scratch_empty() {
        for (llama_seq_id s = 1; s < static_cast<llama_seq_id>(runtime->n_seq_max); ++s)
            EXPECT_EQ(seq_range(runtime.get(), s).second, -1) << "sequence " << s;
    }
    runtime_ptr runtime;
};

const char *const story_openings[] = {
    "Once upon a time, there was a little",
    "Once upon a time, there was a big dog",
    "Once upon a time, Tom",
    "Once upon a time, there was a little girl named",
    "Lily went to the",
    "Once upon a time, there was a",
};

// Six prompts in three scratch sequences, most sharing an opening: limits
// of 0, 1 and more, each prompt's tokens those of its lone greedy loop.
TEST_F(Generate, EachPromptEqualsItsOwnGreedyLoop) {
    open_stories();
    const size_t limits[] = {40, 1, 0, 25, 33, 60};
    request r;
    for (size_t i = 0; i < 6; ++i) r.add(tokenize(story_openings[i]), limits[i]);
    reset_counts();
    const outcome got = generate(r);
    ASSERT_EQ(got.message, "ok");
    for (size_t i = 0; i < 6; ++i) {
        bool ended = false;
        const std::vector<uint32_t> want = direct_greedy(runtime.get(), tokenize(story_openings[i]), limits[i], &ended);
        EXPECT_EQ(got.tokens[i], want) << story_openings[i];
        EXPECT_EQ(got.reasons[i], ended ? VL_LLAMA_STOP_END_TOKEN : VL_LLAMA_STOP_LIMIT) << i;
    }
    EXPECT_EQ(got.tokens[2].size(), 0u);
    EXPECT_EQ(text(got.tokens[0]),
              "girl named Lily. She loved to play outside in the park. One day, she saw a big, red ball. She wanted to play");
    // One decode per step for all the running prompts: fewer than the tokens
    // generated (the last prompt starts once a sequence frees, after 26).
    EXPECT_LE(counts().llama_decode, 1 + 26 + 60);
    expect_scratch_empty();
    EXPECT_EQ(seq_range(runtime.get(), 0).second, -1) << "no prefix retained: the memory is cleared";
    EXPECT_FALSE(runtime->has_shared_prefix);
}

// After a retained prefix the prompts follow it (one empty: it starts from
// the kept logits), and the prefix is as it was afterwards.
TEST_F(Generate, PromptsFollowTheRetainedPrefix) {
    open_stories();
    const std::vector<uint32_t> prefix = tokenize("Once upon a time,");
    const std::string rest[] = {"", " there was a little", " Tom"};
    ASSERT_EQ(prefill(prefix), "ok");
    const std::vector<float> kept = runtime->shared_logits;
    request r;
    for (const std::string &s : rest) r.add(s.empty() ? std::vector<uint32_t>{} : tokenize(s, false), 30);
    const outcome got = generate(r);
    ASSERT_EQ(got.message, "ok");
    for (size_t i = 0; i < 3; ++i) {
        std::vector<uint32_t> whole = prefix;
        const std::vector<uint32_t> own = rest[i].empty() ? std::vector<uint32_t>{} : tokenize(rest[i], false);
        whole.insert(whole.end(), own.begin(), own.end());
        EXPECT_EQ(got.tokens[i], direct_greedy(runtime.get(), whole, 30)) << i;
    }
    EXPECT_TRUE(runtime->has_shared_prefix);
    EXPECT_EQ(runtime->shared_logits, kept);
    EXPECT_EQ(seq_range(runtime.get(), 0), std::make_pair(0, static_cast<llama_pos>(prefix.size()) - 1));
    expect_scratch_empty();
}

// Prompts and a shared opening longer than one decode (n_batch 16), and a
// window that holds one prompt's tokens at a time.
TEST_F(Generate, PromptsLongerThanTheBatchAndATightWindow) {
    open_stories(96, 16, 4);
    const std::vector<uint32_t> a = tokenize("Once upon a time, there was a little girl named Lily. She loved to play "
                                             "outside in the park. One day, she saw a big");
    const std::vector<uint32_t> b = tokenize("Once upon a time, there was a little girl named Lily. She loved to play "
                                             "outside in the park. One day, she saw a cat");
    ASSERT_GT(a.size(), 32u);
    // The first prompt may fill the window to its last cell: the others wait.
    // (No token ends a story here, so that it does fill it.)
    fakes().llama_vocab_is_eog = [](const llama_vocab *, llama_token) { return false; };
    const size_t whole = runtime->n_ctx - a.size() + 1;
    request r;
    r.add(a, whole);
    r.add(b, 150);
    r.add(a, 12);
    const outcome got = generate(r);
    ASSERT_EQ(got.message, "ok");
    EXPECT_EQ(got.tokens[0], direct_greedy(runtime.get(), a, whole));
    EXPECT_EQ(got.tokens[0].size(), whole);
    EXPECT_EQ(got.tokens[1], direct_greedy(runtime.get(), b, 150));
    EXPECT_EQ(got.tokens[2], direct_greedy(runtime.get(), a, 12));
    expect_scratch_empty();
}

// Stop strings on the text: across a token boundary, within the first
// token, never met; the last token written is the one completing it.
TEST_F(Generate, StopStringsEndOnTheTokenThatCompletesThem) {
    open_stories();
    const std::vector<uint32_t> prompt = tokenize(story_openings[0]);
    const std::vector<uint32_t> want = direct_greedy(runtime.get(), prompt, 30);
    ASSERT_EQ(want.size(), 30u);
    // A string made of the end of token k's text and the start of k + 1's.
    size_t k = 0, joint = 0;
    std::string across;
    for (k = 3; k + 1 < want.size(); ++k) {
        const std::string before = text({want.begin(), want.begin() + static_cast<long>(k + 1)});
        const std::string after = text({want.begin(), want.begin() + static_cast<long>(k + 2)});
        if (before.size() >= 2 && after.size() >= before.size() + 2 &&
            after.find(before.substr(before.size() - 2)) == before.size() - 2) {
            across = after.substr(before.size() - 2, 4);
            joint = before.size() - 2;
            if (across.find(' ') == std::string::npos) break;
        }
    }
    ASSERT_FALSE(across.empty());
    const std::string first = text({want[0]}).substr(0, 2);
    request r;
    r.add(prompt, 30, {"never in a story", across});
    r.add(prompt, 30, {first});
    r.add(prompt, 30, {"zzqq"});
    const outcome got = generate(r);
    ASSERT_EQ(got.message, "ok");
    EXPECT_EQ(got.tokens[0], std::vector<uint32_t>(want.begin(), want.begin() + static_cast<long>(k + 2)));
    EXPECT_EQ(got.reasons[0], VL_LLAMA_STOP_STRING);
    const std::string cut = text(got.tokens[0]);
    EXPECT_EQ(cut.find(across), joint) << "the string begins in the next to last token's text";
    EXPECT_EQ(got.tokens[1], std::vector<uint32_t>{want[0]});
    EXPECT_EQ(got.reasons[1], VL_LLAMA_STOP_STRING);
    EXPECT_EQ(got.tokens[2], want);
    EXPECT_EQ(got.reasons[2], VL_LLAMA_STOP_LIMIT);
    // Without the stop lists every prompt runs to its limit.
    const outcome plain = generate(r, false);
    EXPECT_EQ(plain.tokens[0], want);
    EXPECT_EQ(plain.reasons[0], VL_LLAMA_STOP_LIMIT);
}

// An end-of-generation token ends the prompt and is not written.
TEST_F(Generate, EndTokenEndsThePromptUnwritten) {
    open_stories();
    const std::vector<uint32_t> prompt = tokenize(story_openings[0]);
    const std::vector<uint32_t> want = direct_greedy(runtime.get(), prompt, 12);
    // The model's sixth choice counts as an end token here.
    const llama_token end = static_cast<llama_token>(want[5]);
    fakes().llama_vocab_is_eog = [end](const llama_vocab *v, llama_token t) {
        return t == end || real::llama_vocab_is_eog(v, t);
    };
    request r;
    r.add(prompt, 12);
    r.add(tokenize("Lily went to the"), 3);
    const outcome got = generate(r);
    ASSERT_EQ(got.message, "ok");
    EXPECT_EQ(got.tokens[0], std::vector<uint32_t>(want.begin(), want.begin() + 5));
    EXPECT_EQ(got.reasons[0], VL_LLAMA_STOP_END_TOKEN);
    EXPECT_EQ(got.reasons[1], VL_LLAMA_STOP_LIMIT);
}

// The export's arguments, from a request, for the refusal cases to bend.
struct call_args {
    vl_llama_runtime *rt;
    const uint32_t *tokens;
    const size_t *prompt_offsets;
    size_t count;
    const char *stop_text;
    const size_t *stop_offsets;
    const size_t *stop_sets;
    uint32_t *out;
    const size_t *out_offsets;
};

// On a model with random weights the two best logits are now and then
// nearly tied, and a batched decode, rounding a little differently, may take
// the other token: every prompt agrees with its lone loop up to a step where
// the lone loop's top two were that close.
void expect_parting_only_at_near_ties(vl_llama_runtime *rt, const std::vector<std::vector<uint32_t>> &prompts,
                                      size_t limit, const outcome &got, const std::string &what) {
    size_t same = 0;
    for (size_t i = 0; i < prompts.size(); ++i) {
        std::vector<float> gaps;
        const std::vector<uint32_t> want = direct_greedy(rt, prompts[i], limit, nullptr, &gaps);
        if (got.tokens[i] == want) {
            ++same;
            continue;
        }
        size_t k = 0;
        while (k < want.size() && k < got.tokens[i].size() && want[k] == got.tokens[i][k]) ++k;
        ASSERT_LT(k, gaps.size());
        std::printf("%s: prompt %zu parts after %zu tokens, top-two gap %.3g\n", what.c_str(), i, k, gaps[k]);
        EXPECT_LT(gaps[k], 2e-2f) << what << ": prompt " << i << " parts after " << k << " tokens";
    }
    std::printf("%s: %zu of %zu prompts equal their lone loop over %zu tokens\n", what.c_str(), same, prompts.size(),
                limit);
}

// Prompts sharing 24 tokens, each with a few of its own.
std::vector<std::vector<uint32_t>> shared_opening_prompts(uint32_t count, uint32_t first, uint32_t step) {
    std::vector<std::vector<uint32_t>> prompts;
    for (uint32_t i = 0; i < count; ++i) {
        std::vector<uint32_t> p = sample_prompt(24, first);
        const std::vector<uint32_t> own = sample_prompt(3 + i, first - 40 + step * i);
        p.insert(p.end(), own.begin(), own.end());
        prompts.push_back(p);
    }
    return prompts;
}

TEST_F(Generate, RandomWeightsPartOnlyAtNearTies) {
    open(fixture_path("chatml"), 512, 512, 4);
    const std::vector<std::vector<uint32_t>> prompts = shared_opening_prompts(6, 300, 13);
    request r;
    for (const auto &p : prompts) r.add(p, 48);
    const outcome got = generate(r);
    ASSERT_EQ(got.message, "ok");
    expect_parting_only_at_near_ties(runtime.get(), prompts, 48, got, "chatml fixture");
}

// The same on the fixtures of the real families: their vocabularies, end
// tokens and sizes (up to Qwen2's 151,936 tokens) with random weights; four
// prompts in three sequences, shorter, as the rows are large.
class GenerateFamily : public Generate, public ::testing::WithParamInterface<family> {};

TEST_P(GenerateFamily, PartsOnlyAtNearTies) {
    open(GetParam().fixture("f32"), 512, 512, 4);
    const std::vector<std::vector<uint32_t>> prompts = shared_opening_prompts(4, 1000, 101);
    request r;
    for (const auto &p : prompts) r.add(p, 24, {"\n\n"});
    const outcome got = generate(r);
    ASSERT_EQ(got.message, "ok");
    // Stop strings aside, each prompt's tokens begin its lone loop's.
    request plain;
    for (const auto &p : prompts) plain.add(p, 24);
    const outcome whole = generate(plain);
    ASSERT_EQ(whole.message, "ok");
    for (size_t i = 0; i < prompts.size(); ++i) {
        EXPECT_EQ(std::vector<uint32_t>(whole.tokens[i].begin(),
                                        whole.tokens[i].begin() + static_cast<long>(std::min(whole.tokens[i].size(), got.tokens[i].size()))),
                  got.tokens[i]);
        if (got.reasons[i] == VL_LLAMA_STOP_STRING) {
            EXPECT_NE(text(got.tokens[i]).find("\n\n"), std::string::npos);
        }
    }
    expect_parting_only_at_near_ties(runtime.get(), prompts, 24, whole, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Vocabularies, GenerateFamily, ::testing::ValuesIn(families()), family_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(GenerateFamily);

// Greedy takes the lowest id among equal largest logits.
TEST_F(Generate, TiesGoToTheLowestId) {
    open_stories();
    std::vector<float> row(static_cast<size_t>(vocab_size(runtime.get())), 0.0f);
    row[300] = row[77] = row[450] = 5.0f;
    fakes().llama_get_logits_ith = [&row](llama_context *, int32_t) { return row.data(); };
    request r;
    r.add(tokenize("Once"), 3);
    const outcome got = generate(r);
    ASSERT_EQ(got.message, "ok");
    EXPECT_EQ(got.tokens[0], (std::vector<uint32_t>{77, 77, 77}));
    row[12] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(generate(r).message, "non-finite vocabulary logit");
}

// Every check, in order, before the memory changes: a retained prefix and
// its kept logits stay, nothing is decoded, no output is written.
TEST_F(Generate, RefusalsComeBeforeAnyChange) {
    open_stories(64, 64, 4);
    const std::vector<uint32_t> prefix = tokenize("Once upon");
    ASSERT_EQ(prefill(prefix), "ok");
    const std::vector<float> kept = runtime->shared_logits;
    const std::vector<uint32_t> good = tokenize(" a time", false);
    const size_t room = runtime->n_ctx - prefix.size() - good.size() + 1;  // the longest limit that fits
    struct bad_case {
        const char *message;
        std::function<void(request &)> make;
        std::function<void(call_args &)> bend;
    };
    auto two = [&](request &r) { r.add(good, 4, {"x"}); r.add(good, room); };
    auto none = [](call_args &) {};
    const std::vector<bad_case> cases = {
        {"invalid generation arguments", two, [](call_args &a) { a.rt = nullptr; }},
        {"invalid generation arguments", two, [](call_args &a) { a.count = 0; }},
        {"invalid generation arguments", two, [](call_args &a) { a.prompt_offsets = nullptr; }},
        {"invalid generation arguments", two, [](call_args &a) { a.tokens = nullptr; }},
        {"invalid generation arguments", two, [](call_args &a) { a.out = nullptr; }},
        {"invalid generation arguments", two, [](call_args &a) { a.stop_offsets = nullptr; }},
        {"invalid generation arguments", two, [](call_args &a) { a.stop_text = nullptr; }},
        {"generation offsets are invalid", two, [](call_args &a) { a.prompt_offsets += 1; a.count = 1; }},
        {"generation offsets are invalid", [&](request &r) { two(r); r.out_offsets = {0, 4, 2}; }, none},
        {"generation offsets are invalid", [&](request &r) { two(r); r.stop_sets = {0, 1, 0}; }, none},
        {"stop string is empty", [&](request &r) { r.add(good, 4, {"a", ""}); }, none},
        {"token id exceeds llama.cpp range", [&](request &r) { two(r); r.add({5, 0x80000000u}, 4); }, none},
        {"prompt token exceeds vocabulary size", [&](request &r) { two(r); r.add({5, 512}, 4); }, none},
        {"prompt and new-token limit do not fit the context window", [&](request &r) { r.add(good, room + 1); }, none},
    };
    for (const bad_case &c : cases) {
        request r;
        c.make(r);
        std::vector<uint32_t> out(r.out_offsets.back() + 1, 7);
        call_args a{runtime.get(), r.tokens.data(), r.prompt_offsets.data(), r.count(), r.stop_text.data(),
                    r.stop_offsets.data(), r.stop_sets.data(), out.data(), r.out_offsets.data()};
        c.bend(a);
        std::vector<size_t> written(r.count(), 9);
        std::vector<int32_t> reasons(r.count(), 9);
        char err[128] = "";
        reset_counts();
        EXPECT_EQ(vl_llama_generate(a.rt, a.tokens, a.prompt_offsets, a.count, a.stop_text, a.stop_offsets,
                                    a.stop_sets, a.out, a.out_offsets, written.data(), reasons.data(), err, sizeof err),
                  -1);
        EXPECT_STREQ(err, c.message);
        EXPECT_EQ(counts().llama_decode, 0) << c.message;
        EXPECT_EQ(counts().llama_memory_clear + counts().llama_memory_seq_rm, 0) << c.message;
        EXPECT_EQ(std::count(written.begin(), written.end(), 9u), static_cast<long>(r.count())) << c.message;
        EXPECT_EQ(std::count(out.begin(), out.end(), 7u), static_cast<long>(out.size())) << c.message;
        EXPECT_TRUE(runtime->has_shared_prefix);
        EXPECT_EQ(runtime->shared_logits, kept);
    }
    // The longest limit that fits is taken.
    request fits;
    two(fits);
    EXPECT_EQ(generate(fits).message, "ok");

    // An empty prompt needs a retained prefix.
    runtime_ptr other = open_runtime(shared_model_path("stories260K.gguf"));
    const size_t offsets[] = {0, 0}, limits[] = {0, 4};
    size_t count = 9;
    int32_t reason = 9;
    uint32_t out[4];
    char err[128] = "";
    EXPECT_EQ(vl_llama_generate(other.get(), nullptr, offsets, 1, nullptr, nullptr, nullptr, out, limits, &count,
                                &reason, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "prompt is empty and no shared prefix is retained");
}

// A decode failing mid-generation: the call fails with its message, what was
// generated stays, the memory is restored, and the next call works.
TEST_F(Generate, FailingDecodeLeavesTheRuntimeUsable) {
    open_stories();
    const std::vector<uint32_t> prefix = tokenize("Once upon a time,");
    ASSERT_EQ(prefill(prefix), "ok");
    request r;
    r.add(tokenize(" there was a little", false), 20);
    r.add(tokenize(" Tom", false), 20);
    int calls = 0;
    fakes().llama_decode = [&calls](llama_context *c, llama_batch b) {
        return ++calls == 6 ? -1 : real::llama_decode(c, b);
    };
    const outcome failed = generate(r);
    EXPECT_EQ(failed.message, "llama_decode failed while generating");
    EXPECT_EQ(failed.reasons[0], -1);
    EXPECT_FALSE(failed.tokens[0].empty());
    expect_scratch_empty();
    EXPECT_TRUE(runtime->has_shared_prefix);
    EXPECT_EQ(seq_range(runtime.get(), 0).second, static_cast<llama_pos>(prefix.size()) - 1);

    fakes().llama_decode = nullptr;
    fakes().llama_get_logits_ith = [](llama_context *, int32_t) -> float * { return nullptr; };
    EXPECT_EQ(generate(r).message, "llama_get_logits_ith returned null while generating");
    fakes().llama_get_logits_ith = nullptr;

    const outcome again = generate(r);
    ASSERT_EQ(again.message, "ok");
    std::vector<uint32_t> whole = prefix;
    const std::vector<uint32_t> own = tokenize(" there was a little", false);
    whole.insert(whole.end(), own.begin(), own.end());
    EXPECT_EQ(again.tokens[0], direct_greedy(runtime.get(), whole, 20));
    EXPECT_EQ(failed.tokens[0], std::vector<uint32_t>(again.tokens[0].begin(),
                                                      again.tokens[0].begin() + static_cast<long>(failed.tokens[0].size())));
}

}  // namespace
