// vl_llama_decode_tokens.
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace vl_test;

namespace {

// Decodes with a size query, then a buffer of exactly length + 1 bytes.
std::string decode(const vl_llama_runtime *runtime, const std::vector<uint32_t> &ids) {
    char err[128] = "";
    const int64_t n = vl_llama_decode_tokens(runtime, ids.data(), ids.size(), nullptr, 0, err,
                                             sizeof err);
    EXPECT_GE(n, 0) << err;
    if (n < 0) return err;
    std::string text(static_cast<size_t>(n) + 1, '#');
    EXPECT_EQ(vl_llama_decode_tokens(runtime, ids.data(), ids.size(), text.data(), text.size(),
                                     err, sizeof err),
              n)
        << err;
    EXPECT_EQ(text.back(), '\0');
    text.pop_back();
    return text;
}

// llama.cpp's own detokenization with the same flags.
std::string reference_text(const vl_llama_runtime *runtime, const std::vector<uint32_t> &ids) {
    std::vector<llama_token> tokens(ids.begin(), ids.end());
    std::string text(4096, '\0');
    const int32_t n = real::llama_detokenize(runtime->vocab, tokens.data(),
                                             static_cast<int32_t>(tokens.size()), text.data(),
                                             static_cast<int32_t>(text.size()), false, false);
    EXPECT_GE(n, 0);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

// The message of a failing call, after checking it returned -1.
std::string failure(const vl_llama_runtime *runtime, const uint32_t *ids, size_t count,
                    char *out = nullptr, size_t cap = 0) {
    char err[128] = "untouched";
    EXPECT_EQ(vl_llama_decode_tokens(runtime, ids, count, out, cap, err, sizeof err), -1);
    return err;
}

class TokenDecoding : public ::testing::Test {
protected:
    static void SetUpTestSuite() { chatml = open_runtime(fixture_path("chatml")).release(); }
    static void TearDownTestSuite() { vl_llama_close(chatml); }
    static vl_llama_runtime *chatml;
};
vl_llama_runtime *TokenDecoding::chatml = nullptr;

}  // namespace

TEST_F(TokenDecoding, EncodedChatDecodesToATextContainingTheMessages) {
    ASSERT_NE(chatml, nullptr);
    char err[128] = "";
    std::vector<uint32_t> ids(256);
    const int64_t n = vl_llama_encode_chat(chatml, "You are terse.", "Say hi.", "Paris", ids.data(),
                                           ids.size(), err, sizeof err);
    ASSERT_GT(n, 0) << err;
    ids.resize(static_cast<size_t>(n));
    const std::string text = decode(chatml, ids);
    EXPECT_NE(text.find("You are terse."), std::string::npos) << text;
    EXPECT_NE(text.find("Say hi."), std::string::npos) << text;
    EXPECT_NE(text.find("Paris"), std::string::npos) << text;
    // Special tokens are not rendered.
    EXPECT_EQ(text.find("<|im_start|>"), std::string::npos) << text;
    EXPECT_EQ(text, reference_text(chatml, ids));
}

TEST(TokenDecodingRealModels, StoriesTokensDecodeToTheirStory) {
    VL_REQUIRE_SHARED_MODEL(path, "stories260K.gguf");
    runtime_ptr runtime = open_runtime(path);
    ASSERT_NE(runtime, nullptr);
    const std::vector<uint32_t> ids = {1, 403, 407, 261, 378, 432, 383, 286, 261, 376};
    const std::string text = decode(runtime.get(), ids);
    EXPECT_NE(text.find("Once upon a time, there was a little"), std::string::npos) << text;
    EXPECT_EQ(text, reference_text(runtime.get(), ids));
}

TEST_F(TokenDecoding, NoTokensGiveAnEmptyString) {
    char err[64] = "untouched";
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(vl_llama_decode_tokens(chatml, nullptr, 0, nullptr, 0, err, sizeof err), 0);
    EXPECT_EQ(vl_llama_decode_tokens(chatml, nullptr, 0, out, sizeof out, err, sizeof err), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'x');
    EXPECT_EQ(vl_llama_decode_tokens(chatml, nullptr, 0, out + 1, 1, err, sizeof err), 0);
    EXPECT_EQ(out[1], '\0');
    EXPECT_STREQ(err, "untouched");
}

TEST_F(TokenDecoding, BufferNeedsLengthPlusOneBytes) {
    const std::vector<uint32_t> ids = sample_prompt(5);
    char err[64] = "";
    const int64_t n = vl_llama_decode_tokens(chatml, ids.data(), ids.size(), nullptr, 0, err,
                                             sizeof err);
    ASSERT_GT(n, 0) << err;
    char sentinel = 's';
    EXPECT_EQ(vl_llama_decode_tokens(chatml, ids.data(), ids.size(), &sentinel, 0, err, sizeof err),
              n);
    EXPECT_EQ(sentinel, 's');

    std::string exact(static_cast<size_t>(n), '#');
    EXPECT_EQ(failure(chatml, ids.data(), ids.size(), exact.data(), exact.size()),
              "decode output buffer is too small");
    EXPECT_EQ(exact, std::string(static_cast<size_t>(n), '#'));

    std::string roomy(static_cast<size_t>(n) + 3, '#');
    EXPECT_EQ(vl_llama_decode_tokens(chatml, ids.data(), ids.size(), roomy.data(), n + 1, err,
                                     sizeof err),
              n);
    EXPECT_EQ(roomy[static_cast<size_t>(n)], '\0');
    EXPECT_EQ(roomy[static_cast<size_t>(n) + 1], '#');
    EXPECT_EQ(roomy.substr(0, static_cast<size_t>(n)), reference_text(chatml, ids));
}

TEST_F(TokenDecoding, RefusesInvalidArgumentsAndCounts) {
    const uint32_t one = 300;
    EXPECT_EQ(failure(nullptr, &one, 1), "invalid decode arguments");
    EXPECT_EQ(failure(chatml, nullptr, 1), "invalid decode arguments");
    vl_llama_runtime no_vocab;
    no_vocab.model = chatml->model;
    EXPECT_EQ(failure(&no_vocab, &one, 1), "invalid decode arguments");
    // The count is refused before any id is read.
    EXPECT_EQ(failure(chatml, &one, static_cast<size_t>(INT32_MAX) + 1), "too many tokens to decode");
    EXPECT_EQ(counts().llama_detokenize, 0);
}

TEST_F(TokenDecoding, IdAboveTheInt32RangeIsRefusedBeforeLlamaCpp) {
    const uint32_t ids[] = {300, 2147483648u, 301};
    char out[16] = "untouched";
    EXPECT_EQ(failure(chatml, ids, 3, out, sizeof out), "token id exceeds llama.cpp range");
    EXPECT_EQ(failure(chatml, ids, 3), "token id exceeds llama.cpp range");
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(counts().llama_detokenize, 0);
}

// llama.cpp throws for these ids; the call fails with a message instead of
// taking the host down, and the runtime stays usable.
TEST_F(TokenDecoding, IdsOutsideTheVocabularyFailCleanly) {
    const uint32_t n_vocab = static_cast<uint32_t>(vocab_size(chatml));
    for (uint32_t bad : {n_vocab, n_vocab + 1, 2147483647u}) {
        SCOPED_TRACE(bad);
        const uint32_t ids[] = {300, bad};
        char out[64] = "untouched";
        EXPECT_EQ(failure(chatml, ids, 2), "llama_detokenize failed");  // size query
        EXPECT_EQ(failure(chatml, ids, 2, out, sizeof out), "llama_detokenize failed");
        EXPECT_STREQ(out, "untouched");
        EXPECT_EQ(failure(chatml, &ids[1], 1, out, sizeof out), "llama_detokenize failed");
    }
    EXPECT_EQ(decode(chatml, {n_vocab - 1}), reference_text(chatml, {n_vocab - 1}));
}

TEST_F(TokenDecoding, DetokenizerFailures) {
    const std::vector<uint32_t> ids = sample_prompt(3);

    // Sizing pass overflow.
    fakes().llama_detokenize = [](const llama_vocab *, const llama_token *, int32_t, char *,
                                  int32_t, bool, bool) { return INT32_MIN; };
    EXPECT_EQ(failure(chatml, ids.data(), ids.size()), "llama_detokenize overflow");

    // Writing pass negative: whatever llama.cpp wrote stays.
    fakes().llama_detokenize = [](const llama_vocab *, const llama_token *, int32_t n, char *text,
                                  int32_t max, bool remove_special, bool unparse_special) {
        EXPECT_EQ(n, 3);
        EXPECT_FALSE(remove_special);
        EXPECT_FALSE(unparse_special);
        if (text == nullptr) {
            EXPECT_EQ(max, 0);
            return -5;
        }
        EXPECT_EQ(max, 7);
        std::memcpy(text, "par", 3);
        return -9;
    };
    char out[8] = "#######";
    EXPECT_EQ(failure(chatml, ids.data(), ids.size(), out, sizeof out), "llama_detokenize failed");
    EXPECT_EQ(std::string(out, 7), "par####");

    // Writing pass claiming more than the buffer holds: no NUL beyond it.
    fakes().llama_detokenize = [](const llama_vocab *, const llama_token *, int32_t, char *text,
                                  int32_t max, bool, bool) { return text == nullptr ? 2 : max + 1; };
    char guarded[8] = "#######";
    EXPECT_EQ(failure(chatml, ids.data(), ids.size(), guarded, 4), "llama_detokenize failed");
    EXPECT_EQ(std::string(guarded, 7), "#######");

    // An exception in the writing pass.
    fakes().llama_detokenize = [](const llama_vocab *v, const llama_token *t, int32_t n,
                                  char *text, int32_t max, bool rs, bool us) -> int32_t {
        if (text != nullptr) throw std::out_of_range("piece");
        return real::llama_detokenize(v, t, n, text, max, rs, us);
    };
    EXPECT_EQ(failure(chatml, ids.data(), ids.size(), out, sizeof out), "llama_detokenize failed");
}

TEST_F(TokenDecoding, HugeCapacityIsCappedAtTheLargestInt32) {
    const std::vector<uint32_t> ids = sample_prompt(2);
    int32_t seen_max = 0;
    fakes().llama_detokenize = [&](const llama_vocab *, const llama_token *, int32_t, char *text,
                                   int32_t max, bool, bool) {
        if (text == nullptr) return -3;
        seen_max = max;
        std::memcpy(text, "abc", 3);
        return 3;
    };
    char out[8] = "#######";
    char err[64] = "";
    EXPECT_EQ(vl_llama_decode_tokens(chatml, ids.data(), ids.size(), out, SIZE_MAX, err, sizeof err),
              3)
        << err;
    EXPECT_EQ(seen_max, INT32_MAX);
    EXPECT_STREQ(out, "abc");
}

// vl_llama_token_piece: one token's text with special tokens written out,
// where vl_llama_decode_tokens renders them as nothing.
TEST_F(TokenDecoding, TokenPieceWritesSpecialTokensOut) {
    uint32_t im_start = 0;  // the template's turn marker, a special token
    ASSERT_EQ(vl_llama_tokenize(chatml, "<|im_start|>", 12, 0, 1, &im_start, 1, nullptr, 0), 1);
    char err[128] = "";
    const int64_t len = vl_llama_token_piece(chatml, im_start, nullptr, 0, err, sizeof err);
    ASSERT_GT(len, 0) << err;
    std::string piece(static_cast<size_t>(len), '#');
    EXPECT_EQ(vl_llama_token_piece(chatml, im_start, piece.data(), piece.size(), err, sizeof err), -1);
    EXPECT_STREQ(err, "decode output buffer is too small");
    piece.push_back('#');
    ASSERT_EQ(vl_llama_token_piece(chatml, im_start, piece.data(), piece.size(), err, sizeof err), len);
    EXPECT_EQ(piece.back(), '\0');
    piece.pop_back();
    EXPECT_EQ(piece, "<|im_start|>");
    EXPECT_EQ(decode(chatml, {im_start}), "");

    // Ordinary tokens' pieces make the text.
    std::vector<uint32_t> ids(64);
    const int64_t count = vl_llama_tokenize(chatml, "The sky is blue", 15, 0, 0, ids.data(),
                                            ids.size(), nullptr, 0);
    ASSERT_GT(count, 1);
    ids.resize(static_cast<size_t>(count));
    std::string pieces;
    for (uint32_t id : ids) {
        char text[64] = "";
        ASSERT_GE(vl_llama_token_piece(chatml, id, text, sizeof text, err, sizeof err), 0) << err;
        pieces += text;
    }
    // The space the vocabulary puts before a text stays in the first piece,
    // as the model reads it; decoding removes it.
    EXPECT_EQ(pieces, " " + decode(chatml, ids));
    EXPECT_EQ(pieces, " The sky is blue");
}

TEST_F(TokenDecoding, TokenPieceRefusesIdsOutsideTheVocabulary) {
    const uint32_t n_vocab = static_cast<uint32_t>(vocab_size(chatml));
    for (uint32_t bad : {n_vocab, 2147483648u, 0xFFFFFFFFu}) {
        char out[16] = "untouched";
        char err[128] = "";
        EXPECT_EQ(vl_llama_token_piece(chatml, bad, out, sizeof out, err, sizeof err), -1) << bad;
        EXPECT_STREQ(err, "token id exceeds vocabulary size");
        EXPECT_STREQ(out, "untouched");
    }
    char err[128] = "";
    EXPECT_EQ(vl_llama_token_piece(nullptr, 1, nullptr, 0, err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid decode arguments");
    EXPECT_GE(vl_llama_token_piece(chatml, n_vocab - 1, nullptr, 0, err, sizeof err), 0);
}
