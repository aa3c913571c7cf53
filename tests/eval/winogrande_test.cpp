// Winogrande: both files it comes in read into the same fill-in-the-blank
// items, the tokens scored under each of the two definitions against the
// text they are defined on, and the scorers' answers with a given part (the
// option filling the blank) against direct library calls.
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eval_test_support.h"
#include "prompts/prompts.h"
#include "results/run_identity.h"
#include "scoring/scorers.h"
#include "tasks/fewshot.h"
#include "tasks/jsonl_formats.h"
#include "tasks/task_formats.h"
#include "tasks/winogrande.h"

namespace {

using namespace vl_eval;
using namespace vl_eval_test;

TEST(WinograndeReaders, TheCsvAndThePublishedLinesGiveTheSameItems) {
    const std::string csv = scratch_file(
        "winogrande_reader.csv",
        "0,Sarah was a much better surgeon than Maria so _ always got the harder cases.,Sarah,Maria,1\n"
        "\n"
        "7,\"Tom, not Ben, fed the cat, so _ was thanked.\",Tom,Ben,2\r\n"
        "x9,The _ is wet.,dog,floor,\n"
        "10,Nothing follows the _,a,b,1\n");
    const read_result read = read_winogrande_csv(csv);
    ASSERT_EQ(read.error, "");
    EXPECT_TRUE(read.plain_text);
    ASSERT_EQ(read.items.size(), 4u);
    const eval_item &first = read.items[0];
    EXPECT_EQ(first.id, "0");
    EXPECT_EQ(first.format, "winogrande-csv");
    EXPECT_TRUE(first.fill_in);
    EXPECT_EQ(first.context, "Sarah was a much better surgeon than Maria so ");
    EXPECT_EQ(first.after_blank, " always got the harder cases.");
    EXPECT_EQ(first.choices, (std::vector<std::string>{"Sarah", "Maria"}));
    EXPECT_EQ(first.label, 0);
    // A quoted sentence loses its quotes; the answer is the line's rest.
    EXPECT_EQ(read.items[1].line, 3u);
    EXPECT_EQ(read.items[1].context, "Tom, not Ben, fed the cat, so ");
    EXPECT_EQ(read.items[1].after_blank, " was thanked.");
    // What follows the blank is part of what the item is.
    eval_item edited = read.items[1];
    edited.after_blank = " was fed.";
    EXPECT_NE(item_hash(edited), item_hash(read.items[1]));
    EXPECT_EQ(read.items[1].label, 1);
    EXPECT_EQ(read.items[2].skip_reason, "no label");
    EXPECT_EQ(read.items[3].skip_reason, "no text after the blank");

    // The published layout: the same item, its qID as id.
    const std::string lines = scratch_file(
        "winogrande_reader.jsonl",
        R"({"qID": "3QHITW-1", "sentence": "Sarah was a much better surgeon than Maria so _ always got the harder cases.", "option1": "Sarah", "option2": "Maria", "answer": "1"})" "\n"
        R"({"sentence": "The _ is wet.", "option1": "dog", "option2": "", "answer": 2})" "\n");
    const read_result published = find_task_format("auto")->read(lines);
    ASSERT_EQ(published.error, "");
    EXPECT_TRUE(published.plain_text);
    ASSERT_EQ(published.items.size(), 2u);
    EXPECT_EQ(published.items[0].id, "3QHITW-1");
    EXPECT_EQ(published.items[0].format, "winogrande");
    EXPECT_EQ(published.items[0].context, first.context);
    EXPECT_EQ(published.items[0].after_blank, first.after_blank);
    EXPECT_EQ(published.items[0].choices, first.choices);
    EXPECT_EQ(published.items[0].label, first.label);
    EXPECT_EQ(published.items[1].label, 1);
    EXPECT_EQ(published.items[1].skip_reason, "empty answer");

    // Under auto, the CSV is told from JSON lines by its first line.
    const read_result detected = find_task_format("auto")->read(csv);
    ASSERT_EQ(detected.error, "");
    EXPECT_EQ(detected.items.size(), 4u);
    EXPECT_EQ(detected.items[0].format, "winogrande-csv");
}

TEST(WinograndeReaders, MalformedLinesNameTheirLine) {
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"0,No blank here.,a,b,1\n", ":1: the sentence has no blank '_'"},
        {"0,The _ ran.,a,b\n", ":1: expected index,sentence,option1,option2,answer (3 commas outside quotes)"},
        {"0,The _ ran.,a,b,3\n", ":1: the answer must be 1 or 2, not \"3\""},
        {"0,\"The _ ran,a,b,1\n", ":1: expected index,sentence,option1,option2,answer (1 commas outside quotes)"},
        {"0,\"The _\" ran,a,b,1\n", ":1: the sentence's opening quote is not closed before its comma"},
        {"4,The _ ran.,a,b,1\n4,The _ sat.,a,b,2\n", ":2: id '4' was already used on line 1"},
    };
    for (const auto &c : cases) {
        const read_result read = parse_winogrande_csv(c.text, "wg.csv");
        EXPECT_EQ(read.error, std::string("wg.csv") + c.error) << c.text;
    }
    // The lines before a malformed one are kept.
    const read_result partial = parse_winogrande_csv("1,The _ ran.,a,b,1\n2,bad\n", "wg.csv");
    EXPECT_EQ(partial.items.size(), 1u);
    EXPECT_EQ(partial.error, "wg.csv:2: expected index,sentence,option1,option2,answer (1 commas outside quotes)");

    eval_item item;
    EXPECT_EQ(parse_jsonl_item(R"({"sentence": "No blank.", "option1": "a", "option2": "b", "answer": "1"})",
                               jsonl_layout::automatic, item),
              "field 'sentence': the sentence has no blank '_'");
    EXPECT_EQ(parse_jsonl_item(R"({"sentence": "The _ ran.", "option1": "a", "option2": "b", "answer": 1.5})",
                               jsonl_layout::winogrande, item),
              "field 'answer' must be \"1\" or \"2\"");
    // Text that only looks like a CSV line at a glance is not one.
    EXPECT_FALSE(looks_like_winogrande_csv("{\"sentence\": \"a,_,b,c,1\"}\n"));
    EXPECT_FALSE(looks_like_winogrande_csv("0,The _ ran.,a,b,yes\n"));
    EXPECT_TRUE(looks_like_winogrande_csv("\n0,The _ ran.,a,b,2\n"));
}

// The tokens an answer is scored on, after the tokens it is scored after:
// both from one tokenization of the whole text, split after the context's
// own token count.
struct split_run {
    tokens before, scored;
};
split_run split(const vl_llama_runtime *rt, const std::string &context, const std::string &continuation) {
    const tokens whole = raw_tokens(rt, context + continuation);
    const std::size_t n = raw_tokens(rt, context).size();
    return {tokens(whole.begin(), whole.begin() + static_cast<long>(n)),
            tokens(whole.begin() + static_cast<long>(n), whole.end())};
}

tokens joined(const tokens &a, const tokens &b) {
    tokens out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

eval_item blank_item(const std::string &sentence, const std::string &option1, const std::string &option2) {
    eval_item item;
    EXPECT_EQ(make_winogrande_item(sentence, option1, option2, "1", item), "");
    return item;
}

TEST(WinograndePrompts, EachDefinitionScoresItsOwnTokensAfterTheFilledBlank) {
    auto rt = open_runtime(stories, 256, 2, 1);
    ASSERT_TRUE(rt);
    // After the blank: a double space and trailing blanks, which the harness
    // strips and llama-perplexity keeps.
    const eval_item item = blank_item("Lily gave the ball to Tom because _  did not want it. ", "Lily", "Tom");
    const std::string before = "Lily gave the ball to Tom because ";

    item_prompt harness;
    ASSERT_EQ(problem(prompt_builder(rt.get(), prompt_mode::raw, "", "", nullptr).build(item, harness)), "");
    item_prompt perplexity;
    ASSERT_EQ(problem(prompt_builder(rt.get(), prompt_mode::raw, "", "", nullptr, blank_scoring::llama_perplexity)
                          .build(item, perplexity)),
              "");
    ASSERT_EQ(harness.answers.size(), 2u);
    for (std::size_t a = 0; a < 2; ++a) {
        const std::string filled = before + item.choices[a];
        // The harness: " " + the stripped text, every token.
        const split_run h = split(rt.get(), filled, " did not want it.");
        const answer_prompt &ha = harness.answers[a];
        EXPECT_EQ(ha.context, harness.context);
        EXPECT_EQ(joined(ha.context, tokens(ha.continuation.begin(), ha.continuation.begin() + static_cast<long>(ha.given))), h.before) << a;
        EXPECT_EQ(tokens(ha.continuation.begin() + static_cast<long>(ha.given), ha.continuation.end()), h.scored) << a;
        EXPECT_GT(ha.given, 0u);
        EXPECT_EQ(ha.chars, 16u);
        // llama-perplexity: the sentence as written, its last token left out.
        split_run p = split(rt.get(), filled, "  did not want it. ");
        ASSERT_GT(p.scored.size(), 1u);
        p.scored.pop_back();
        const answer_prompt &pa = perplexity.answers[a];
        EXPECT_EQ(joined(pa.context, tokens(pa.continuation.begin(), pa.continuation.begin() + static_cast<long>(pa.given))), p.before) << a;
        EXPECT_EQ(tokens(pa.continuation.begin() + static_cast<long>(pa.given), pa.continuation.end()), p.scored) << a;
        EXPECT_NE(pa.continuation, ha.continuation);
    }
    // One token after the blank is scored even by llama-perplexity.
    const eval_item short_tail = blank_item("The ball was _.", "red", "blue");
    ASSERT_EQ(problem(prompt_builder(rt.get(), prompt_mode::raw, "", "", nullptr, blank_scoring::llama_perplexity)
                          .build(short_tail, perplexity)),
              "");
    for (const answer_prompt &a : perplexity.answers) EXPECT_EQ(a.continuation.size() - a.given, 1u);

    // A chat prompt has no blank to fill.
    item_prompt chat;
    EXPECT_EQ(problem(prompt_builder(rt.get(), prompt_mode::chat, "", "", nullptr).build(item, chat)),
              "fill-in-the-blank item needs --prompt raw");
}

TEST(WinograndePrompts, AnExampleIsTheFilledSentenceAsTheHarnessWritesIt) {
    eval_item solved = blank_item("The cup fell because _  was at the edge.  ", "the cup", "the table");
    EXPECT_EQ(render_example(solved), "The cup fell because the cup was at the edge.");
    solved.label = 1;
    EXPECT_EQ(render_example(solved), "The cup fell because the table was at the edge.");
}

// log P(scored | before) in one direct call from position 0.
double direct(vl_llama_runtime *rt, const tokens &before, const tokens &scored) {
    const std::size_t offsets[] = {0, scored.size()};
    const std::size_t context_offsets[] = {0, before.size()}, task_offsets[] = {0, 1};
    float score = 0;
    char err[256] = "";
    EXPECT_EQ(vl_llama_score_sequence_batch(rt, before.data(), context_offsets, scored.data(), offsets,
                                            task_offsets, 1, &score, nullptr, err, sizeof err),
              0)
        << err;
    return score;
}

TEST(WinograndeScoring, AnswersAreScoredAfterTheirOptionInBatchesAndWalks) {
    auto vocab = open_runtime(stories, 256, 2, 1);
    // The scorers keep a prefix in theirs; direct calls start from nothing.
    auto rt = open_runtime(stories, 512, 16, 1), fresh = open_runtime(stories, 512, 16, 1);
    ASSERT_TRUE(vocab && rt && fresh);
    std::vector<item_prompt> prompts(3);
    const eval_item items[] = {
        blank_item("The cup fell off the table because _ was too close to the edge.", "the cup", "the table"),
        blank_item("Sam could not lift the box with the bag because the _ was too heavy.", "box", "bag"),
        blank_item("The sun was hot and the snow was cold, so the _ melted.", "snow", "sun"),
    };
    for (std::size_t i = 0; i < 3; ++i)
        for (blank_scoring how : {blank_scoring::harness, blank_scoring::llama_perplexity}) {
            ASSERT_EQ(problem(prompt_builder(vocab.get(), prompt_mode::raw, "", "", nullptr, how)
                                  .build(items[i], prompts[i])),
                      "");
            std::vector<double> walk, want;
            for (const answer_prompt &a : prompts[i].answers) {
                const auto split = a.continuation.begin() + static_cast<long>(a.given);
                want.push_back(direct(fresh.get(), joined(a.context, tokens(a.continuation.begin(), split)),
                                      tokens(split, a.continuation.end())));
            }
            item_scorer walker(rt.get());
            ASSERT_EQ(walker.score(prompts[i], no_shared_prefix, walk), "");
            batch_scorer batcher(rt.get());
            std::vector<std::vector<double>> batch;
            ASSERT_EQ(batcher.score({&prompts[i]}, no_shared_prefix, batch), "");
            for (std::size_t a = 0; a < want.size(); ++a) {
                // Whole minus the option's part, against the rest alone: float
                // sums of other lengths, equal to a few ulps of the whole.
                EXPECT_NEAR(walk[a], want[a], 1e-4) << i << " " << a;
                EXPECT_NEAR(batch[0][a], want[a], 1e-4) << i << " " << a;
            }
            // The option's part begins the whole answer: it costs the batch
            // scorer no decode of its own, and an evaluation from scratch
            // decodes each answer after its context, but its last token.
            std::set<tokens> inner;
            std::size_t from_scratch = 0;
            for (const answer_prompt &a : prompts[i].answers) {
                for (std::size_t n = 1; n < a.continuation.size(); ++n)
                    inner.emplace(a.continuation.begin(), a.continuation.begin() + static_cast<long>(n));
                from_scratch += a.context.size() + a.continuation.size() - 1;
            }
            EXPECT_EQ(batcher.tokens_decoded(), prompts[i].context.size() + inner.size());
            EXPECT_EQ(batcher.tokens_from_scratch(), from_scratch);
            EXPECT_EQ(walker.tokens_from_scratch(), from_scratch);
        }
}

}  // namespace
