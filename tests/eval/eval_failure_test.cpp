// vl-eval's run when llama.cpp fails part-way: a decode that fails stops the
// run with the item named, writes no result for the items of that library
// call, and --resume scores them, to the results of a run that never failed.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "evaluation.h"
#include "support/llama_wraps.h"

namespace {

const std::string stories = std::string(VL_SHARED_MODELS_DIR) + "/stories260K.gguf";

std::string scratch(const std::string &name) {
    const std::string path = std::string(VL_EVAL_SCRATCH_DIR) + "/" + name;
    std::remove(path.c_str());
    return path;
}

std::string text_of(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::size_t lines_of(const std::string &text) {
    std::size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// Items that share a start and, by threes, a passage, so that a call holds
// several of them.
std::string write_tasks(const std::string &name, int n) {
    const char *words[] = {"the", "a", "girl", "boy", "dog", "cat", "park", "tree",
                           "ball", "sun", "happy", "big", "small", "red", "blue", "ran"};
    const std::string path = scratch(name);
    std::ofstream out(path);
    for (int i = 0; i < n; ++i) {
        std::string passage;
        for (int k = 0; k < 8; ++k) passage += std::string(k ? " " : "") + words[(i / 3 + k) % 16];
        out << R"({"id": "t)" << i << R"(", "context": "Once upon a time. )" << passage
            << R"(.", "choices": [")" << words[i % 16] << R"(", ")" << words[(i + 5) % 16]
            << R"(", ")" << words[(i + 9) % 16] << R"("], "answer": )" << i % 3 << "}\n";
    }
    return path;
}

vl_eval::eval_options options(const std::string &tasks, const std::string &out, bool walk) {
    vl_eval::eval_options o;
    o.model = stories;
    o.tasks = tasks;
    o.out = out;
    o.threads = 1;
    o.quiet = true;
    o.walk = walk;
    o.ctx = 64;  // a small window: batched calls of a few items each
    return o;
}

TEST(FailedDecodes, StopTheRunWithoutResultsAndResumeCompletesIt) {
    const std::string tasks = write_tasks("failing.jsonl", 24);
    for (const bool walk : {false, true}) {
        SCOPED_TRACE(walk ? "walk" : "batch");
        const std::string whole = scratch("failing-whole.jsonl");
        ASSERT_EQ(vl_eval::run_evaluation(options(tasks, whole, walk)), 0);
        const std::string expected = text_of(whole);
        ASSERT_EQ(lines_of(expected), 25u);  // the header and 24 records
        const int decodes = vl_test::counts().llama_decode;
        ASSERT_GT(decodes, 6);

        // The decode failing is one of a call in the middle of the run.
        const std::string failed = scratch("failing-stopped.jsonl");
        int calls = 0;
        vl_test::fakes().llama_decode = [&](llama_context *c, llama_batch b) -> int32_t {
            if (++calls == decodes / 2) return -1;
            return vl_test::real::llama_decode(c, b);
        };
        testing::internal::CaptureStderr();
        EXPECT_EQ(vl_eval::run_evaluation(options(tasks, failed, walk)), 1);
        const std::string message = testing::internal::GetCapturedStderr();
        vl_test::fakes().llama_decode = nullptr;
        EXPECT_NE(message.find("stopped at item t"), std::string::npos) << message;
        EXPECT_NE(message.find("--resume"), std::string::npos) << message;
        const std::string partial = text_of(failed);
        EXPECT_GT(lines_of(partial), 1u);
        EXPECT_LT(lines_of(partial), 25u);
        EXPECT_EQ(expected.compare(0, partial.size(), partial), 0) << partial;
        // The item named has no result.
        const std::size_t at = message.find("stopped at item ");
        const std::string id = message.substr(at + 16, message.find(' ', at + 16) - at - 16);
        EXPECT_EQ(partial.find("\"id\":\"" + id + "\""), std::string::npos) << id;

        vl_eval::eval_options resume = options(tasks, failed, walk);
        resume.resume = true;
        ASSERT_EQ(vl_eval::run_evaluation(resume), 0);
        EXPECT_EQ(text_of(failed), expected);
    }
}

// A task file whose item t5 alone has "Mark Once" in its context, so that a
// fake can fail the library's work on that item's prompt and nothing else.
std::string write_marked_tasks(const std::string &name) {
    const std::string tasks = write_tasks(name, 8);
    std::string text = text_of(tasks);
    text.insert(text.find("Once upon", text.find("\"t5\"")), "Mark ");
    std::ofstream(tasks, std::ios::binary) << text;
    return tasks;
}

// Runs o once whole, then again with the n-th of the calls `fail_at_call`
// counts failing, where n is the first such call scoring makes (sizing and
// scoring each make half of them): the run must stop at t5 with `message`,
// write nothing of t5, and --resume must complete it to the whole run's
// results.
void stops_at_the_marked_item_and_resumes(vl_eval::eval_options o, int &calls, int &fail_at,
                                          const std::string &message) {
    const std::string stem = o.out;
    o.out = scratch(stem + "-whole.jsonl");
    ASSERT_EQ(vl_eval::run_evaluation(o), 0);
    const std::string expected = text_of(o.out);
    ASSERT_EQ(lines_of(expected), 9u);
    ASSERT_GT(calls, 0);
    ASSERT_EQ(calls % 2, 0);
    fail_at = calls / 2 + 1;
    calls = 0;

    o.out = scratch(stem + "-stopped.jsonl");
    testing::internal::CaptureStderr();
    EXPECT_EQ(vl_eval::run_evaluation(o), 1);
    const std::string stderr_text = testing::internal::GetCapturedStderr();
    EXPECT_NE(stderr_text.find("stopped at item t5 (line 6): " + message), std::string::npos) << stderr_text;
    const std::string partial = text_of(o.out);
    EXPECT_EQ(partial.find("\"id\":\"t5\""), std::string::npos) << partial;
    EXPECT_EQ(expected.compare(0, partial.size(), partial), 0) << partial;

    fail_at = -1;
    o.resume = true;
    ASSERT_EQ(vl_eval::run_evaluation(o), 0);
    EXPECT_EQ(text_of(o.out), expected);
}

// A chat encoding that fails (memory running out, say) is the library's
// failure too, not a reason to skip the item: the run stops at the item, and
// --resume completes it to the results of a run that never failed.
TEST(FailedDecodes, AFailedChatEncodingStopsTheRunAndResumeCompletesIt) {
    vl_eval::eval_options o = options(write_marked_tasks("chat-failing.jsonl"), "chat", false);
    o.model = std::string(VL_FIXTURE_DIR) + "/chatml.gguf";
    o.ctx = 0;
    int marked = 0, fail_at = -1;
    vl_test::fakes().llama_chat_apply_template = [&](const char *tmpl, const llama_chat_message *chat,
                                                     size_t n, bool add_ass, char *buf, int32_t len) {
        if (n > 0 && std::string(chat[n - 1].content).find("Mark Once") != std::string::npos &&
            ++marked == fail_at)
            return int32_t{-1};
        return vl_test::real::llama_chat_apply_template(tmpl, chat, n, add_ass, buf, len);
    };
    stops_at_the_marked_item_and_resumes(o, marked, fail_at, "chat encoding failed");
}

// The same for the tokenization of a raw prompt.
TEST(FailedDecodes, AFailedTokenizationStopsTheRunAndResumeCompletesIt) {
    vl_eval::eval_options o = options(write_marked_tasks("raw-failing.jsonl"), "raw", false);
    o.ctx = 0;
    int marked = 0, fail_at = -1;
    vl_test::fakes().llama_tokenize = [&](const llama_vocab *v, const char *text, int32_t len,
                                          llama_token *tokens, int32_t max, bool add_special,
                                          bool parse_special) {
        if (std::string(text, static_cast<std::size_t>(len)).find("Mark Once") != std::string::npos &&
            ++marked == fail_at)
            return INT32_MIN;
        return vl_test::real::llama_tokenize(v, text, len, tokens, max, add_special, parse_special);
    };
    stops_at_the_marked_item_and_resumes(o, marked, fail_at, "tokenization failed");
}

// Logits that are not numbers are the model's failure, not an answer: the
// library refuses to score them, and the run stops before writing the item.
TEST(FailedDecodes, ANonFiniteScoreStopsTheRun) {
    const std::string tasks = write_tasks("nan.jsonl", 6);
    const std::string out = scratch("nan-out.jsonl");
    vl_test::fakes().llama_get_logits_ith = [](llama_context *c, int32_t i) -> float * {
        float *logits = vl_test::real::llama_get_logits_ith(c, i);
        const int32_t n = llama_vocab_n_tokens(llama_model_get_vocab(llama_get_model(c)));
        if (logits != nullptr)
            for (int32_t k = 0; k < n; ++k) logits[k] = std::nanf("");
        return logits;
    };
    testing::internal::CaptureStderr();
    EXPECT_EQ(vl_eval::run_evaluation(options(tasks, out, false)), 1);
    const std::string message = testing::internal::GetCapturedStderr();
    vl_test::fakes().llama_get_logits_ith = nullptr;
    EXPECT_NE(message.find("stopped at item t0"), std::string::npos) << message;
    EXPECT_EQ(lines_of(text_of(out)), 1u) << text_of(out);  // the header alone
}

}  // namespace
