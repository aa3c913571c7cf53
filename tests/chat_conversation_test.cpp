// vl_llama_apply_chat_template and vl_llama_chat_template: a conversation
// laid out by the model's template, size query then fill, and refusals.
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace vl_test;

namespace {

const vl_llama_message conversation[] = {
    {"system", "You are terse."},
    {"user", "Say hi."},
    {"assistant", "Hi."},
    {"user", "Again."},
};

const char chatml[] =
    "<|im_start|>system\nYou are terse.<|im_end|>\n<|im_start|>user\nSay hi.<|im_end|>\n"
    "<|im_start|>assistant\nHi.<|im_end|>\n<|im_start|>user\nAgain.<|im_end|>\n";

std::string apply(vl_llama_runtime *rt, const vl_llama_message *messages, size_t n, bool open_turn,
                  std::string *message = nullptr) {
    char err[128] = "";
    if (message != nullptr) *message = "ok";
    const int64_t length = vl_llama_apply_chat_template(rt, messages, n, open_turn, nullptr, 0, err, sizeof err);
    if (length < 0) {
        if (message != nullptr) *message = err;
        return "";
    }
    std::vector<char> out(static_cast<size_t>(length) + 1, 'x');
    EXPECT_EQ(vl_llama_apply_chat_template(rt, messages, n, open_turn, out.data(), out.size(), err, sizeof err),
              length)
        << err;
    EXPECT_EQ(out.back(), '\0');
    return std::string(out.data(), static_cast<size_t>(length));
}

TEST(ChatConversation, WholeConversationWithAndWithoutTheOpenedTurn) {
    runtime_ptr rt = open_runtime(fixture_path("chatml"));
    ASSERT_NE(rt, nullptr);
    EXPECT_EQ(apply(rt.get(), conversation, 4, false), chatml);
    EXPECT_EQ(apply(rt.get(), conversation, 4, true), std::string(chatml) + "<|im_start|>assistant\n");
    EXPECT_EQ(apply(rt.get(), conversation + 1, 1, true),
              "<|im_start|>user\nSay hi.<|im_end|>\n<|im_start|>assistant\n");
    EXPECT_EQ(apply(rt.get(), nullptr, 0, true), "<|im_start|>assistant\n");

    // The two-message layout of vl_llama_encode_chat is the same text.
    uint32_t ids[256];
    char err[128] = "";
    const int64_t n = vl_llama_encode_chat(rt.get(), "You are terse.", "Say hi.", nullptr, ids, 256, err, sizeof err);
    ASSERT_GT(n, 0) << err;
    const std::string two = apply(rt.get(), conversation, 2, true);
    std::vector<uint32_t> again(256);
    const int64_t m = vl_llama_tokenize(rt.get(), two.data(), two.size(), 1, 1, again.data(), again.size(), err,
                                        sizeof err);
    EXPECT_EQ(std::vector<uint32_t>(ids, ids + n), std::vector<uint32_t>(again.begin(), again.begin() + m));
}

TEST(ChatConversation, OutputBufferAndRefusals) {
    runtime_ptr rt = open_runtime(fixture_path("chatml"));
    ASSERT_NE(rt, nullptr);
    const int64_t length = static_cast<int64_t>(std::strlen(chatml));
    char err[128] = "";
    std::vector<char> small(static_cast<size_t>(length), 'x');
    EXPECT_EQ(vl_llama_apply_chat_template(rt.get(), conversation, 4, 0, small.data(), small.size(), err, sizeof err),
              -1);
    EXPECT_STREQ(err, "chat text output buffer is too small");
    EXPECT_EQ(std::string(small.begin(), small.end()), std::string(small.size(), 'x'));

    const vl_llama_message no_role[] = {{"user", "a"}, {nullptr, "b"}};
    const vl_llama_message no_content[] = {{"user", nullptr}};
    std::string message;
    apply(nullptr, conversation, 1, true, &message);
    EXPECT_EQ(message, "invalid chat arguments");
    apply(rt.get(), nullptr, 2, true, &message);
    EXPECT_EQ(message, "invalid chat arguments");
    apply(rt.get(), no_role, 2, true, &message);
    EXPECT_EQ(message, "invalid chat arguments");
    apply(rt.get(), no_content, 1, true, &message);
    EXPECT_EQ(message, "invalid chat arguments");

    // A template llama.cpp's engine does not know.
    rt->chat_template = "{{ messages | reverse }}";
    apply(rt.get(), conversation, 1, true, &message);
    EXPECT_EQ(message, "llama_chat_apply_template failed while sizing output");

    runtime_ptr plain = open_runtime(fixture_path("plain"));
    ASSERT_NE(plain, nullptr);
    apply(plain.get(), conversation, 1, true, &message);
    EXPECT_EQ(message, "GGUF model does not expose a llama.cpp-supported chat template");
}

TEST(ChatConversation, TemplateText) {
    VL_REQUIRE_SHARED_MODEL(path, "stories260K-chatml.gguf");
    runtime_ptr rt = open_runtime(path);
    ASSERT_NE(rt, nullptr);
    char err[128] = "";
    const int64_t n = vl_llama_chat_template(rt.get(), nullptr, 0, err, sizeof err);
    ASSERT_EQ(n, 196) << err;
    std::vector<char> text(197, 'x');
    EXPECT_EQ(vl_llama_chat_template(rt.get(), text.data(), 196, err, sizeof err), -1);
    EXPECT_STREQ(err, "chat text output buffer is too small");
    ASSERT_EQ(vl_llama_chat_template(rt.get(), text.data(), text.size(), err, sizeof err), 196);
    EXPECT_EQ(std::string(text.data()).rfind("{% for message in messages %}", 0), 0u);
    EXPECT_NE(std::string(text.data()).find("add_generation_prompt"), std::string::npos);

    runtime_ptr plain = open_runtime(fixture_path("plain"));
    char none[4] = "xyz";
    EXPECT_EQ(vl_llama_chat_template(plain.get(), none, sizeof none, err, sizeof err), 0);
    EXPECT_STREQ(none, "");
    EXPECT_EQ(vl_llama_chat_template(nullptr, none, sizeof none, err, sizeof err), -1);
    EXPECT_STREQ(err, "invalid chat arguments");
}

}  // namespace
