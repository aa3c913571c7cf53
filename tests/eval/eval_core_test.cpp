// vl-eval's parts: the task file readers, prompt building, scoring against
// direct library calls, the shared-prefix plan, metrics and the results file.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <llama.h>

#include "eval_test_support.h"
#include "evaluation.h"
#include "model/tokens.h"
#include "prompts/prompts.h"
#include "results/metrics.h"
#include "results/record_json.h"
#include "results/results_reader.h"
#include "results/run_identity.h"
#include "results/summary.h"
#include "scoring/item_outcome.h"
#include "scoring/scorers.h"
#include "tasks/jsonl_formats.h"
#include "tasks/task_formats.h"
#include "vorlenta_llama_shim.h"

namespace {

using namespace vl_eval;
using namespace vl_eval_test;

const std::string data_dir = VL_EVAL_DATA_DIR;

struct model_free {
    void operator()(llama_model *m) const { llama_model_free(m); }
};

// The vocabulary alone, as llama.cpp reads it, for checks against the
// library's tokenization.
std::unique_ptr<llama_model, model_free> vocab_only(const std::string &path) {
    llama_log_set(quiet, nullptr);
    llama_backend_init();
    llama_model_params p = llama_model_default_params();
    p.vocab_only = true;
    return std::unique_ptr<llama_model, model_free>(llama_model_load_from_file(path.c_str(), p));
}

runtime_ptr open_runtime(const std::string &path) { return vl_eval_test::open_runtime(path, 256, 2, 2); }

// Room and sequences for batched calls, as vl-eval opens a batched run.
runtime_ptr open_batch_runtime(const std::string &path) { return vl_eval_test::open_runtime(path, 512, 16, 2); }

TEST(TaskReaders, EveryFormatReadsAsPublishedAndAutoAgrees) {
    for (const char *name : {"generic", "hellaswag", "mmlu", "arc"}) {
        const std::string path = data_dir + "/" + name + ".jsonl";
        const read_result named = find_task_format(name)->read(path);
        const read_result guessed = find_task_format("auto")->read(path);
        ASSERT_EQ(named.error, "") << name;
        ASSERT_EQ(guessed.items.size(), named.items.size()) << name;
        for (std::size_t i = 0; i < named.items.size(); ++i) {
            EXPECT_EQ(guessed.items[i].context, named.items[i].context);
            EXPECT_EQ(guessed.items[i].choices, named.items[i].choices);
            EXPECT_EQ(guessed.items[i].label, named.items[i].label);
        }
    }
    const read_result h = read_jsonl(data_dir + "/hellaswag.jsonl", jsonl_layout::hellaswag);
    EXPECT_EQ(h.items[0].id, "24");
    // ctx_b capitalised, as the common harness writes it.
    EXPECT_EQ(h.items[0].context, "Roof shingle removal: A man is sitting on a roof. He");
    EXPECT_EQ(h.items[1].context,
              "Clean and jerk: A lady walks to a barbell. She bends down and grabs the pole. The lady");
    EXPECT_EQ(h.items[1].label, 3);

    const read_result m = read_jsonl(data_dir + "/mmlu.jsonl", jsonl_layout::mmlu);
    EXPECT_EQ(m.items[0].context, "What is 2 + 2?\nA. 3\nB. 4\nC. 5\nD. 22\nAnswer:");
    EXPECT_EQ(m.items[0].description,
              "The following are multiple choice questions (with answers) about elementary mathematics.\n\n");
    EXPECT_EQ(m.items[0].choices, (std::vector<std::string>{"A", "B", "C", "D"}));
    EXPECT_EQ(m.items[0].label, 1);
    EXPECT_EQ(m.items[1].label, 2);  // the letter "C"
    EXPECT_EQ(m.items[1].id, "line-2");

    const read_result a = read_jsonl(data_dir + "/arc.jsonl", jsonl_layout::arc);
    EXPECT_EQ(a.items[0].label, 2);
    EXPECT_EQ(a.items[0].choices[2], "Planetary days will become shorter.");
    EXPECT_EQ(a.items[1].context, "Question: Which animal lays eggs?\nAnswer:");
    EXPECT_EQ(a.items[1].label, 1);

    const read_result g = read_jsonl(data_dir + "/generic.jsonl", jsonl_layout::generic);
    ASSERT_EQ(g.items.size(), 6u);
    EXPECT_EQ(g.items[1].system, "You tell stories.");
    EXPECT_EQ(g.items[2].line, 4u);  // the blank line still counts
    EXPECT_EQ(g.items[3].skip_reason, "label out of range");
    EXPECT_EQ(g.items[4].skip_reason, "fewer than two answers");
    EXPECT_EQ(g.items[5].skip_reason, "empty answer");
}

TEST(TaskReaders, MalformedLinesStopTheReadingWithFileAndLine) {
    const std::string good = R"({"context": "a", "choices": ["b", "c"], "answer": 0})";
    struct bad_case {
        std::string line, message;
    } cases[] = {
        {"{\"context\": \"a\", ", "not valid JSON"},
        {"[1, 2]", "expected a JSON object"},
        {R"({"context": "a", "choices": ["b", 3], "answer": 0})", "array of strings"},
        {R"({"context": "a", "choices": ["b", "c"], "answer": "x"})", "must be an integer"},
        {R"({"prompt": "a"})", "cannot tell the format"},
        {R"({"id": "line-1", "context": "a", "choices": ["b", "c"], "answer": 0})",
         "id 'line-1' was already used on line 1"},
    };
    for (const bad_case &c : cases) {
        const std::string path = scratch_file("bad.jsonl", good + "\n" + c.line + "\n" + good + "\n");
        const read_result r = read_jsonl(path, jsonl_layout::automatic);
        EXPECT_EQ(r.items.size(), 1u) << c.line;
        EXPECT_EQ(r.error.rfind(path + ":2: ", 0), 0u) << r.error;
        EXPECT_NE(r.error.find(c.message), std::string::npos) << r.error;
    }
    EXPECT_NE(read_jsonl("/nonexistent/tasks.jsonl", jsonl_layout::automatic).error.find("cannot open"),
              std::string::npos);
    // Windows line ends and a leading byte order mark are not errors.
    const read_result r = read_jsonl(scratch_file("bom.jsonl", "\xEF\xBB\xBF" + good + "\r\n" + good + "\r\n"),
                                     jsonl_layout::automatic);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.items.size(), 2u);
}

// The first answer can be the right one, and a label one past the last
// answer cannot, in every layout; labels that are not integers are malformed.
TEST(TaskReaders, LabelsAtTheEdgesOfTheAnswers) {
    struct label_case {
        std::string line;
        long label;
        std::string skip;
    } cases[] = {
        {R"({"question": "q", "choices": ["x", "y", "z"], "answer": "A"})", 0, ""},
        {R"({"question": "q", "choices": ["x", "y", "z"], "answer": "C"})", 2, ""},
        {R"({"question": "q", "choices": ["x", "y", "z"], "answer": "D"})", 3, "label out of range"},
        {R"({"question": "q", "choices": ["x", "y", "z"], "answer": 0})", 0, ""},
        {R"({"question": {"stem": "q", "choices": [{"text": "x", "label": "A"}, {"text": "y", "label": "B"}]}, "answerKey": "A"})",
         0, ""},
        {R"({"question": "q", "choices": {"text": ["x", "y"], "label": ["1", "2"]}, "answerKey": "2"})", 1, ""},
        {R"({"question": "q", "choices": {"text": ["x", "y"], "label": ["1", "2"]}, "answerKey": "3"})", 2,
         "label out of range"},
        {R"({"ctx": "c", "endings": ["x", "y", "z", "w"], "label": "0"})", 0, ""},
        {R"({"ctx": "c", "endings": ["x", "y", "z", "w"], "label": 4})", 4, "label out of range"},
        {R"({"context": "c", "choices": ["x", "y"], "answer": 1})", 1, ""},
        {R"({"context": "c", "choices": ["x", "y"], "answer": 2})", 2, "label out of range"},
        {R"({"context": "c", "choices": ["x", "y"], "answer": -1})", -1, "label out of range"},
        {R"({"context": "c", "choices": ["x", "y"], "answer": 9223372036854775807})", 1000000,
         "label out of range"},
    };
    for (const label_case &c : cases) {
        eval_item item;
        ASSERT_EQ(parse_jsonl_item(c.line, jsonl_layout::automatic, item), "") << c.line;
        EXPECT_EQ(item.label, c.label) << c.line;
        EXPECT_EQ(item.skip_reason, c.skip) << c.line;
    }
    for (const char *bad : {"1.5", "1e60", "18446744073709551615", "true"}) {
        eval_item item;
        const std::string line = std::string(R"({"context": "c", "choices": ["x", "y"], "answer": )") + bad + "}";
        EXPECT_EQ(parse_jsonl_item(line, jsonl_layout::generic, item).rfind("field 'answer' must be an integer", 0), 0u)
            << line;
    }
    // MMLU letters run from A to Z: 26 choices at most.
    std::string choices = "\"c0\"";
    for (int k = 1; k < 26; ++k) choices += ", \"c" + std::to_string(k) + "\"";
    eval_item letters;
    ASSERT_EQ(parse_jsonl_item(R"({"question": "q", "choices": [)" + choices + R"(], "answer": "Z"})",
                               jsonl_layout::mmlu, letters),
              "");
    EXPECT_EQ(letters.label, 25);
    EXPECT_EQ(letters.choices.back(), "Z");
    EXPECT_EQ(parse_jsonl_item(R"({"question": "q", "choices": [)" + choices + R"(, "c26"], "answer": "A"})",
                               jsonl_layout::mmlu, letters),
              "field 'choices' has more than 26 entries");
    // Ids given as integers are kept as written, whatever their size.
    eval_item item;
    ASSERT_EQ(parse_jsonl_item(R"({"id": 18446744073709551615, "context": "c", "choices": ["x", "y"], "answer": 0})",
                               jsonl_layout::generic, item),
              "");
    EXPECT_EQ(item.id, "18446744073709551615");
    EXPECT_NE(parse_jsonl_item(R"({"id": 1.5, "context": "c", "choices": ["x", "y"], "answer": 0})",
                               jsonl_layout::generic, item),
              "");
}

TEST(RawPrompts, TrailingBlanksMoveToTheContinuationAndAnswersFollowTheContext) {
    auto vocab = open_runtime(stories);
    ASSERT_TRUE(vocab);
    const prompt_builder builder(vocab.get(), prompt_mode::raw, "", "Q: ", nullptr);
    eval_item item;
    item.context = "The sky is \n";
    item.choices = {"blue", "very blue", "bleu \xC3\xA9t\xC3\xA9"};  // "bleu été": 8 characters, 10 bytes
    item.label = 0;
    item_prompt p;
    ASSERT_EQ(problem(builder.build(item, p)), "");
    EXPECT_EQ(p.context, raw_tokens(vocab.get(), "Q: The sky is"));
    ASSERT_EQ(p.answers.size(), 3u);
    EXPECT_EQ(p.answers[2].chars, 8u);  // acc_norm's length: the answer's code points alone
    for (std::size_t i = 0; i < 3; ++i) {
        const tokens whole = raw_tokens(vocab.get(), "Q: The sky is \n " + item.choices[i]);
        tokens joined = p.answers[i].context;
        joined.insert(joined.end(), p.answers[i].continuation.begin(), p.answers[i].continuation.end());
        EXPECT_EQ(joined, whole);
        EXPECT_EQ(p.answers[i].context.size(), p.context.size());
        EXPECT_EQ(p.answers[i].chars, i == 2 ? 8u : item.choices[i].size());  // not " \n" + " "
    }
    EXPECT_EQ(p.context.front(), 1u);  // the vocabulary's start token
}

// Raw prompts through the library are the tokens llama.cpp's own tokenizer
// gives: the start token where the vocabulary adds one, then the text with
// nothing parsed as special and no end token. Results files depend on it.
TEST(RawPrompts, LibraryTokensEqualLlamaCppsOwnTokenization) {
    const std::vector<std::string> texts = {"", "Q: The sky is", " lead and trail \n",
                                            "<s> not special </s>", "bleu \xC3\xA9t\xC3\xA9"};
    for (const std::string &model : {stories, std::string(VL_FIXTURE_DIR) + "/plain.gguf",
                                     std::string(VL_FIXTURE_DIR) + "/chatml.gguf"}) {
        auto vocab_model = vocab_only(model);
        auto rt = open_runtime(model);
        ASSERT_TRUE(vocab_model && rt) << model;
        const llama_vocab *vocab = llama_model_get_vocab(vocab_model.get());
        for (const std::string &text : texts) {
            tokens expected;
            if (llama_vocab_get_add_bos(vocab) && llama_vocab_bos(vocab) >= 0)
                expected.push_back(static_cast<std::uint32_t>(llama_vocab_bos(vocab)));
            std::vector<llama_token> ids(text.size() + 4);
            const int32_t n = llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()),
                                             ids.data(), static_cast<int32_t>(ids.size()), false, false);
            ASSERT_GE(n, 0);
            for (int32_t i = 0; i < n; ++i) expected.push_back(static_cast<std::uint32_t>(ids[i]));
            EXPECT_EQ(raw_tokens(rt.get(), text), expected) << model << ": '" << text << "'";
        }
        // The end token chat prompts leave out is the one llama.cpp appends.
        const int64_t end = llama_vocab_get_add_eos(vocab) ? llama_vocab_eos(vocab) : -1;
        EXPECT_EQ(vl_llama_model_info(rt.get(), VL_LLAMA_INFO_END_TOKEN), end) << model;
    }
}

// A chat encoder whose answers change the context's last token, the way a
// tokenizer merges across the boundary: 10 11 12 | answer -> 10 11 99 answer.
std::string merging_encoder(const std::string &, const std::string &, const char *prefix, tokens &out) {
    out = {10, 11, 12};
    if (prefix == nullptr) return {};
    const std::string a = prefix;
    if (a == "merge") out = {10, 11, 99, 40, 41};
    else if (a == "empty") out = {10, 11, 12};
    else
        for (char c : a) out.push_back(static_cast<std::uint32_t>(c));
    return {};
}

TEST(ChatPrompts, AnAnswerThatChangesTheContextKeepsItsOwnContext) {
    auto vocab = open_runtime(stories);
    const prompt_builder builder(vocab.get(), prompt_mode::chat, "", "", merging_encoder);
    eval_item item;
    item.context = "x";
    item.choices = {"AB", "merge"};
    item.label = 0;
    item_prompt p;
    ASSERT_EQ(problem(builder.build(item, p)), "");
    EXPECT_EQ(p.answers[0].context, (tokens{10, 11, 12}));
    EXPECT_EQ(p.answers[0].continuation, (tokens{'A', 'B'}));
    EXPECT_EQ(p.answers[1].context, (tokens{10, 11, 99}));
    EXPECT_EQ(p.answers[1].continuation, (tokens{40, 41}));
    item.choices = {"AB", "empty"};
    EXPECT_EQ(problem(builder.build(item, p)), "empty answer");
    EXPECT_TRUE(p.answers.empty());

    // An encoder that fails is the library failing, not the item: no reason
    // to skip it is given, and no prompt.
    const prompt_builder failing(vocab.get(), prompt_mode::chat, "", "",
                                 [](const std::string &, const std::string &, const char *prefix, tokens &out) {
                                     out = {10, 11, 12};
                                     return prefix != nullptr ? std::string("out of memory") : std::string();
                                 });
    item.choices = {"AB", "merge"};
    EXPECT_EQ(problem(failing.build(item, p)), "failure: chat encoding failed: out of memory");
    EXPECT_TRUE(p.context.empty());
}

TEST(ChatPrompts, TheRunsSystemMessageOrTheItemsOwnReachesTheTemplate) {
    std::vector<std::string> systems, users;
    const chat_encoder recording = [&](const std::string &system, const std::string &user,
                                       const char *prefix, tokens &out) {
        systems.push_back(system);
        users.push_back(user);
        out = {10, 11, 12};
        if (prefix != nullptr)
            for (char c : std::string(prefix)) out.push_back(static_cast<std::uint32_t>(c));
        return std::string();
    };
    auto vocab = open_runtime(stories);
    const prompt_builder builder(vocab.get(), prompt_mode::chat, "Be brief.", "P: ", recording);
    eval_item item;
    item.context = "x";
    item.choices = {"a", "b"};
    item.label = 0;
    item_prompt p;
    ASSERT_EQ(problem(builder.build(item, p)), "");
    EXPECT_EQ(systems, std::vector<std::string>(3, "Be brief."));  // the context, then each answer
    EXPECT_EQ(users, std::vector<std::string>(3, "P: x"));
    item.system = "Own.";
    systems.clear();
    ASSERT_EQ(problem(builder.build(item, p)), "");
    EXPECT_EQ(systems, std::vector<std::string>(3, "Own."));

    // The library's encoder puts the system message into the prompt.
    const std::string model = std::string(VL_FIXTURE_DIR) + "/chatml.gguf";
    auto rt = open_runtime(model);
    ASSERT_TRUE(rt);
    tokens with_library, without;
    ASSERT_EQ(library_chat_encoder(rt.get())("Be brief.", "Hi", "Yes", with_library), "");
    ASSERT_EQ(library_chat_encoder(rt.get())("", "Hi", "Yes", without), "");
    EXPECT_GT(with_library.size(), without.size() + 3);
}

TEST(Prompts, TheLongestAnswerWithItsOwnContextSetsThePositionsNeeded) {
    item_prompt p;
    p.context = tokens(5, 1);
    p.answers = {{tokens(5, 1), tokens(2, 7), 2}, {tokens(6, 1), tokens(4, 7), 4}, {tokens(5, 1), tokens(1, 7), 1}};
    EXPECT_EQ(prompt_builder::tokens_needed(p), 10u);
    p.answers.clear();
    EXPECT_EQ(prompt_builder::tokens_needed(p), 5u);
}

// Direct library call: one answer after its context, decoded from scratch,
// with a one-token companion to make a codebook.
double direct_score(vl_llama_runtime *rt, const answer_prompt &a) {
    tokens seq = a.continuation;
    std::vector<std::size_t> offsets = {0, seq.size()};
    seq.push_back(seq.front() == 0 ? 1 : 0);
    offsets.push_back(seq.size());
    float scores[2];
    char err[256];
    EXPECT_EQ(vl_llama_score_sequences(rt, a.context.data(), a.context.size(), seq.data(),
                                       offsets.data(), 2, scores, err, sizeof err), 0)
        << err;
    return scores[0];
}

double direct_suffix_score(vl_llama_runtime *rt, const answer_prompt &a, std::size_t prefix);

TEST(Scoring, OneItemMatchesDirectLibraryCallsWithEqualAndPrefixRelatedAnswers) {
    const std::string model = std::string(VL_FIXTURE_DIR) + "/plain.gguf";
    auto vocab = open_runtime(model);
    auto rt = open_runtime(model);
    ASSERT_TRUE(vocab && rt);
    const prompt_builder builder(vocab.get(), prompt_mode::raw, "", "", nullptr);
    eval_item item;
    item.context = "The sky is";
    item.choices = {"blue", "blue sky", "green", "blue"};
    item.label = 0;
    item_prompt p;
    ASSERT_EQ(problem(builder.build(item, p)), "");
    const answer_groups groups = group_answers(p);
    EXPECT_EQ(groups.first_copy[3], 0u);
    EXPECT_GE(groups.groups.size(), 2u);  // "blue" begins "blue sky"

    item_scorer scorer(rt.get());
    std::vector<double> logprobs;
    ASSERT_EQ(scorer.score(p, no_shared_prefix, logprobs), "");
    ASSERT_EQ(logprobs.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(logprobs[i], direct_score(rt.get(), p.answers[i])) << i;
    EXPECT_LT(logprobs[1], logprobs[0]);  // "blue sky" is "blue" and more
    // The fixture's tokens: a context of 6, answers of 4, 7, 5 and 4 (the
    // copy). From scratch: each answer after its context, but its last token:
    // 9 + 12 + 10 + 9. Shared: the context once, then the inner nodes of each
    // group's trie, {blue, green} 3 + 4 and {blue sky} 6: 6 + 7 + 6.
    ASSERT_EQ(p.context.size(), 6u);
    EXPECT_EQ(scorer.tokens_from_scratch(), 40u);
    EXPECT_EQ(scorer.tokens_decoded(), 19u);

    // Answers whose contexts differ (a tokenizer that merged across the
    // boundary): each is scored after its own context, whole or after a
    // kept prefix, as direct calls score it.
    item_prompt apart = p;
    apart.answers.resize(2);
    apart.answers[1] = p.answers[2];
    apart.answers[1].context.back() = p.context.back() == 100 ? 101 : 100;
    item_scorer other(rt.get());
    ASSERT_EQ(other.score(apart, no_shared_prefix, logprobs), "");
    EXPECT_EQ(logprobs[0], direct_score(rt.get(), apart.answers[0]));
    EXPECT_EQ(logprobs[1], direct_score(rt.get(), apart.answers[1]));
    const std::size_t kept = apart.context.size() - 1;
    ASSERT_EQ(other.score(apart, kept, logprobs), "");
    EXPECT_EQ(logprobs[0], direct_suffix_score(rt.get(), apart.answers[0], kept));
    EXPECT_EQ(logprobs[1], direct_suffix_score(rt.get(), apart.answers[1], kept));
    EXPECT_NE(logprobs[1], direct_score(rt.get(), p.answers[2]));
}

// Direct library calls: the first prefix tokens of the answer's context
// retained, the rest of it decoded as a suffix before the answer.
double direct_suffix_score(vl_llama_runtime *rt, const answer_prompt &a, std::size_t prefix) {
    tokens seq = a.continuation;
    std::vector<std::size_t> offsets = {0, seq.size()};
    seq.push_back(seq.front() == 0 ? 1 : 0);
    offsets.push_back(seq.size());
    float scores[2];
    char err[256];
    EXPECT_EQ(vl_llama_prefill_shared(rt, a.context.data(), prefix, err, sizeof err), 0) << err;
    EXPECT_EQ(vl_llama_score_suffix_sequences(rt, a.context.data() + prefix, a.context.size() - prefix,
                                              seq.data(), offsets.data(), 2, scores, err, sizeof err),
              0)
        << err;
    return scores[0];
}

TEST(Scoring, ItemsAfterAKeptPrefixScoreAsAFreshPrefillWouldAndDecodeLess) {
    auto vocab = open_runtime(stories);
    auto rt = open_runtime(stories);
    ASSERT_TRUE(vocab && rt);
    const prompt_builder builder(vocab.get(), prompt_mode::raw, "",
                                 "Once upon a time there was a little girl named Lily. ", nullptr);
    std::vector<item_prompt> prompts(3);
    const char *contexts[] = {"One day she saw a", "She liked to play with her", "Her mom gave her a"};
    for (int i = 0; i < 3; ++i) {
        eval_item item;
        item.context = contexts[i];
        item.choices = {"dog", "ball", "big red ball"};
        item.label = 0;
        ASSERT_EQ(problem(builder.build(item, prompts[i])), "");
    }
    const std::vector<std::size_t> plan = plan_shared_prefixes(
        {common_prefix(prompts[0].context, prompts[1].context),
         common_prefix(prompts[1].context, prompts[2].context), 0});
    ASSERT_NE(plan[0], no_shared_prefix);
    EXPECT_EQ(plan[0], plan[2]);
    item_scorer shared(rt.get()), alone(rt.get());
    std::vector<std::vector<double>> kept(3), fresh(3);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(shared.score(prompts[i], plan[i], kept[i]), "");
    for (int i = 0; i < 3; ++i) ASSERT_EQ(alone.score(prompts[i], no_shared_prefix, fresh[i]), "");
    for (int i = 0; i < 3; ++i)
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(kept[i][k], direct_suffix_score(rt.get(), prompts[i].answers[k], plan[i]));
            EXPECT_EQ(fresh[i][k], direct_score(rt.get(), prompts[i].answers[k]));
            // llama.cpp's sums differ in the last bits between batch shapes.
            EXPECT_NEAR(kept[i][k], fresh[i][k], 0.05);
        }
    EXPECT_LT(shared.tokens_decoded(), alone.tokens_decoded());
    EXPECT_EQ(shared.tokens_from_scratch(), alone.tokens_from_scratch());
}

TEST(SharedPrefixPlan, RunsAreChosenToDecodeTheFewestTokens) {
    // Pairs sharing 10 tokens, all sharing 4: three runs of two beat one of six.
    EXPECT_EQ(plan_shared_prefixes({10, 4, 10, 4, 10, 0}),
              (std::vector<std::size_t>{10, 10, 10, 10, 10, 10}));
    // All sharing 8, two of them 9: one run of all.
    EXPECT_EQ(plan_shared_prefixes({8, 9, 8, 8, 0}), (std::vector<std::size_t>(5, 8)));
    // Nothing shared, or an unscorable item between: items stand alone.
    EXPECT_EQ(plan_shared_prefixes({0, 0, 0}), (std::vector<std::size_t>(3, no_shared_prefix)));
    EXPECT_EQ(plan_shared_prefixes({5, 0, 0, 0}),
              (std::vector<std::size_t>{5, 5, no_shared_prefix, no_shared_prefix}));
    EXPECT_TRUE(plan_shared_prefixes({}).empty());
}

TEST(BatchPlan, GroupsKeepOnePrefixAndStayWithinTheLimits) {
    // Items 0-3 share a 5-token prefix, item 4 stands alone, 5-6 share 7.
    const std::vector<std::size_t> plan = {5, 5, 5, 5, no_shared_prefix, 7, 7};
    const std::vector<std::size_t> common = {9, 6, 5, 0, 0, 8, 0};
    std::vector<item_size> sizes(7, item_size{15, 10, 4});  // 10 + 10 tokens after a 5-token prefix
    batch_limits limits;
    limits.tokens_per_decode = 20;
    limits.sequences_per_decode = 63;
    limits.n_ctx = 100;
    limits.decodes = 2;  // 40 tokens a call: two items
    EXPECT_EQ(plan_batches(plan, common, sizes, limits), (std::vector<std::size_t>{0, 2, 4, 5, 7}));
    limits.decodes = 4;
    EXPECT_EQ(plan_batches(plan, common, sizes, limits), (std::vector<std::size_t>{0, 4, 5, 7}));
    // Sequences bound a call too, and so does the window left after the prefix.
    limits.sequences_per_decode = 3;  // 12 answers a call
    EXPECT_EQ(plan_batches(plan, common, sizes, limits), (std::vector<std::size_t>{0, 3, 4, 5, 7}));
    limits.sequences_per_decode = 63;
    limits.n_ctx = 15;  // after 5 tokens 10 a decode (40 a call), after 7 only 8 (32)
    EXPECT_EQ(plan_batches(plan, common, sizes, limits), (std::vector<std::size_t>{0, 2, 4, 5, 6, 7}));
    // Equal plan values with different tokens (common below them) split.
    EXPECT_EQ(plan_batches({5, 5, 5}, {9, 4, 0}, std::vector<item_size>(3, item_size{6, 1, 2}), limits),
              (std::vector<std::size_t>{0, 2, 3}));
    EXPECT_EQ(plan_batches({}, {}, {}, limits), (std::vector<std::size_t>{0}));
}

// Three items after a kept preamble, with an answer twice and answers that
// begin others, and one whose own tokenization changed its context.
struct batch_case {
    std::vector<item_prompt> prompts;
    std::vector<std::size_t> plan;
};

batch_case stories_items(const vl_llama_runtime *vocab) {
    const prompt_builder builder(vocab, prompt_mode::raw, "",
                                 "Once upon a time there was a little girl named Lily. ", nullptr);
    batch_case c;
    const char *contexts[] = {"One day she saw a", "She liked to play with her", "Her mom gave her a"};
    for (const char *context : contexts) {
        eval_item item;
        item.context = context;
        item.choices = {"ball", "big red ball", "dog", "ball", "big"};
        item.label = 0;
        c.prompts.emplace_back();
        EXPECT_EQ(problem(builder.build(item, c.prompts.back())), "");
    }
    c.plan = plan_shared_prefixes({common_prefix(c.prompts[0].context, c.prompts[1].context),
                                   common_prefix(c.prompts[1].context, c.prompts[2].context), 0});
    return c;
}

// Walk and batch scores differ by llama.cpp's rounding between batch shapes.
// For these small calls stories260K gave equal scores (difference 0 measured);
// calls of many items in large decodes differ more (see program_test.py).
constexpr double walk_batch_tolerance = 1e-4;

TEST(BatchScoring, ScoresAsTheWalkWithEqualAndPrefixRelatedAnswers) {
    auto vocab = open_runtime(stories);
    auto rt = open_batch_runtime(stories);
    ASSERT_TRUE(vocab && rt);
    batch_case c = stories_items(vocab.get());
    ASSERT_NE(c.plan[0], no_shared_prefix);
    ASSERT_EQ(c.plan[0], c.plan[2]);
    std::vector<const item_prompt *> group;
    for (const item_prompt &p : c.prompts) group.push_back(&p);

    batch_scorer batched(rt.get());
    std::vector<std::vector<double>> scores;
    ASSERT_EQ(batched.score(group, c.plan[0], scores), "");
    item_scorer walked(rt.get());
    double largest = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        std::vector<double> walk;
        ASSERT_EQ(walked.score(c.prompts[i], c.plan[i], walk), "");
        ASSERT_EQ(scores[i].size(), walk.size());
        for (std::size_t k = 0; k < walk.size(); ++k) {
            EXPECT_NEAR(scores[i][k], walk[k], walk_batch_tolerance) << i << " " << k;
            largest = std::max(largest, std::fabs(scores[i][k] - walk[k]));
        }
        EXPECT_EQ(scores[i][0], scores[i][3]);  // "ball" twice
        EXPECT_LT(scores[i][1], scores[i][4]);  // "big red ball" is "big" and more
    }
    std::printf("largest walk/batch difference: %.3g\n", largest);
    EXPECT_EQ(batched.tokens_from_scratch(), walked.tokens_from_scratch());
    EXPECT_LT(batched.tokens_decoded(), batched.tokens_from_scratch());
}

TEST(BatchScoring, AGroupScoresTheSameAfterOtherGroupsOrAFreshStart) {
    // What lets a shard or a resumed run agree with a whole run to the bit:
    // a group's scores do not depend on what was scored before it.
    auto vocab = open_runtime(stories);
    batch_case c = stories_items(vocab.get());
    const std::vector<const item_prompt *> first = {&c.prompts[0]}, rest = {&c.prompts[1], &c.prompts[2]};
    std::vector<std::vector<double>> before, after, fresh;
    {
        auto rt = open_batch_runtime(stories);
        ASSERT_TRUE(rt);
        batch_scorer s(rt.get());
        ASSERT_EQ(s.score(first, c.plan[0], before), "");
        ASSERT_EQ(s.score(rest, c.plan[1], after), "");
    }
    auto rt = open_batch_runtime(stories);
    ASSERT_TRUE(rt);
    batch_scorer s(rt.get());
    ASSERT_EQ(s.score(rest, c.plan[1], fresh), "");
    EXPECT_EQ(after, fresh);
}

TEST(BatchScoring, AnAnswerThatChangesTheContextIsScoredAfterItsOwn) {
    auto vocab = open_runtime(stories);
    auto rt = open_batch_runtime(stories);
    ASSERT_TRUE(vocab && rt);
    const prompt_builder builder(vocab.get(), prompt_mode::chat, "", "", merging_encoder);
    eval_item item;
    item.context = "x";
    item.choices = {"AB", "merge", "A"};
    item.label = 0;
    item_prompt p;
    ASSERT_EQ(problem(builder.build(item, p)), "");
    batch_scorer batched(rt.get());
    std::vector<std::vector<double>> scores;
    ASSERT_EQ(batched.score({&p}, no_shared_prefix, scores), "");
    for (std::size_t k = 0; k < 3; ++k)
        EXPECT_NEAR(scores[0][k], direct_score(rt.get(), p.answers[k]), walk_batch_tolerance) << k;
    // A prefill of 10 11 12 and of 10 11 99, the answers' inner tokens (A).
    EXPECT_EQ(batched.tokens_decoded(), 3u + 3u + 1u + 1u);
}

TEST(Metrics, PicksAndStandardErrors) {
    // acc takes the largest total, acc_norm the largest per character of the
    // answer, acc_per_token the largest per token; ties go to the first
    // answer.
    const std::vector<answer_score> answers = {{-4.0, 4, 10}, {-3.0, 1, 2}, {-4.0, 4, 10}};
    EXPECT_EQ(pick_answers(answers), (std::array<int, metric_count>{1, 0, 0}));
    // Three answers each metric ranks differently: totals -3 > -6 > -8, per
    // character -0.25 (the second) best, per token -1 (the third) best.
    const std::vector<answer_score> apart = {{-3.0, 1, 3}, {-6.0, 2, 24}, {-8.0, 8, 8}};
    EXPECT_EQ(pick_answers(apart), (std::array<int, metric_count>{0, 1, 2}));
    // The best answer last, and by a margin no later answer reaches.
    EXPECT_EQ(pick_answers({{-9.0, 3, 3}, {-5.0, 5, 10}, {-1.0, 2, 4}}),
              (std::array<int, metric_count>{2, 2, 2}));
    accuracy a;
    for (bool c : {true, false, false, false}) a.add(c);
    EXPECT_DOUBLE_EQ(a.mean(), 0.25);
    EXPECT_DOUBLE_EQ(a.stderr_of_mean(), 0.25);  // sqrt(4 * 0.25 * 0.75 / 3 / 4)
    accuracy one;
    one.add(true);
    EXPECT_TRUE(std::isnan(one.stderr_of_mean()));
}

TEST(ResultsFile, RecordsRoundTripAndAnUnfinishedLastLineIsNotARecord) {
    result_record r;
    r.id = "q\"1";
    r.line = 7;
    r.run = "abc";
    r.item = "00000000000000aa";
    r.label = 1;
    r.answers = {{-1.25, 2, 5}, {-0.5, 1, 3}};
    decide(r);
    EXPECT_TRUE(r.correct[acc]);
    result_record skipped;
    skipped.id = "q2";
    skipped.line = 8;
    skipped.run = "abc";
    skipped.item = "00000000000000bb";
    skipped.skipped = "label out of range";
    const std::string a = to_json_line(r), b = to_json_line(skipped);
    const std::string path = scratch_file("results.jsonl", a + b + b.substr(0, 10));
    const results_read read = read_results(path, false);
    ASSERT_EQ(read.error, "");
    ASSERT_EQ(read.records.size(), 2u);
    EXPECT_TRUE(same_outcome(read.records[0], r));
    EXPECT_EQ(read.records[0].id, r.id);
    EXPECT_EQ(read.records[0].pick, r.pick);
    EXPECT_EQ(read.records[1].skipped, "label out of range");
    EXPECT_EQ(read.records[1].item, "00000000000000bb");
    EXPECT_EQ(read.complete_bytes, a.size() + b.size());

    const std::string broken = scratch_file("broken.jsonl", a + "{\"id\": 3}\n");
    EXPECT_EQ(read_results(broken, false).error.rfind(broken + ":2: ", 0), 0u);
    EXPECT_EQ(read_results(std::string(VL_EVAL_SCRATCH_DIR) + "/missing.jsonl", true).error, "");
}

// Numbers are checked for their type and range before they are converted: a
// number beyond 64 bits (a double to nlohmann), a negative count, a fraction
// or a non-finite score is refused with the field's name, as is a label or a
// pick that names no answer.
// A score that is not finite is a failure to report, never a record; a
// too-long item's numbers go into its record, not into its reason.
TEST(ItemOutcome, NonFiniteScoresFailAndTooLongItemsKeepTheirNumbersApart) {
    eval_item item;
    item.id = "q";
    item.label = 1;
    item_prompt prompt;
    prompt.answers.resize(2);
    prompt.answers[0].continuation = {1, 2};
    prompt.answers[1].continuation = {3};
    result_record record;
    EXPECT_EQ(finish_record(record, item, prompt, {-1.0, std::nan("")}),
              "the model gave a non-finite score to answer 1");
    EXPECT_TRUE(record.answers.empty());
    EXPECT_NE(finish_record(record, item, prompt, {-HUGE_VAL, -1.0}), "");
    ASSERT_EQ(finish_record(record, item, prompt, {-3.0, -1.0}), "");
    EXPECT_EQ(record.answers.size(), 2u);
    EXPECT_TRUE(record.correct[acc]);

    auto vocab = open_runtime(stories);
    const prompt_builder builder(vocab.get(), prompt_mode::raw, "", "", nullptr);
    item.context = "Once upon a time there was a girl";
    item.choices = {"who ran", "who sat"};
    item.hash = item_hash(item);
    item_prompt built;
    result_record fits, long_one;
    ASSERT_EQ(prepare_record(item, builder, 64, "r", built, fits), "");
    EXPECT_EQ(fits.skipped, "");
    const std::size_t needed = prompt_builder::tokens_needed(built);
    ASSERT_EQ(prepare_record(item, builder, needed - 1, "r", built, long_one), "");
    EXPECT_EQ(long_one.skipped, "longer than the context window");
    EXPECT_EQ(long_one.needed, needed);
    EXPECT_EQ(long_one.window, needed - 1);
    EXPECT_EQ(long_one.item, item.hash);  // the record says what it is of
    result_record read;
    ASSERT_EQ(parse_result_line(to_json_line(long_one), read), "");
    EXPECT_EQ(read.needed, needed);
    EXPECT_EQ(read.window, needed - 1);
}

TEST(ResultsFile, NumbersOutOfTypeOrRangeAreRefusedByName) {
    result_record r;
    EXPECT_EQ(parse_result_line(
                  R"({"id":"g6","line":7777777777777777777777777777777777777777777777777777777777777,)"
                  R"("skipped":"empty!answer","item_xxh3":"0123456789abcdef","run":"8qqqqqqqqqqqqqqqqqqqqqqqqqqqqpqqqq9ce347ece5f5447"})",
                  r),
              "field 'line' must be an integer from 0 to 9223372036854775807, not 7.777777777777778e+60");
    const std::string head = R"({"id":"a","line":3,"label":1,"answers":[)";
    const std::string tail =
        R"(],"pick":{"acc":0,"acc_norm":1,"acc_per_token":1},)"
        R"("correct":{"acc":false,"acc_norm":true,"acc_per_token":true},"item_xxh3":"0123456789abcdef","run":"r"})";
    const std::string first = R"({"logprob":-1.5,"tokens":2,"chars":5},)";
    ASSERT_EQ(parse_result_line(head + first + R"({"logprob":-2,"tokens":1,"chars":3})" + tail, r), "");
    EXPECT_EQ(r.line, 3u);
    EXPECT_EQ(r.label, 1);
    EXPECT_EQ(r.answers[1].logprob, -2.0);
    EXPECT_EQ(r.answers[0].tokens, 2u);
    EXPECT_EQ(r.answers[0].chars, 5u);
    EXPECT_EQ(r.pick, (std::array<int, metric_count>{0, 1, 1}));
    // -1: an item of a file that names no right answer (a binary task file).
    std::string no_label = head + first + R"({"logprob":-2,"tokens":1,"chars":3})" + tail;
    no_label.replace(no_label.find("\"label\":1"), 9, "\"label\":-1");
    ASSERT_EQ(parse_result_line(no_label, r), "");
    EXPECT_EQ(r.label, -1);
    struct bad_case {
        std::string second, message;
    } cases[] = {
        {R"({"logprob":-2,"tokens":-1,"chars":3})",
         "field 'answers[1].tokens' must be an integer from 0 to 9223372036854775807, not -1"},
        {R"({"logprob":-2,"tokens":1,"chars":2.5})", "field 'answers[1].chars' must be an integer"},
        {R"({"logprob":-2,"tokens":18446744073709551615,"chars":3})",
         "field 'answers[1].tokens' must be an integer"},
        // A non-finite score is written as null.
        {R"({"logprob":null,"tokens":1,"chars":3})",
         "field 'answers[1].logprob' must be a finite number, not null"},
        {R"({"logprob":"-2","tokens":1,"chars":3})",
         R"(field 'answers[1].logprob' must be a finite number, not "-2")"},
    };
    for (const bad_case &c : cases) {
        const std::string err = parse_result_line(head + first + c.second + tail, r);
        EXPECT_EQ(err.rfind(c.message, 0), 0u) << c.second << " gave: " << err;
    }
    std::string label_past = head + first + R"({"logprob":-2,"tokens":1,"chars":3})" + tail;
    label_past.replace(label_past.find("\"label\":1"), 9, "\"label\":2");
    EXPECT_EQ(parse_result_line(label_past, r), "field 'label' must be an integer from -1 to 1, not 2");
    std::string pick_past = head + first + R"({"logprob":-2,"tokens":1,"chars":3})" + tail;
    pick_past.replace(pick_past.find("\"acc_norm\":1"), 12, "\"acc_norm\":-1");
    EXPECT_EQ(parse_result_line(pick_past, r), "field 'pick.acc_norm' must be an integer from 0 to 1, not -1");
    EXPECT_EQ(parse_result_line(R"({"id":"a","line":1,"label":0,"answers":{"x":1},"item_xxh3":"0123456789abcdef","run":"r"})", r),
              "field 'answers' must be an array");
    // A record of an earlier vl-eval, which wrote no item hash, or a hash
    // that is not one.
    std::string no_item = head + first + R"({"logprob":-2,"tokens":1,"chars":3})" + tail;
    no_item.replace(no_item.find(R"("item_xxh3":"0123456789abcdef",)"), 31, "");
    EXPECT_EQ(parse_result_line(no_item, r).rfind("no 'item_xxh3'", 0), 0u) << parse_result_line(no_item, r);
    std::string bad_item = head + first + R"({"logprob":-2,"tokens":1,"chars":3})" + tail;
    bad_item.replace(bad_item.find("0123456789abcdef"), 16, "xyz");
    EXPECT_EQ(parse_result_line(bad_item, r), "field 'item_xxh3' must be 16 hex digits, not \"xyz\"");

    // The same line in a results file: the file and line lead the message.
    const std::string path = scratch_file(
        "huge.jsonl", R"({"id":"g6","line":1e300,"skipped":"x","item_xxh3":"0123456789abcdef","run":"r"})" "\n");
    EXPECT_EQ(read_results(path, false).error,
              path + ":1: field 'line' must be an integer from 0 to 9223372036854775807, not 1e+300");
}

TEST(ResultsFile, OutcomesDifferInAnyCountScoreOrLabel) {
    result_record a;
    a.id = "x";
    a.label = 0;
    a.answers = {{-1.0, 2, 5}, {-2.0, 3, 7}};
    const auto differs = [&](auto change) {
        result_record b = a;
        change(b);
        return !same_outcome(a, b);
    };
    EXPECT_TRUE(same_outcome(a, a));
    EXPECT_FALSE(differs([](result_record &b) { b.line = 9; b.run = "other"; }));
    EXPECT_TRUE(differs([](result_record &b) { b.answers[1].logprob = -2.5; }));
    EXPECT_TRUE(differs([](result_record &b) { b.answers[1].tokens = 4; }));
    EXPECT_TRUE(differs([](result_record &b) { b.answers[1].chars = 8; }));
    EXPECT_TRUE(differs([](result_record &b) { b.label = 1; }));
    EXPECT_TRUE(differs([](result_record &b) { b.skipped = "label out of range"; }));
    EXPECT_TRUE(differs([](result_record &b) { b.answers.push_back({-3.0, 1, 1}); }));
    EXPECT_TRUE(differs([](result_record &b) { b.item = "0000000000000001"; }));  // another item's
}

// What an item's hash covers: what its prompt and answers are made of and
// its right answer, each apart from the others; not where it stands.
TEST(ResultsFile, AnItemsHashCoversWhatIsScoredAndNotWhereItStands) {
    eval_item a;
    a.id = "x";
    a.line = 3;
    a.context = "ab";
    a.choices = {"c", "d"};
    a.label = 1;
    const std::string h = item_hash(a);
    EXPECT_EQ(h.size(), 16u);
    EXPECT_EQ(h.find_first_not_of("0123456789abcdef"), std::string::npos) << h;
    const auto differs = [&](auto change) {
        eval_item b = a;
        change(b);
        return item_hash(b) != h;
    };
    EXPECT_TRUE(differs([](eval_item &b) { b.context = "ab "; }));
    EXPECT_TRUE(differs([](eval_item &b) { b.choices[0] = "C"; }));
    EXPECT_TRUE(differs([](eval_item &b) { b.choices.push_back("e"); }));
    EXPECT_TRUE(differs([](eval_item &b) { b.label = 0; }));
    EXPECT_TRUE(differs([](eval_item &b) { b.system = "s"; }));
    EXPECT_TRUE(differs([](eval_item &b) { b.description = "d"; }));
    EXPECT_TRUE(differs([](eval_item &b) {  // the same characters, split otherwise
        b.context = "a";
        b.choices = {"bc", "d"};
    }));
    EXPECT_FALSE(differs([](eval_item &b) {
        b.id = "y";
        b.line = 9;
        b.group = "g";
        b.format = "generic";
    }));
}

// Records whose metrics disagree: each metric keeps its own count, and the
// summary prints and writes each, with the share of tokens decoded.
TEST(Summary, EachMetricCountsItsOwnOutcomes) {
    summary_info info;
    info.items = 5;
    const std::array<std::array<bool, metric_count>, 4> outcomes = {{
        {true, false, false}, {false, true, false}, {false, true, true}, {false, true, false}}};
    for (const auto &correct : outcomes) {
        result_record r;
        r.answers = {{-1.0, 1, 1}, {-2.0, 1, 1}};
        r.correct = correct;
        tally(info, r);
    }
    result_record skipped;
    skipped.skipped = "empty answer";
    tally(info, skipped);
    info.tokens_decoded = 30;
    info.tokens_from_scratch = 120;
    const nlohmann::json j = summary_json(info);
    EXPECT_EQ(j["items"], (nlohmann::json{{"total", 5}, {"scored", 4}, {"skipped", 1},
                                          {"skip_reasons", {{"empty answer", 1}}}}));
    EXPECT_EQ(j["metrics"]["acc"]["value"], 0.25);
    EXPECT_EQ(j["metrics"]["acc_norm"]["value"], 0.75);
    EXPECT_EQ(j["metrics"]["acc_per_token"]["value"], 0.25);
    EXPECT_DOUBLE_EQ(j["metrics"]["acc_norm"]["stderr"].get<double>(), 0.25);
    EXPECT_EQ(j["tokens_decoded"], 30);
    EXPECT_EQ(j["tokens_from_scratch"], 120);

    char printed[2048] = "";
    std::FILE *out = fmemopen(printed, sizeof printed - 1, "w");
    ASSERT_NE(out, nullptr);
    print_summary(out, info);
    std::fclose(out);
    const std::string text = printed;
    EXPECT_NE(text.find("items:   4 scored, 1 skipped, of 5\n"), std::string::npos) << text;
    EXPECT_NE(text.find("| acc           | 0.2500 | 0.2500 |\n"
                        "| acc_norm      | 0.7500 | 0.2500 |\n"
                        "| acc_per_token | 0.2500 | 0.2500 |\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("tokens:  30 decoded, 120 from scratch (25.0% of them)\n"), std::string::npos)
        << text;
}

TEST(Shards, ContiguousBlocksCoverEveryItemOnce) {
    for (std::size_t n : {0, 1, 2, 7, 100})
        for (unsigned count : {1u, 3u, 8u}) {
            std::size_t next = 0;
            for (unsigned i = 0; i < count; ++i) {
                std::size_t b, e;
                shard_range(n, i, count, b, e);
                EXPECT_EQ(b, next);
                next = e;
            }
            EXPECT_EQ(next, n);
        }
    unsigned i, n;
    EXPECT_EQ(parse_shard("2/3", i, n), "");
    EXPECT_EQ(i * 10 + n, 23u);
    for (const char *bad : {"3/3", "1/0", "/3", "1/", "a/3", "1-3", "-1/3"})
        EXPECT_NE(parse_shard(bad, i, n), "") << bad;
}

}  // namespace
