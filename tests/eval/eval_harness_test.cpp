// vl-eval against the common harness's definitions: handmade items of each
// standard task with the prompt text the harness writes for them and the
// answers its metrics pick, few-shot examples by subject, and the per-group
// breakdown of the summary.
#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <llama.h>

#include "eval_test_support.h"
#include "prompts/prompts.h"
#include "results/metrics.h"
#include "results/record_json.h"
#include "results/summary.h"
#include "tasks/jsonl_formats.h"
#include "tasks/python_random.h"
#include "tasks/python_text.h"
#include "tasks/task_formats.h"
#include "tasks/task_options.h"
#include "vorlenta_llama_shim.h"

namespace {

using namespace vl_eval;
using namespace vl_eval_test;

// The vocabulary the prompts are tokenized with, opened once.
const vl_llama_runtime *vocab() {
    static const runtime_ptr runtime = open_runtime(stories, 64, 2, 1);
    return runtime.get();
}

tokens raw_tokens(const std::string &text) { return vl_eval_test::raw_tokens(vocab(), text); }

eval_item parse(const std::string &line, jsonl_layout layout) {
    eval_item item;
    const std::string error = parse_jsonl_item(line, layout, item);
    EXPECT_EQ(error, "") << line;
    return item;
}

// The raw prompt of an item as the scorer gets it, checked against the text
// the harness writes: context tokens of exactly that text, and each answer
// the tokens the text plus " " + answer adds.
item_prompt raw_prompt(const eval_item &item, const std::string &expected_context) {
    const prompt_builder builder(vocab(), prompt_mode::raw, "", "", nullptr);
    item_prompt p;
    EXPECT_EQ(problem(builder.build(item, p)), "");
    EXPECT_EQ(p.context, raw_tokens(expected_context));
    for (std::size_t a = 0; a < p.answers.size(); ++a) {
        tokens joined = p.answers[a].context;
        joined.insert(joined.end(), p.answers[a].continuation.begin(), p.answers[a].continuation.end());
        EXPECT_EQ(joined, raw_tokens(expected_context + " " + item.choices[a])) << a;
    }
    return p;
}

// The picks of acc and acc_norm for the given log-probabilities of the
// prompt's answers.
std::array<int, 2> picks(const item_prompt &p, const std::vector<double> &logprobs) {
    std::vector<answer_score> scores;
    for (std::size_t a = 0; a < logprobs.size(); ++a)
        scores.push_back({logprobs[a], p.answers[a].continuation.size(), p.answers[a].chars});
    const auto pick = pick_answers(scores);
    return {pick[acc], pick[acc_norm]};
}

TEST(HarnessText, PythonsStripCapitalizeAndReplace) {
    // str.isspace covers Unicode spaces: a no-break and an ideographic space.
    EXPECT_EQ(python_strip("\xC2\xA0 \t a b \n\xE3\x80\x80"), "a b");
    EXPECT_EQ(python_strip(" \n "), "");
    EXPECT_EQ(python_capitalize("\xC3\xA9" "COLE OF ROCK"), "\xC3\x89" "cole of rock");  // École
    EXPECT_EQ(python_capitalize(""), "");
    // One pass: four spaces become two.
    EXPECT_EQ(replace_all("a    b", "  ", " "), "a  b");
    EXPECT_EQ(code_points("\xC3\xA9t\xC3\xA9"), 3u);  // "été"
    EXPECT_EQ(hellaswag_clean("  a [title] b[x] [y]c  d [open\n] e "), "a. b c d [open\n] e");
}

TEST(HarnessLayouts, HellaSwagAsTheHarnessCleansItAndPicksByCharacters) {
    const std::string line =
        R"({"ind": 7, "activity_label": "Making a cake", "ctx_a": "  A woman [header] stands in a kitchen.",)"
        R"( "ctx_b": "SHE POURS flour [title] into a bowl", "ctx": "unused",)"
        R"( "endings": ["  mixes   the eggs [step] in. ", "\u00c9tale la p\u00e2te."], "label": "0"})";
    const eval_item item = parse(line, jsonl_layout::hellaswag);
    // The harness: preprocess(activity_label + ": " + ctx_a + " " + ctx_b.capitalize()).
    const std::string context = "Making a cake:  A woman stands in a kitchen. She pours flour. into a bowl";
    EXPECT_EQ(item.context, context);
    EXPECT_EQ(item.choices, (std::vector<std::string>{"mixes  the eggs in.", "\xC3\x89tale la p\xC3\xA2te."}));
    EXPECT_EQ(item.group, "Making a cake");
    const item_prompt p = raw_prompt(item, context);
    EXPECT_EQ(p.answers[0].chars, 19u);
    EXPECT_EQ(p.answers[1].chars, 14u);  // 17 bytes
    // -19.5 / 19 beats -15 / 14: acc_norm takes the first, acc the second;
    // by the bytes of " " + ending acc_norm would take the second.
    EXPECT_EQ(picks(p, {-19.5, -15.0}), (std::array<int, 2>{1, 0}));

    // The test split: an empty label is a skip, not a malformed line.
    std::string unlabelled = line;
    unlabelled.replace(unlabelled.find(R"("label": "0")"), 12, R"("label": "")");
    EXPECT_EQ(parse(unlabelled, jsonl_layout::hellaswag).skip_reason, "no label");
    EXPECT_EQ(parse(unlabelled, jsonl_layout::automatic).skip_reason, "no label");
}

TEST(HarnessLayouts, MmluSubjectLineStrippedQuestionAndLetters) {
    const eval_item item = parse(
        R"({"question": "  Which is heaviest?\n", "subject": "high_school_physics",)"
        R"( "choices": ["a proton", "an \u00e9lectron", "a neutron", "a quark"], "answer": 2})",
        jsonl_layout::mmlu);
    const std::string prompt =
        "The following are multiple choice questions (with answers) about high school physics.\n\n"
        "Which is heaviest?\nA. a proton\nB. an \xC3\xA9lectron\nC. a neutron\nD. a quark\nAnswer:";
    EXPECT_EQ(item.description + item.context, prompt);
    EXPECT_EQ(item.group, "high_school_physics");
    const item_prompt p = raw_prompt(item, prompt);  // answers " A" .. " D"
    EXPECT_EQ(picks(p, {-2.0, -1.5, -0.7, -3.0}), (std::array<int, 2>{2, 2}));

    // No subject, no subject line.
    const eval_item bare = parse(R"({"question": "Q?", "choices": ["x", "y"], "answer": "B"})",
                                 jsonl_layout::mmlu);
    EXPECT_EQ(bare.description + bare.context, "Q?\nA. x\nB. y\nAnswer:");
    EXPECT_EQ(bare.group, "");
}

TEST(HarnessLayouts, ArcInBothLayoutsPicksByCharacters) {
    const std::string context = "Question: Which gas do plants take in?\nAnswer:";
    for (const char *line :
         {R"({"id": "a1", "question": {"stem": "Which gas do plants take in?", "choices": [)"
          R"({"text": "oxygen", "label": "A"}, {"text": "carbon dioxide", "label": "B"}]}, "answerKey": "B"})",
          R"({"id": "a1", "question": "Which gas do plants take in?", "choices": {"text": ["oxygen",)"
          R"( "carbon dioxide"], "label": ["1", "2"]}, "answerKey": "2"})"}) {
        const eval_item item = parse(line, jsonl_layout::arc);
        EXPECT_EQ(item.context, context);
        EXPECT_EQ(item.label, 1);
        const item_prompt p = raw_prompt(item, context);
        // -9 / 14 beats -4 / 6 per character; by the bytes of " " + answer
        // (-9 / 15 against -4 / 7) it would not.
        EXPECT_EQ(picks(p, {-4.0, -9.0}), (std::array<int, 2>{0, 1}));
    }
}

TEST(HarnessLayouts, NonAsciiAnswersCountCharactersInChatModeToo) {
    // Chat answers are the assistant's words; their length is the same text's.
    const chat_encoder encoder = [](const std::string &, const std::string &, const char *prefix,
                                    tokens &out) {
        out = {10, 11};
        if (prefix != nullptr)
            for (const char *c = prefix; *c; ++c) out.push_back(static_cast<unsigned char>(*c));
        return std::string();
    };
    const prompt_builder builder(vocab(), prompt_mode::chat, "", "", encoder);
    eval_item item;
    item.context = "Season?";
    item.choices = {"\xC3\xA9t\xC3\xA9", "summer"};  // été: 3 characters, 5 bytes
    item.label = 1;
    item_prompt p;
    ASSERT_EQ(problem(builder.build(item, p)), "");
    EXPECT_EQ(p.answers[0].chars, 3u);
    EXPECT_EQ(p.answers[1].chars, 6u);
    // -6 / 6 beats -3.3 / 3 per character; counted in bytes (-3.3 / 5) été
    // would win.
    EXPECT_EQ(picks(p, {-3.3, -6.0}), (std::array<int, 2>{0, 1}));
}

TEST(FewShot, MmluExamplesComeFromTheSameSubjectAfterItsSubjectLine) {
    const std::string dev = scratch_file(
        "fewshot_dev.jsonl",
        R"({"question": "What is 1 + 1?", "subject": "elementary_mathematics", "choices": ["1", "2", "3", "4"], "answer": 1})" "\n"
        R"({"question": "What orbits the Earth?", "subject": "astronomy", "choices": ["the Moon", "Mars", "the Sun", "Venus"], "answer": 0})" "\n"
        R"({"question": "Broken", "subject": "astronomy", "choices": ["a", "b"], "answer": 5})" "\n"
        R"({"question": "What is 3 - 1?", "subject": "elementary_mathematics", "choices": ["2", "1", "0", "3"], "answer": "A"})" "\n"
        R"({"question": "Which star is closest?", "subject": "astronomy", "choices": ["Sirius", "Vega", "the Sun", "Polaris"], "answer": "C"})" "\n"
        R"({"question": "What is 5 * 0?", "subject": "elementary_mathematics", "choices": ["5", "0", "50", "1"], "answer": 1})" "\n");
    const std::string tasks = std::string(VL_EVAL_DATA_DIR) + "/mmlu.jsonl";
    const task_format &format = *find_task_format("auto");
    read_result read = format.read(tasks);
    ASSERT_EQ(read.error, "");
    task_options options;
    options.fewshot = 2;
    options.fewshot_from = dev;
    std::string examples;
    ASSERT_EQ(apply_task_options(options, format, tasks, read.items, examples), "");
    const std::string math =
        "The following are multiple choice questions (with answers) about elementary mathematics.\n\n"
        "What is 1 + 1?\nA. 1\nB. 2\nC. 3\nD. 4\nAnswer: B\n\n"
        "What is 3 - 1?\nA. 2\nB. 1\nC. 0\nD. 3\nAnswer: A\n\n"
        "What is 2 + 2?\nA. 3\nB. 4\nC. 5\nD. 22\nAnswer:";
    const std::string astronomy =
        "The following are multiple choice questions (with answers) about astronomy.\n\n"
        "What orbits the Earth?\nA. the Moon\nB. Mars\nC. the Sun\nD. Venus\nAnswer: A\n\n"
        "Which star is closest?\nA. Sirius\nB. Vega\nC. the Sun\nD. Polaris\nAnswer: C\n\n"
        "Which planet is closest to the sun?\nA. Venus\nB. Earth\nC. Mercury\nD. Mars\nAnswer:";
    ASSERT_EQ(read.items.size(), 2u);
    EXPECT_EQ(read.items[0].description + read.items[0].context, math);
    EXPECT_EQ(read.items[1].description + read.items[1].context, astronomy);
    raw_prompt(read.items[0], math);
    // The examples are part of the run's identity: other examples, another
    // fingerprint; the same, the same.
    const std::string two = examples;
    options.fewshot = 1;
    read = format.read(tasks);
    ASSERT_EQ(apply_task_options(options, format, tasks, read.items, examples), "");
    EXPECT_NE(examples, two);
    options.fewshot = 2;
    read = format.read(tasks);
    ASSERT_EQ(apply_task_options(options, format, tasks, read.items, examples), "");
    EXPECT_EQ(examples, two);

    // Three of a subject with two solved examples in the file is refused.
    read = format.read(tasks);
    options.fewshot = 3;
    const std::string error = apply_task_options(options, format, tasks, read.items, examples);
    EXPECT_NE(error.find(dev + ": has 2 solved examples of subject 'astronomy', --fewshot asks for 3"),
              std::string::npos)
        << error;
}

// Python's random.Random(1234) as CPython computes it (3.11 and 3.14):
// getrandbits and random.sample's two algorithms, a list of the population
// for small ones (n <= 21 + ...) and a set of the picks for large ones.
TEST(FewShot, TheGeneratorDrawsAsCPythonDoes) {
    python_random r(1234);
    EXPECT_EQ(r.sample(10, 3), (std::vector<std::size_t>{7, 1, 0}));
    EXPECT_EQ(r.sample(10, 4), (std::vector<std::size_t>{1, 0, 9, 8}));
    EXPECT_EQ(r.sample(24, 4), (std::vector<std::size_t>{11, 7, 0, 20}));
    EXPECT_EQ(r.sample(40000, 6), (std::vector<std::size_t>{31735, 30379, 9735, 5982, 11999, 7498}));
    EXPECT_EQ(r.getrandbits(32), 3630744271u);
    python_random wide(1234);
    EXPECT_EQ(wide.getrandbits(40), 858849378233u);
    EXPECT_EQ(wide.getrandbits(64), 2155511622373988895u);
    EXPECT_EQ(wide.randbelow(1000000000000u), 98816423444u);
    const std::vector<std::size_t> thirty = wide.sample(100, 30);
    EXPECT_EQ(std::vector<std::size_t>(thirty.begin(), thirty.begin() + 8),
              (std::vector<std::size_t>{74, 4, 85, 88, 10, 12, 45, 30}));
    // Seeds of one word, of two, and negative ones (their absolute value).
    EXPECT_EQ(python_random(0).getrandbits(32), 3626764237u);
    EXPECT_EQ(python_random((std::int64_t{1} << 40) + 5).getrandbits(32), 2166296868u);
    EXPECT_EQ(python_random(-7).getrandbits(32), 1390851128u);
}

// The harness's default sampler: one generator for the whole file, seeded
// once, drawing for item after item; HellaSwag draws one more and drops the
// item itself. The expected draws are CPython's:
//   r = Random(1234); [r.sample(range(3), 2) for _ in range(3)]
//   r = Random(1234); [[x for x in r.sample(range(4), 3) if x != i][:2] for i in range(4)]
TEST(FewShot, OtherFormatsDrawTheExamplesAsTheHarnessDoes) {
    const std::string file = scratch_file(
        "fewshot_arc.jsonl",
        R"({"question": "Q1?", "choices": {"text": ["a", "b"], "label": ["A", "B"]}, "answerKey": "B"})" "\n"
        R"({"question": "Q2?", "choices": {"text": ["c"], "label": ["A"]}, "answerKey": "A"})" "\n"
        R"({"question": "Q3?", "choices": {"text": ["e", "f"], "label": ["A", "B"]}, "answerKey": "A"})" "\n");
    const task_format &arc = *find_task_format("arc");
    read_result read = arc.read(file);
    // The second item cannot be scored (one answer), but it has a right
    // answer to show, and the harness draws for it all the same.
    ASSERT_EQ(read.items[1].skip_reason, "fewer than two answers");
    task_options options;
    options.fewshot = 2;
    options.fewshot_from = file;
    std::string examples;
    ASSERT_EQ(apply_task_options(options, arc, file, read.items, examples), "");
    const std::string q[] = {"Question: Q1?\nAnswer: b\n\n", "Question: Q2?\nAnswer: c\n\n",
                             "Question: Q3?\nAnswer: e\n\n"};
    EXPECT_EQ(read.items[0].context, q[1] + q[0] + "Question: Q1?\nAnswer:");
    EXPECT_EQ(read.items[1].context, q[0] + q[2] + "Question: Q2?\nAnswer:");
    EXPECT_EQ(read.items[2].context, q[2] + q[0] + "Question: Q3?\nAnswer:");
    // Another seed, other draws: Random(7) gives [1, 0], [1, 0], [0, 2].
    read = arc.read(file);
    options.fewshot_seed = 7;
    ASSERT_EQ(apply_task_options(options, arc, file, read.items, examples), "");
    EXPECT_EQ(read.items[0].context, q[1] + q[0] + "Question: Q1?\nAnswer:");
    EXPECT_EQ(read.items[2].context, q[0] + q[2] + "Question: Q3?\nAnswer:");

    std::string lines;
    for (int i = 0; i < 4; ++i)
        lines += R"({"ind": )" + std::to_string(i) + R"(, "activity_label": "L", "ctx_a": "Context )" +
                 std::to_string(i) + R"(.", "ctx_b": "", "endings": ["yes )" + std::to_string(i) +
                 R"(", "no"], "label": "0"})" "\n";
    const std::string hellaswag = scratch_file("fewshot_hellaswag.jsonl", lines);
    const task_format &format = *find_task_format("hellaswag");
    read = format.read(hellaswag);
    options.fewshot_seed = harness_fewshot_seed;
    options.fewshot_from = hellaswag;
    ASSERT_EQ(apply_task_options(options, format, hellaswag, read.items, examples), "");
    const auto example = [](int i) {
        return "L: Context " + std::to_string(i) + ". yes " + std::to_string(i) + "\n\n";
    };
    const int drawn[4][2] = {{3, 2}, {0, 2}, {0, 3}, {1, 0}};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(read.items[i].context,
                  example(drawn[i][0]) + example(drawn[i][1]) + "L: Context " + std::to_string(i) + ".")
            << i;

    // A file of two examples holds no two besides the item itself.
    const std::string pair = scratch_file("fewshot_pair.jsonl", lines.substr(0, lines.find('\n', lines.find('\n') + 1) + 1));
    read = format.read(pair);
    options.fewshot_from = pair;
    EXPECT_EQ(apply_task_options(options, format, pair, read.items, examples),
              pair + ": has 1 solved examples besides the item itself, --fewshot asks for 2 (for the "
                     "item on line 1 of " + pair + ")");
}

TEST(Groups, GroupByAFieldAndTheSummaryBreaksMetricsDown) {
    const std::string file = scratch_file(
        "grouped.jsonl",
        R"({"context": "c", "choices": ["x", "y"], "answer": 0, "topic": "sky"})" "\n"
        R"({"context": "c", "choices": ["x", "y"], "answer": 0})" "\n"
        R"({"context": "c", "choices": ["x", "y"], "answer": 0, "topic": 3})" "\n");
    read_result read = read_jsonl(file, jsonl_layout::generic);
    EXPECT_EQ(group_items_by(file, "topic", read.items), file + ":3: field 'topic' must be a string to group by it");
    EXPECT_EQ(read.items[0].group, "sky");
    EXPECT_EQ(read.items[1].group, "");

    summary_info info;
    const auto add = [&](const char *group, bool right, const char *skipped) {
        result_record r;
        r.group = group;
        r.skipped = skipped;
        r.answers = {{-1.0, 1, 1}, {-2.0, 1, 1}};
        r.correct = {right, !right, right};
        tally(info, r);
    };
    add("sky", true, "");
    add("sky", false, "");
    add("sea", true, "");
    add("sea", false, "empty answer");
    add("", true, "");
    const nlohmann::json j = summary_json(info);
    EXPECT_EQ(j["groups"]["sky"]["scored"], 2);
    EXPECT_EQ(j["groups"]["sky"]["metrics"]["acc"]["value"], 0.5);
    EXPECT_EQ(j["groups"]["sky"]["metrics"]["acc_norm"]["value"], 0.5);
    EXPECT_EQ(j["groups"]["sea"]["skipped"], 1);
    EXPECT_EQ(j["groups"]["sea"]["metrics"]["acc"]["value"], 1.0);
    EXPECT_EQ(j["groups"].size(), 2u);
    EXPECT_EQ(j["metrics"]["acc"]["value"], 0.75);

    char printed[4096] = "";
    std::FILE *out = fmemopen(printed, sizeof printed - 1, "w");
    ASSERT_NE(out, nullptr);
    print_summary(out, info);
    std::fclose(out);
    EXPECT_NE(std::string(printed).find("| sky   |      2 |       0 | 0.5000 +- 0.5000 | 0.5000 +- 0.5000 |"),
              std::string::npos)
        << printed;

    // The group travels with the record, for summarize.
    result_record r;
    r.id = "x";
    r.run = "r";
    r.group = "sky";
    r.item = "0123456789abcdef";
    r.skipped = "no label";
    result_record back;
    ASSERT_EQ(parse_result_line(to_json_line(r), back), "");
    EXPECT_EQ(back.group, "sky");
}

}  // namespace
