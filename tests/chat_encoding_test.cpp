// vl_llama_encode_chat and the chat prompt it formats.
#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/backend.h"
#include "support/test_support.h"
#include "text/chat_prompt.h"

using namespace vl_test;

namespace {

const char *const sys_text = "You are terse.";
const char *const user_text = "Say hi.";

// What llama.cpp itself makes of the messages: its template engine on the
// model's own template, the prefix appended, then its tokenizer.
std::string reference_prompt(const vl_llama_runtime *runtime, const char *system,
                             const char *user) {
    std::vector<llama_chat_message> messages;
    if (system != nullptr) messages.push_back({"system", system});
    messages.push_back({"user", user});
    const char *tmpl = real::llama_model_chat_template(runtime->model, nullptr);
    EXPECT_NE(tmpl, nullptr);
    const int32_t n = real::llama_chat_apply_template(tmpl, messages.data(), messages.size(), true,
                                                      nullptr, 0);
    EXPECT_GT(n, 0);
    std::string text(static_cast<size_t>(n), '\0');
    real::llama_chat_apply_template(tmpl, messages.data(), messages.size(), true, text.data(), n);
    return text;
}

std::vector<uint32_t> reference_tokens(const vl_llama_runtime *runtime, const std::string &text) {
    std::vector<llama_token> tokens(text.size() + 8);
    const int32_t n = real::llama_tokenize(runtime->vocab, text.data(),
                                           static_cast<int32_t>(text.size()), tokens.data(),
                                           static_cast<int32_t>(tokens.size()), true, true);
    EXPECT_GT(n, 0);
    tokens.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return host_ids(tokens);
}

struct encoded {
    int64_t count = -1;
    std::vector<uint32_t> ids;
    std::string err;
};

// A size query, then a call with a buffer of exactly the returned size.
encoded encode(const vl_llama_runtime *runtime, const char *system, const char *user,
               const char *prefix = nullptr) {
    encoded result;
    char err[128] = "";
    const int64_t size = vl_llama_encode_chat(runtime, system, user, prefix, nullptr, 0, err,
                                              sizeof err);
    if (size < 0) {
        result.err = err;
        return result;
    }
    result.ids.assign(static_cast<size_t>(size), 0xDEADBEEFu);
    result.count = vl_llama_encode_chat(runtime, system, user, prefix, result.ids.data(),
                                        result.ids.size(), err, sizeof err);
    EXPECT_EQ(result.count, size) << err;
    result.err = err;
    return result;
}

// The message a failing call reports, after checking it returned -1.
std::string failure(const vl_llama_runtime *runtime, const char *system, const char *user,
                    const char *prefix = nullptr, uint32_t *out = nullptr, size_t cap = 0) {
    char err[128] = "untouched";
    EXPECT_EQ(vl_llama_encode_chat(runtime, system, user, prefix, out, cap, err, sizeof err), -1);
    return err;
}

class ChatEncoding : public ::testing::Test {
protected:
    static void SetUpTestSuite() { chatml = open_runtime(fixture_path("chatml")).release(); }
    static void TearDownTestSuite() { vl_llama_close(chatml); }
    static vl_llama_runtime *chatml;
};
vl_llama_runtime *ChatEncoding::chatml = nullptr;

// Loads a model file vocabulary-only, with llama.cpp directly.
struct vocab_only_model {
    explicit vocab_only_model(const std::string &path) {
        vl::init_backend_once();
        llama_model_params params = llama_model_default_params();
        params.vocab_only = true;
        model = real::llama_model_load_from_file(path.c_str(), params);
    }
    ~vocab_only_model() {
        if (model != nullptr) real::llama_model_free(model);
    }
    // A runtime record with only what the text exports read.
    vl_llama_runtime runtime() const {
        vl_llama_runtime r;
        r.model = model;
        r.vocab = real::llama_model_get_vocab(model);
        if (const char *tmpl = real::llama_model_chat_template(model, nullptr)) r.chat_template = tmpl;
        return r;
    }
    llama_model *model = nullptr;
};

}  // namespace

TEST_F(ChatEncoding, GivesTheTokensOfLlamaCppsTemplateAndTokenizer) {
    ASSERT_NE(chatml, nullptr);
    struct example {
        const char *system, *user, *prefix;
    };
    for (const example &e : {example{sys_text, user_text, nullptr},
                             example{nullptr, user_text, nullptr},
                             example{sys_text, "", nullptr},
                             example{sys_text, user_text, "The answer is"},
                             example{nullptr, "What is the capital of France?", " Paris"}}) {
        SCOPED_TRACE(std::string(e.system ? e.system : "(null)") + " | " + e.user + " | " +
                     (e.prefix ? e.prefix : "(null)"));
        const std::string text = reference_prompt(chatml, e.system, e.user) +
                                 (e.prefix ? e.prefix : "");
        const encoded got = encode(chatml, e.system, e.user, e.prefix);
        EXPECT_EQ(got.err, "");
        EXPECT_EQ(got.ids, reference_tokens(chatml, text));
    }
}

TEST_F(ChatEncoding, FormatsTheTemplateOutputAndTreatsAnEmptySystemMessageAsNone) {
    std::string prompt;
    ASSERT_EQ(vl::format_chat_prompt(chatml, sys_text, user_text, prompt), nullptr);
    EXPECT_EQ(prompt, "<|im_start|>system\nYou are terse.<|im_end|>\n<|im_start|>user\nSay hi."
                      "<|im_end|>\n<|im_start|>assistant\n");
    EXPECT_EQ(prompt, reference_prompt(chatml, sys_text, user_text));

    // An empty system message is no system message: only the user turn.
    std::string without, empty;
    ASSERT_EQ(vl::format_chat_prompt(chatml, nullptr, user_text, without), nullptr);
    ASSERT_EQ(vl::format_chat_prompt(chatml, "", user_text, empty), nullptr);
    EXPECT_EQ(without, "<|im_start|>user\nSay hi.<|im_end|>\n<|im_start|>assistant\n");
    EXPECT_EQ(empty, without);
    const encoded none_ids = encode(chatml, nullptr, user_text);
    ASSERT_GT(none_ids.count, 0);
    EXPECT_EQ(encode(chatml, "", user_text).ids, none_ids.ids);

    // An empty user message is a valid, empty user turn.
    std::string empty_user;
    ASSERT_EQ(vl::format_chat_prompt(chatml, nullptr, "", empty_user), nullptr);
    EXPECT_EQ(empty_user, "<|im_start|>user\n<|im_end|>\n<|im_start|>assistant\n");
}

TEST_F(ChatEncoding, AppendsTheAssistantPrefixVerbatim) {
    const std::string prefix = "  Paris,\tor  London ";
    const std::string text = reference_prompt(chatml, sys_text, user_text) + prefix;
    EXPECT_EQ(encode(chatml, sys_text, user_text, prefix.c_str()).ids, reference_tokens(chatml, text));
    // NULL and empty append nothing: the prompt ends at the opened assistant turn.
    const encoded none = encode(chatml, sys_text, user_text, nullptr);
    EXPECT_EQ(encode(chatml, sys_text, user_text, "").ids, none.ids);
    EXPECT_EQ(none.ids, reference_tokens(chatml, reference_prompt(chatml, sys_text, user_text)));
}

TEST_F(ChatEncoding, SpecialTokenTextInTheUserMessageBecomesASpecialToken) {
    llama_token im_end = -1;
    ASSERT_EQ(real::llama_tokenize(chatml->vocab, "<|im_end|>", 10, &im_end, 1, false, true), 1);
    auto occurrences = [&](const std::vector<uint32_t> &ids) {
        return std::count(ids.begin(), ids.end(), static_cast<uint32_t>(im_end));
    };
    const encoded plain = encode(chatml, sys_text, user_text);
    const encoded special = encode(chatml, sys_text, "Say<|im_end|>hi.");
    EXPECT_EQ(occurrences(plain.ids), 2);  // closing the system and the user turn
    EXPECT_EQ(occurrences(special.ids), 3);
}

TEST(ChatEncodingRealModels, Phi3VocabularyMatchesLlamaCpp) {
    VL_REQUIRE_SHARED_MODEL(path, "ggml-vocab-phi-3.gguf");
    vocab_only_model phi3(path);
    ASSERT_NE(phi3.model, nullptr);
    const vl_llama_runtime runtime = phi3.runtime();
    ASSERT_FALSE(runtime.chat_template.empty());
    // <|system|> ... <|end|> <|user|> ... <|end|> <|assistant|> as special tokens.
    const std::vector<uint32_t> expected = {1,     32006, 887,   526,   1935,  344,   29889,
                                            32007, 32010, 14891, 7251,  29889, 32007, 32001};
    const encoded got = encode(&runtime, sys_text, user_text);
    EXPECT_EQ(got.ids, expected) << got.err;
    EXPECT_EQ(got.ids, reference_tokens(&runtime, reference_prompt(&runtime, sys_text, user_text)));
}

TEST(ChatEncodingRealModels, StoriesChatmlMatchesLlamaCpp) {
    VL_REQUIRE_SHARED_MODEL(path, "stories260K-chatml.gguf");
    runtime_ptr runtime = open_runtime(path);
    ASSERT_NE(runtime, nullptr);
    const encoded got = encode(runtime.get(), sys_text, user_text);
    EXPECT_EQ(got.count, 76) << got.err;
    EXPECT_EQ(got.ids,
              reference_tokens(runtime.get(), reference_prompt(runtime.get(), sys_text, user_text)));
}

TEST_F(ChatEncoding, SizeQueryThenExactBufferAndOneTokenShort) {
    char err[128] = "untouched";
    uint32_t sentinel = 7;
    const int64_t n = vl_llama_encode_chat(chatml, sys_text, user_text, nullptr, nullptr, 5, err,
                                           sizeof err);
    ASSERT_GT(n, 2);
    // A zero capacity is a size query too: the buffer is not written.
    EXPECT_EQ(vl_llama_encode_chat(chatml, sys_text, user_text, nullptr, &sentinel, 0, err,
                                   sizeof err),
              n);
    EXPECT_EQ(sentinel, 7u);

    // Exactly n entries are written; the entry after them is untouched.
    std::vector<uint32_t> buffer(static_cast<size_t>(n) + 1, 0xDEADBEEFu);
    EXPECT_EQ(vl_llama_encode_chat(chatml, sys_text, user_text, nullptr, buffer.data(),
                                   static_cast<size_t>(n), err, sizeof err),
              n);
    EXPECT_EQ(buffer.back(), 0xDEADBEEFu);
    EXPECT_EQ(std::vector<uint32_t>(buffer.begin(), buffer.end() - 1),
              encode(chatml, sys_text, user_text).ids);
    EXPECT_STREQ(err, "untouched");

    std::vector<uint32_t> short_buffer(static_cast<size_t>(n) - 1, 0xDEADBEEFu);
    EXPECT_EQ(failure(chatml, sys_text, user_text, nullptr, short_buffer.data(),
                      short_buffer.size()),
              "token output buffer is too small");
    EXPECT_EQ(short_buffer, std::vector<uint32_t>(short_buffer.size(), 0xDEADBEEFu));
}

TEST_F(ChatEncoding, RefusesMissingRuntimeModelOrUserMessage) {
    EXPECT_EQ(failure(nullptr, sys_text, user_text), "invalid runtime or user message");
    EXPECT_EQ(failure(chatml, sys_text, nullptr), "invalid runtime or user message");
    vl_llama_runtime no_model;
    no_model.chat_template = chatml->chat_template;
    EXPECT_EQ(failure(&no_model, sys_text, user_text), "invalid runtime or user message");
    EXPECT_EQ(counts().llama_chat_apply_template, 0);
}

TEST(ChatEncodingNoTemplate, FailsBeforeAnyTemplateOrTokenizerCall) {
    runtime_ptr plain = open_runtime(fixture_path("plain"));
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(failure(plain.get(), sys_text, user_text),
              "GGUF model does not expose a llama.cpp-supported chat template");
    EXPECT_EQ(counts().llama_chat_apply_template, 0);
    EXPECT_EQ(counts().llama_tokenize, 0);
}

TEST_F(ChatEncoding, UnrecognisedTemplateFailsInTheSizingPass) {
    vl_llama_runtime odd;
    odd.model = chatml->model;
    odd.vocab = chatml->vocab;
    odd.chat_template = "{{ nothing llama.cpp knows }}";
    EXPECT_EQ(failure(&odd, sys_text, user_text),
              "llama_chat_apply_template failed while sizing output");
    EXPECT_EQ(counts().llama_chat_apply_template, 1);
    EXPECT_EQ(counts().llama_tokenize, 0);
}

TEST_F(ChatEncoding, TemplateFailuresInEitherPass) {
    // Sizing pass negative.
    fakes().llama_chat_apply_template = [](const char *, const llama_chat_message *, size_t, bool,
                                           char *, int32_t) { return -3; };
    EXPECT_EQ(failure(chatml, sys_text, user_text),
              "llama_chat_apply_template failed while sizing output");

    // Formatting pass negative, after a real sizing pass.
    fakes().llama_chat_apply_template = [](const char *t, const llama_chat_message *m, size_t n,
                                           bool a, char *buf, int32_t len) {
        return buf == nullptr ? real::llama_chat_apply_template(t, m, n, a, buf, len) : -1;
    };
    EXPECT_EQ(failure(chatml, sys_text, user_text), "llama_chat_apply_template failed");

    // Formatting pass claiming more text than the sizing pass announced.
    fakes().llama_chat_apply_template = [](const char *t, const llama_chat_message *m, size_t n,
                                           bool a, char *buf, int32_t len) {
        const int32_t r = real::llama_chat_apply_template(t, m, n, a, buf, len);
        return buf == nullptr ? r : r + 100;
    };
    EXPECT_EQ(failure(chatml, sys_text, user_text), "llama_chat_apply_template failed");

    // An exception thrown through llama.cpp's interface is that pass failing.
    fakes().llama_chat_apply_template = [](const char *, const llama_chat_message *, size_t, bool,
                                           char *buf, int32_t) -> int32_t {
        if (buf == nullptr) throw std::out_of_range("sizing");
        return 0;
    };
    EXPECT_EQ(failure(chatml, sys_text, user_text),
              "llama_chat_apply_template failed while sizing output");
    EXPECT_EQ(counts().llama_tokenize, 0);
}

TEST_F(ChatEncoding, TokenizerFailuresInEitherPass) {
    struct row {
        int32_t sizing, filling;
        const char *message;
    };
    // A too-small buffer is reported as a negative count, so 5 and -5 size alike.
    for (const row &r : {row{INT32_MIN, 0, "llama_tokenize overflow"},
                         row{0, 0, "llama_tokenize returned no tokens"},
                         row{-5, 6, "llama_tokenize failed"},
                         row{-5, -1, "llama_tokenize failed"},
                         row{5, INT32_MIN, "llama_tokenize failed"}}) {
        SCOPED_TRACE(r.message);
        reset_counts();
        fakes().llama_tokenize = [r](const llama_vocab *, const char *, int32_t,
                                     llama_token *tokens, int32_t max, bool add_special,
                                     bool parse_special) {
            EXPECT_TRUE(add_special);
            EXPECT_TRUE(parse_special);
            if (tokens == nullptr) return r.sizing;
            EXPECT_EQ(max, 5);  // exactly the reported count
            return r.filling;
        };
        uint32_t out[8];
        std::fill(std::begin(out), std::end(out), 0xDEADBEEFu);
        EXPECT_EQ(failure(chatml, sys_text, user_text, nullptr, out, 8), r.message);
        EXPECT_EQ(out[0], 0xDEADBEEFu);
    }

    // Exceptions through llama.cpp's interface, in either pass.
    for (bool in_sizing : {true, false}) {
        fakes().llama_tokenize = [in_sizing](const llama_vocab *, const char *, int32_t,
                                             llama_token *tokens, int32_t, bool,
                                             bool) -> int32_t {
            if ((tokens == nullptr) == in_sizing) throw std::out_of_range("no such piece");
            return -3;
        };
        EXPECT_EQ(failure(chatml, sys_text, user_text), "llama_tokenize failed");
    }
}

TEST_F(ChatEncoding, NegativeIdFromLlamaCppLeavesTheIdsBeforeIt) {
    fakes().llama_tokenize = [](const llama_vocab *, const char *, int32_t, llama_token *tokens,
                                int32_t max, bool, bool) {
        if (tokens == nullptr) return -4;
        EXPECT_EQ(max, 4);
        const llama_token ids[] = {1, 42, -7, 43};
        std::copy(std::begin(ids), std::end(ids), tokens);
        return 4;
    };
    // The size query does not inspect the ids.
    char err[64] = "";
    EXPECT_EQ(vl_llama_encode_chat(chatml, sys_text, user_text, nullptr, nullptr, 0, err,
                                   sizeof err),
              4);
    uint32_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(failure(chatml, sys_text, user_text, nullptr, out, 4),
              "llama.cpp produced a negative token id");
    EXPECT_EQ(out[0], 1u);
    EXPECT_EQ(out[1], 42u);
    EXPECT_EQ(out[2], 9u);
    EXPECT_EQ(out[3], 9u);
}

TEST_F(ChatEncoding, ExhaustedMemoryFailsWithoutAMessage) {
    fakes().llama_tokenize = [](const llama_vocab *, const char *, int32_t, llama_token *,
                                int32_t, bool, bool) -> int32_t { throw std::bad_alloc(); };
    char err[64] = "untouched";
    EXPECT_EQ(vl_llama_encode_chat(chatml, sys_text, user_text, nullptr, nullptr, 0, err,
                                   sizeof err),
              -1);
    EXPECT_STREQ(err, "untouched");
}

// Builds prompts of 2 GiB, so it allocates about 4 GiB for a moment.
TEST_F(ChatEncoding, PromptLengthLimitIsTheLargestInt32) {
    const size_t formatted = reference_prompt(chatml, nullptr, user_text).size();
    std::string prefix(static_cast<size_t>(INT32_MAX) - formatted, 'a');
    int32_t seen_length = 0;
    fakes().llama_tokenize = [&](const llama_vocab *, const char *, int32_t len, llama_token *,
                                 int32_t, bool, bool) {
        seen_length = len;
        return INT32_MIN;
    };
    // Exactly 2147483647 bytes reach the tokenizer.
    EXPECT_EQ(failure(chatml, nullptr, user_text, prefix.c_str()), "llama_tokenize overflow");
    EXPECT_EQ(seen_length, INT32_MAX);

    prefix.push_back('a');
    reset_counts();
    EXPECT_EQ(failure(chatml, nullptr, user_text, prefix.c_str()),
              "prompt exceeds llama.cpp int32 tokenization input limit");
    EXPECT_EQ(counts().llama_tokenize, 0);
}

// The text exports read the model and vocabulary only: no decode, no memory
// operation, and a retained shared prefix stays as it was.
TEST_F(ChatEncoding, TextExportsLeaveTheContextAndSharedPrefixAlone) {
    const std::vector<uint32_t> prefix = sample_prompt(6);
    char err[128] = "";
    ASSERT_EQ(vl_llama_prefill_shared(chatml, prefix.data(), prefix.size(), err, sizeof err), 0)
        << err;
    const std::vector<float> kept = chatml->shared_logits;
    const auto range = seq_range(chatml, 0);

    start_trace();
    const encoded ids = encode(chatml, sys_text, user_text, "Paris");
    ASSERT_GT(ids.count, 0);
    char text[512];
    EXPECT_GE(vl_llama_decode_tokens(chatml, ids.ids.data(), ids.ids.size(), text, sizeof text,
                                     err, sizeof err),
              0);
    EXPECT_GT(vl_llama_model_desc(chatml, text, sizeof text, err, sizeof err), 0);
    for (const traced_call &call : trace())
        EXPECT_TRUE(call.name == "llama_chat_apply_template" || call.name == "llama_tokenize" ||
                    call.name == "llama_detokenize" || call.name == "llama_model_desc")
            << call.name;

    EXPECT_TRUE(chatml->has_shared_prefix);
    EXPECT_EQ(chatml->shared_prefix_len, prefix.size());
    EXPECT_EQ(chatml->shared_logits, kept);
    EXPECT_EQ(seq_range(chatml, 0), range);
}
