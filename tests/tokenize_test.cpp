// vl_llama_tokenize: text to ids with the model's vocabulary, as llama.cpp's
// own tokenizer gives them, with its size query, flags and refusals; and the
// model facts vl_llama_model_info gives, the start and end tokens among them.
#include <string>

#include "support/test_support.h"

using namespace vl_test;

namespace {

// Returns the count or -1, with the message in err.
int64_t tokenize(vl_llama_runtime *rt, const char *text, size_t len, bool add, bool parse,
                 std::vector<uint32_t> *out, std::string &err) {
    char buf[128] = "";
    const int64_t n = vl_llama_tokenize(rt, text, len, add ? 1 : 0, parse ? 1 : 0, out ? out->data() : nullptr,
                                        out ? out->size() : 0, buf, sizeof buf);
    err = buf;
    return n;
}

TEST(Tokenize, GivesTheVocabularysIdsWithAndWithoutTheStartToken) {
    VL_REQUIRE_SHARED_MODEL(path, "stories260K.gguf");
    runtime_ptr rt = open_runtime(path);
    const std::string text = "Once upon a time, there was a little";
    const std::vector<uint32_t> expected{1, 403, 407, 261, 378, 432, 383, 286, 261, 376};
    std::string err;
    std::vector<uint32_t> ids(16, 77);
    ASSERT_EQ(tokenize(rt.get(), text.c_str(), text.size(), true, false, nullptr, err), 10);
    ASSERT_EQ(tokenize(rt.get(), text.c_str(), text.size(), true, false, &ids, err), 10);
    EXPECT_EQ(std::vector<uint32_t>(ids.begin(), ids.begin() + 10), expected);
    EXPECT_EQ(ids[10], 77u);
    ASSERT_EQ(tokenize(rt.get(), text.c_str(), text.size(), false, false, &ids, err), 9);
    EXPECT_EQ(std::vector<uint32_t>(ids.begin(), ids.begin() + 9),
              std::vector<uint32_t>(expected.begin() + 1, expected.end()));
    // Only the bytes given count: "Once" of the longer text.
    ASSERT_EQ(tokenize(rt.get(), text.c_str(), 4, false, false, &ids, err), 1);
    EXPECT_EQ(ids[0], 403u);
    // Special-token text is parsed only when asked.
    const std::string special = "<s>";
    ASSERT_EQ(tokenize(rt.get(), special.c_str(), special.size(), false, true, &ids, err), 1);
    EXPECT_EQ(ids[0], 1u);
    EXPECT_GT(tokenize(rt.get(), special.c_str(), special.size(), false, false, &ids, err), 1);
    // Nothing to tokenize: no token, or the start token alone.
    EXPECT_EQ(tokenize(rt.get(), nullptr, 0, false, false, &ids, err), 0);
    EXPECT_EQ(tokenize(rt.get(), "", 0, true, false, &ids, err), 1);
    EXPECT_EQ(ids[0], 1u);
}

TEST(Tokenize, RefusesBadArgumentsAndSmallBuffers) {
    runtime_ptr rt = open_runtime(fixture_path("plain"));
    std::string err;
    EXPECT_EQ(tokenize(nullptr, "a", 1, true, false, nullptr, err), -1);
    EXPECT_EQ(err, "invalid tokenize arguments");
    EXPECT_EQ(tokenize(rt.get(), nullptr, 3, true, false, nullptr, err), -1);
    EXPECT_EQ(err, "invalid tokenize arguments");
    EXPECT_EQ(tokenize(rt.get(), "a", size_t{2147483648u}, true, false, nullptr, err), -1);
    EXPECT_EQ(err, "text exceeds llama.cpp int32 tokenization input limit");
    const std::string text = "a b c d e f";
    const int64_t n = tokenize(rt.get(), text.c_str(), text.size(), true, false, nullptr, err);
    ASSERT_GT(n, 2);
    std::vector<uint32_t> small(static_cast<size_t>(n - 1), 5);
    EXPECT_EQ(tokenize(rt.get(), text.c_str(), text.size(), true, false, &small, err), -1);
    EXPECT_EQ(err, "token output buffer is too small");
    EXPECT_EQ(small, std::vector<uint32_t>(static_cast<size_t>(n - 1), 5));
    // A tokenizer that throws is contained.
    fakes().llama_tokenize = [](const llama_vocab *, const char *, int32_t, llama_token *, int32_t, bool,
                                bool) -> int32_t { throw std::runtime_error("no byte piece"); };
    EXPECT_EQ(tokenize(rt.get(), text.c_str(), text.size(), true, false, nullptr, err), -1);
    EXPECT_EQ(err, "llama_tokenize failed");
    fakes() = fake_set{};
}

}  // namespace

namespace {

std::vector<uint32_t> tokenized(const vl_llama_runtime *r, const std::string &text, int32_t add_special) {
    std::vector<uint32_t> ids(64);
    const int64_t n = vl_llama_tokenize(r, text.data(), text.size(), add_special, 0, ids.data(),
                                        ids.size(), nullptr, 0);
    EXPECT_GE(n, 0);
    ids.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return ids;
}

}  // namespace

// The start and end tokens are exactly what tokenizing with add_special adds
// around the text; the other answers are the model's own.
TEST(ModelInfo, AnswersForTheFixturesAndStories) {
    const std::string stories = shared_model_path("stories260K.gguf");
    std::vector<std::string> paths = {fixture_path("plain"), fixture_path("chatml")};
    if (!stories.empty()) paths.push_back(stories);
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        runtime_ptr r = open_runtime(path);
        ASSERT_NE(r, nullptr);
        const int64_t start = vl_llama_model_info(r.get(), VL_LLAMA_INFO_START_TOKEN);
        const int64_t end = vl_llama_model_info(r.get(), VL_LLAMA_INFO_END_TOKEN);
        std::vector<uint32_t> expected;
        if (start >= 0) expected.push_back(static_cast<uint32_t>(start));
        for (uint32_t id : tokenized(r.get(), "The sky is blue", 0)) expected.push_back(id);
        if (end >= 0) expected.push_back(static_cast<uint32_t>(end));
        EXPECT_EQ(tokenized(r.get(), "The sky is blue", 1), expected);

        EXPECT_EQ(vl_llama_model_info(r.get(), VL_LLAMA_INFO_N_VOCAB), vocab_size(r.get()));
        EXPECT_EQ(vl_llama_model_info(r.get(), VL_LLAMA_INFO_N_CTX_TRAIN),
                  llama_model_n_ctx_train(r->model));
        EXPECT_EQ(vl_llama_model_info(r.get(), VL_LLAMA_INFO_HAS_CHAT_TEMPLATE),
                  path == fixture_path("chatml") ? 1 : 0);
        if (path != fixture_path("chatml")) {
            EXPECT_EQ(start, llama_vocab_bos(r->vocab));  // both add the start token
            EXPECT_GE(start, 0);
        }
        // Both vocabularies have <s> 1 and </s> 2, added or not.
        EXPECT_EQ(vl_llama_model_info(r.get(), VL_LLAMA_INFO_BOS_TOKEN), 1);
        EXPECT_EQ(vl_llama_model_info(r.get(), VL_LLAMA_INFO_EOS_TOKEN), 2);
        for (int32_t unknown : {-1, 7, 1000})
            EXPECT_EQ(vl_llama_model_info(r.get(), unknown), -1) << unknown;
    }
    if (stories.empty()) GTEST_SKIP() << "stories260K.gguf is absent: fixtures only";
}

TEST(ModelInfo, NullRuntimeAnswersMinusOne) {
    for (int32_t what : {VL_LLAMA_INFO_N_CTX_TRAIN, VL_LLAMA_INFO_HAS_CHAT_TEMPLATE,
                         VL_LLAMA_INFO_START_TOKEN, VL_LLAMA_INFO_END_TOKEN, VL_LLAMA_INFO_N_VOCAB,
                         VL_LLAMA_INFO_BOS_TOKEN, VL_LLAMA_INFO_EOS_TOKEN})
        EXPECT_EQ(vl_llama_model_info(nullptr, what), -1) << what;
}
