// The library's text exports on every real family: vl_llama_tokenize gives
// llama.cpp's expected tokenizations, vl_llama_model_info the vocabulary's own
// special tokens and rules, vl_llama_token_piece llama.cpp's pieces, and
// vl_llama_encode_chat the family's own template applied and tokenized as
// llama.cpp does, each checked against the vocabulary-only file itself.
#include <string>

#include "support/family_support.h"
#include "support/test_support.h"

using namespace vl_test;

namespace {

class FamilyText : public ::testing::TestWithParam<family> {
protected:
    void SetUp() override {
        original = cached_model(GetParam().vocabulary);
        ASSERT_NE(original->model, nullptr);
        runtime = cached_runtime(GetParam().fixture());
        ASSERT_NE(runtime, nullptr);
    }
    std::vector<llama_token> tokenize(const std::string &text, bool add, bool parse) {
        char err[128] = "";
        const int64_t n = vl_llama_tokenize(runtime, text.data(), text.size(), add, parse,
                                            nullptr, 0, err, sizeof err);
        EXPECT_GE(n, 0) << err;
        std::vector<uint32_t> ids(static_cast<size_t>(n < 0 ? 0 : n));
        if (!ids.empty()) {
            EXPECT_EQ(vl_llama_tokenize(runtime, text.data(), text.size(), add, parse, ids.data(),
                                        ids.size(), err, sizeof err),
                      n)
                << err;
        }
        return {ids.begin(), ids.end()};
    }
    std::string piece(uint32_t id, std::string &err) {
        char e[128] = "";
        const int64_t n = vl_llama_token_piece(runtime, id, nullptr, 0, e, sizeof e);
        err = e;
        if (n < 0) return "";
        std::string text(static_cast<size_t>(n) + 1, '\0');
        EXPECT_EQ(vl_llama_token_piece(runtime, id, text.data(), text.size(), e, sizeof e), n) << e;
        text.resize(static_cast<size_t>(n));
        return text;
    }
    int64_t info(int32_t what) const { return vl_llama_model_info(runtime, what); }

    const loaded_model *original = nullptr;
    vl_llama_runtime *runtime = nullptr;
};

TEST_P(FamilyText, TokenizeGivesLlamaCppsExpectedIds) {
    const std::vector<expected_tokenization> cases = expected_tokenizations(GetParam());
    if (cases.empty()) GTEST_SKIP() << GetParam().vocabulary << " has no .inp/.out beside it";
    for (const expected_tokenization &c : cases) {
        SCOPED_TRACE("text: \"" + c.text + "\"");
        EXPECT_EQ(tokenize(c.text, false, false), c.ids);
        EXPECT_EQ(tokenize(c.text, true, true), reference_tokenize(original->vocab(), c.text, true, true));
    }
}

// What the vocabulary file says, through llama.cpp: the start and end tokens
// that tokenizing adds, and the BOS and EOS ids whether or not it adds them.
TEST_P(FamilyText, ModelInfoGivesTheVocabularysSpecialTokens) {
    const llama_vocab *v = original->vocab();
    auto id_or_none = [](llama_token t) { return t < 0 ? int64_t{-1} : int64_t{t}; };
    const int64_t bos = id_or_none(llama_vocab_bos(v)), eos = id_or_none(llama_vocab_eos(v));
    EXPECT_EQ(info(VL_LLAMA_INFO_N_VOCAB), llama_vocab_n_tokens(v));
    EXPECT_EQ(info(VL_LLAMA_INFO_BOS_TOKEN), bos);
    EXPECT_EQ(info(VL_LLAMA_INFO_EOS_TOKEN), eos);
    EXPECT_EQ(info(VL_LLAMA_INFO_START_TOKEN), llama_vocab_get_add_bos(v) ? bos : -1);
    EXPECT_EQ(info(VL_LLAMA_INFO_END_TOKEN), llama_vocab_get_add_eos(v) ? eos : -1);
    EXPECT_EQ(info(VL_LLAMA_INFO_HAS_CHAT_TEMPLATE), original->chat_template().empty() ? 0 : 1);
    // The family's own trained length, which the vocabulary file states.
    const std::string arch = original->meta("general.architecture");
    const std::string stated = original->meta(arch + ".context_length");
    EXPECT_EQ(info(VL_LLAMA_INFO_N_CTX_TRAIN), stated.empty() ? 2048 : std::stoll(stated));

    // The start token is what tokenizing with the special tokens puts first.
    const std::vector<llama_token> bare = tokenize("Hello world", false, false);
    std::vector<llama_token> marked = bare;
    if (info(VL_LLAMA_INFO_START_TOKEN) >= 0)
        marked.insert(marked.begin(), static_cast<llama_token>(info(VL_LLAMA_INFO_START_TOKEN)));
    if (info(VL_LLAMA_INFO_END_TOKEN) >= 0) marked.push_back(static_cast<llama_token>(info(VL_LLAMA_INFO_END_TOKEN)));
    EXPECT_EQ(tokenize("Hello world", true, false), marked);

    // Qwen2 names <|endoftext|> both BOS and EOS but adds neither: the case
    // where only the new keys give a host a token to start from.
    if (GetParam().name == "qwen2") {
        EXPECT_EQ(info(VL_LLAMA_INFO_N_CTX_TRAIN), 32768);
        EXPECT_EQ(info(VL_LLAMA_INFO_START_TOKEN), -1);
        EXPECT_EQ(info(VL_LLAMA_INFO_BOS_TOKEN), 151643);
        EXPECT_EQ(info(VL_LLAMA_INFO_EOS_TOKEN), 151643);
    }
}

// llama.cpp's piece of every special token and of ids spread over the whole
// vocabulary, its last among them.
TEST_P(FamilyText, TokenPieceIsLlamaCppsPieceWithSpecialTokensWrittenOut) {
    const llama_vocab *v = original->vocab();
    const int32_t n = llama_vocab_n_tokens(v);
    std::vector<llama_token> ids;
    for (llama_token id = 0; id < n; ++id) {
        const bool special = (llama_vocab_get_attr(v, id) & (LLAMA_TOKEN_ATTR_CONTROL | LLAMA_TOKEN_ATTR_USER_DEFINED)) != 0;
        if (special || id % 211 == 0 || id == n - 1) ids.push_back(id);
    }
    std::string err;
    int checked = 0;
    for (llama_token id : ids) {
        char buf[256];
        const int32_t len = llama_token_to_piece(v, id, buf, sizeof buf, 0, true);
        ASSERT_GE(len, 0) << id;
        EXPECT_EQ(piece(static_cast<uint32_t>(id), err), std::string(buf, static_cast<size_t>(len))) << id << err;
        ++checked;
    }
    EXPECT_GT(checked, n / 211);
    piece(static_cast<uint32_t>(n), err);
    EXPECT_EQ(err, "token id exceeds vocabulary size");
}

// The family's own template as llama.cpp applies it, then its tokenizer with
// special-token parsing: the template's markers become single special tokens.
TEST_P(FamilyText, EncodeChatUsesTheFamilysOwnTemplate) {
    const std::string tmpl = original->chat_template();
    char err[128] = "";
    if (tmpl.empty()) {
        EXPECT_EQ(vl_llama_encode_chat(runtime, "You are terse.", "Say hi.", nullptr, nullptr, 0, err,
                                       sizeof err),
                  -1);
        EXPECT_STREQ(err, "GGUF model does not expose a llama.cpp-supported chat template");
        return;
    }
    for (const char *system : {"You are terse.", static_cast<const char *>(nullptr)}) {
        for (const char *prefix : {static_cast<const char *>(nullptr), " The answer is"}) {
            SCOPED_TRACE(std::string(system ? "system" : "no system") + (prefix ? ", prefix" : ""));
            std::vector<llama_chat_message> messages;
            if (system != nullptr) messages.push_back({"system", system});
            messages.push_back({"user", "Say hi."});
            const int32_t size = llama_chat_apply_template(tmpl.c_str(), messages.data(), messages.size(), true,
                                                           nullptr, 0);
            ASSERT_GT(size, 0);
            std::string text(static_cast<size_t>(size), '\0');
            llama_chat_apply_template(tmpl.c_str(), messages.data(), messages.size(), true, text.data(), size);
            if (prefix != nullptr) text += prefix;
            const std::vector<llama_token> expected = reference_tokenize(original->vocab(), text, true, true);

            const int64_t count = vl_llama_encode_chat(runtime, system, "Say hi.", prefix, nullptr, 0, err,
                                                       sizeof err);
            ASSERT_GT(count, 0) << err;
            std::vector<uint32_t> ids(static_cast<size_t>(count));
            ASSERT_EQ(vl_llama_encode_chat(runtime, system, "Say hi.", prefix, ids.data(), ids.size(), err,
                                           sizeof err),
                      count);
            EXPECT_EQ(std::vector<llama_token>(ids.begin(), ids.end()), expected);
            int markers = 0;
            for (uint32_t id : ids)
                if (llama_vocab_is_control(original->vocab(), static_cast<llama_token>(id)) &&
                    static_cast<llama_token>(id) != llama_vocab_bos(original->vocab()))
                    ++markers;
            EXPECT_GE(markers, 2) << "the template's turn markers are special tokens";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Vocabularies, FamilyText, ::testing::ValuesIn(families()), family_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FamilyText);

}  // namespace
