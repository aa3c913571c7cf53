// vl-eval on every real family: the log-probabilities of raw and chat
// prompts and the perplexity of a text against llama.cpp's own rows with the
// log-softmax over the whole vocabulary taken here in double precision, the
// tokens from the vocabulary file itself; and an empty context conditioned on
// the vocabulary's start-of-text id, else its end-of-text id, as the
// harness's HF model does where a vocabulary adds no start token (Qwen2).
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "evaluation.h"
#include "perplexity/perplexity.h"
#include "support/family_support.h"
#include "support/test_support.h"

using namespace vl_test;
using json = nlohmann::json;

namespace {

// Scores of other decodes than the reference's differ in float32's last bits.
constexpr double tolerance = 1e-3;

std::string scratch(const std::string &name) {
    const std::string path = std::string(VL_EVAL_SCRATCH_DIR) + "/" + name;
    std::remove(path.c_str());
    return path;
}

std::vector<json> json_lines(const std::string &path) {
    std::ifstream in(path);
    std::vector<json> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(json::parse(line));
    return lines;
}

class FamilyEval : public ::testing::TestWithParam<family> {
protected:
    void SetUp() override {
        original = cached_model(GetParam().vocabulary);
        ASSERT_NE(original->model, nullptr);
        runtime = cached_runtime(GetParam().fixture("q8_0"));
        ASSERT_NE(runtime, nullptr);
    }
    const llama_vocab *vocab() const { return original->vocab(); }
    // The tokens vl-eval reads plain text as: the start token where the
    // vocabulary adds one, then the text alone.
    std::vector<llama_token> raw(const std::string &text) const {
        std::vector<llama_token> ids;
        if (llama_vocab_get_add_bos(vocab())) ids.push_back(llama_vocab_bos(vocab()));
        for (llama_token t : reference_tokenize(vocab(), text, false, false)) ids.push_back(t);
        return ids;
    }
    // log P(run | context) from llama.cpp's rows in double precision.
    double log_prob(std::vector<llama_token> context, const std::vector<llama_token> &run) {
        double total = 0.0;
        for (llama_token t : run) {
            total += reference_log_prob(reference_row(runtime, context), static_cast<uint32_t>(t));
            context.push_back(t);
        }
        return total;
    }
    // The answers' log-probabilities of the results file, by item id.
    std::map<std::string, std::vector<double>> run(const std::string &tasks, const std::string &prompt) {
        vl_eval::eval_options o;
        o.model = GetParam().fixture("q8_0");
        o.tasks = tasks;
        o.out = scratch("family-" + GetParam().name + "-" + prompt + ".jsonl");
        o.prompt = prompt;
        o.threads = 1;
        o.quiet = true;
        EXPECT_EQ(vl_eval::run_evaluation(o), 0);
        std::map<std::string, std::vector<double>> scores;
        for (const json &line : json_lines(o.out)) {
            if (!line.contains("answers")) continue;
            for (const json &a : line["answers"]) scores[line["id"]].push_back(a["logprob"].get<double>());
        }
        return scores;
    }

    const loaded_model *original = nullptr;
    vl_llama_runtime *runtime = nullptr;
};

const std::vector<std::string> choices = {"Paris", "Lyon", "Paris, France"};

TEST_P(FamilyEval, RawPromptsAndAnEmptyContext) {
    const std::string tasks = scratch("family-" + GetParam().name + "-raw-tasks.jsonl");
    std::ofstream(tasks) << R"({"id": "a", "context": "The capital of France is", "choices": ["Paris", "Lyon", "Paris, France"], "answer": 0})"
                         << "\n"
                         << R"({"id": "b", "context": "", "choices": ["Paris", "Lyon", "Paris, France"], "answer": 0})"
                         << "\n";
    const auto scores = run(tasks, "raw");
    ASSERT_EQ(scores.count("a"), 1u);
    ASSERT_EQ(scores.count("b"), 1u) << "the item with an empty context was not scored";

    const std::vector<llama_token> context = raw("The capital of France is");
    // An empty context: the start token where the vocabulary adds one, else
    // its BOS, else its EOS.
    llama_token prefix = llama_vocab_get_add_bos(vocab()) ? llama_vocab_bos(vocab()) : LLAMA_TOKEN_NULL;
    if (prefix == LLAMA_TOKEN_NULL) prefix = llama_vocab_bos(vocab());
    if (prefix == LLAMA_TOKEN_NULL) prefix = llama_vocab_eos(vocab());
    ASSERT_NE(prefix, LLAMA_TOKEN_NULL);
    for (std::size_t k = 0; k < choices.size(); ++k) {
        SCOPED_TRACE(choices[k]);
        const std::vector<llama_token> whole = raw("The capital of France is " + choices[k]);
        ASSERT_GT(whole.size(), context.size());
        const std::vector<llama_token> run_a(whole.begin() + static_cast<long>(context.size()), whole.end());
        EXPECT_NEAR(scores.at("a").at(k), log_prob(context, run_a), tolerance);
        EXPECT_NEAR(scores.at("b").at(k), log_prob({prefix}, reference_tokenize(vocab(), " " + choices[k], false, false)),
                    tolerance);
    }
}

// The family's own template, as llama.cpp applies it, and its tokenizer with
// special tokens parsed.
TEST_P(FamilyEval, ChatPromptsWithTheFamilysTemplate) {
    const std::string tmpl = original->chat_template();
    if (tmpl.empty()) GTEST_SKIP() << GetParam().vocabulary << " has no chat template";
    const std::string tasks = scratch("family-" + GetParam().name + "-chat-tasks.jsonl");
    std::ofstream(tasks) << R"({"id": "a", "context": "What is the capital of France?", "choices": ["Paris", "Lyon", "Paris, France"], "answer": 0})"
                         << "\n";
    const auto scores = run(tasks, "chat");
    ASSERT_EQ(scores.count("a"), 1u);

    const llama_chat_message user{"user", "What is the capital of France?"};
    const int32_t n = llama_chat_apply_template(tmpl.c_str(), &user, 1, true, nullptr, 0);
    ASSERT_GT(n, 0);
    std::string prompt(static_cast<std::size_t>(n), '\0');
    llama_chat_apply_template(tmpl.c_str(), &user, 1, true, prompt.data(), n);
    const std::vector<llama_token> context = reference_tokenize(vocab(), prompt, true, true);
    for (std::size_t k = 0; k < choices.size(); ++k) {
        SCOPED_TRACE(choices[k]);
        const std::vector<llama_token> whole = reference_tokenize(vocab(), prompt + choices[k], true, true);
        ASSERT_GT(whole.size(), context.size());
        const std::vector<llama_token> answer(whole.begin() + static_cast<long>(context.size()), whole.end());
        EXPECT_NEAR(scores.at("a").at(k), log_prob(context, answer), tolerance);
    }
}

// Chunks of 32 tokens, the start token first where the vocabulary adds one,
// the second half of each counted, as llama-perplexity computes them.
TEST_P(FamilyEval, PerplexityOfAText) {
    const std::string text_path = scratch("family-" + GetParam().name + "-text.txt");
    const std::string story =
        "Once upon a time there was a little girl named Lily. She loved to play outside in the park with "
        "her dog, and every day they ran under the big trees until the sun went down behind the hills. ";
    const std::string text = story + story;
    std::ofstream(text_path) << text;
    vl_eval::perplexity_options o;
    o.model = GetParam().fixture("q8_0");
    o.text = text_path;
    o.out = scratch("family-" + GetParam().name + "-chunks.jsonl");
    o.ctx = 32;
    o.batch = 64;
    o.threads = 1;
    o.chunks = 2;
    o.quiet = true;
    ASSERT_EQ(vl_eval::run_perplexity(o), 0);
    std::vector<double> nll;
    for (const json &line : json_lines(o.out))
        if (line.contains("nll")) nll.push_back(line["nll"].get<double>());
    ASSERT_EQ(nll.size(), 2u);

    const std::vector<llama_token> tokens = raw(text);
    ASSERT_GE(tokens.size(), 64u);
    for (std::size_t c = 0; c < 2; ++c) {
        std::vector<llama_token> chunk(tokens.begin() + static_cast<long>(c * 32),
                                       tokens.begin() + static_cast<long>(c * 32 + 32));
        if (llama_vocab_get_add_bos(vocab())) chunk[0] = llama_vocab_bos(vocab());
        double want = 0.0;
        for (std::size_t j = 16; j + 1 < 32; ++j) {
            const std::vector<llama_token> seen(chunk.begin(), chunk.begin() + static_cast<long>(j) + 1);
            want -= reference_log_prob(reference_row(runtime, seen), static_cast<uint32_t>(chunk[j + 1]));
        }
        EXPECT_NEAR(nll[c], want, tolerance) << "chunk " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Vocabularies, FamilyEval, ::testing::ValuesIn(families()), family_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FamilyEval);

}  // namespace
