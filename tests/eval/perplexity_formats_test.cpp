// The readers of llama-perplexity's task files: what a well-formed file of
// each format gives, that malformed binary files stop with an error that
// names the byte at fault, keeping the tasks before it, and that vl-eval
// scores both formats as it scores the same items in JSON lines.
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tasks/perplexity_formats.h"

using vl_eval::eval_item;
using vl_eval::read_result;

namespace {

struct mc_task {
    std::string question;
    std::vector<std::string> answers;
    std::vector<std::int32_t> labels;
};

void put_u32(std::string &out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void put_string(std::string &out, const std::string &s) {
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out += s;
}
std::string answers_block(const std::vector<std::string> &answers, const std::vector<std::int32_t> &labels) {
    std::string out;
    put_u32(out, static_cast<std::uint32_t>(answers.size()));
    for (const std::string &a : answers) put_string(out, a);
    for (std::int32_t l : labels) put_u32(out, static_cast<std::uint32_t>(l));
    return out;
}

// A file in the multiple-choice binary layout, with a correct offset table.
std::string mc_file(const std::vector<mc_task> &tasks) {
    std::vector<std::string> bodies;
    for (const mc_task &t : tasks) {
        std::string body;
        put_string(body, t.question);
        body += answers_block(t.answers, t.labels);
        body += answers_block({"unused"}, {1});
        bodies.push_back(body);
    }
    std::string out;
    put_u32(out, static_cast<std::uint32_t>(tasks.size()));
    std::uint32_t pos = 4 + 4 * static_cast<std::uint32_t>(tasks.size());
    for (const std::string &b : bodies) {
        put_u32(out, pos);
        pos += static_cast<std::uint32_t>(b.size());
    }
    for (const std::string &b : bodies) out += b;
    return out;
}

read_result parse(const std::string &bytes) {
    return vl_eval::parse_multiple_choice_binary(reinterpret_cast<const unsigned char *>(bytes.data()),
                                                 bytes.size(), "t.bin");
}

const std::vector<mc_task> two_tasks = {
    {"The capital of France is", {"Paris", "London", "Rome"}, {1, 0, 0}},
    {"Question: 2+2?\nAnswer:", {"A", "B", "C", "D"}, {0, 0, 0, 1}},
};

}  // namespace

TEST(MultipleChoiceBinary, ReadsTasksInFileOrder) {
    const std::string bytes = mc_file(two_tasks);
    const read_result r = parse(bytes);
    EXPECT_EQ(r.error, "");
    ASSERT_EQ(r.items.size(), 2u);
    EXPECT_EQ(r.items[0].id, "task-0");
    EXPECT_EQ(r.items[0].context, "The capital of France is");
    EXPECT_EQ(r.items[0].choices, (std::vector<std::string>{"Paris", "London", "Rome"}));
    EXPECT_EQ(r.items[0].label, 0);
    EXPECT_EQ(r.items[1].id, "task-1");
    EXPECT_EQ(r.items[1].line, 1u);
    EXPECT_EQ(r.items[1].label, 3);
    EXPECT_EQ(r.items[1].skip_reason, "");
    EXPECT_TRUE(vl_eval::looks_like_multiple_choice_binary(
        reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()));
}

TEST(MultipleChoiceBinary, ItemsItCannotScoreAreKeptWithAReason) {
    const read_result r = parse(mc_file({
        {"no right answer", {"a", "b"}, {0, 0}},
        {"two right answers", {"a", "b"}, {1, 1}},
        {"one answer", {"a"}, {1}},
        {"an empty answer", {"a", ""}, {1, 0}},
        // Only a label of 1 marks the right answer, even among other values.
        {"labels beyond 0 and 1", {"a", "b", "c"}, {2, -1, 1}},
        {"no 1 among them", {"a", "b"}, {2, -1}},
    }));
    EXPECT_EQ(r.error, "");
    ASSERT_EQ(r.items.size(), 6u);
    EXPECT_EQ(r.items[4].label, 2);
    EXPECT_EQ(r.items[4].skip_reason, "");
    // No answer marked right is a skip, as a JSON line without a right
    // answer is, never an item scored as wrong.
    EXPECT_EQ(r.items[5].label, -1);
    EXPECT_EQ(r.items[5].skip_reason, "no right answer marked");
    EXPECT_EQ(r.items[0].label, -1);
    EXPECT_EQ(r.items[0].skip_reason, "no right answer marked");
    EXPECT_EQ(r.items[1].skip_reason, "more than one answer is labelled correct");
    EXPECT_EQ(r.items[2].skip_reason, "fewer than two answers");
    EXPECT_EQ(r.items[3].skip_reason, "empty answer");
}

// Every proper prefix of a valid file is an error at or before its end, with
// exactly the tasks that were whole in it; never a read past the buffer (the
// sanitizer build checks the reads, the copy has no slack after it).
TEST(MultipleChoiceBinary, EveryTruncationIsAnErrorAtAByteInsideTheFile) {
    const std::string bytes = mc_file(two_tasks);
    const std::size_t second_task_end = bytes.size();
    const std::size_t first_task_end = 4 + 8 + (mc_file({two_tasks[0]}).size() - 8);
    for (std::size_t n = 0; n < second_task_end; ++n) {
        const std::vector<unsigned char> copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        const read_result r = vl_eval::parse_multiple_choice_binary(copy.data(), copy.size(), "t.bin");
        ASSERT_NE(r.error, "") << "prefix of " << n << " bytes";
        ASSERT_EQ(r.error.rfind("t.bin: byte ", 0), 0u) << r.error;
        const std::size_t at = std::stoul(r.error.substr(12));
        EXPECT_LE(at, n) << r.error;
        EXPECT_EQ(r.items.size(), n >= first_task_end ? 1u : 0u) << r.error;
    }
}

TEST(MultipleChoiceBinary, BadOffsetsCountsAndLengthsNameTheirByte) {
    const std::string good = mc_file(two_tasks);
    auto patched = [&](std::size_t at, std::uint32_t v) {
        std::string b = good;
        std::string le;
        put_u32(le, v);
        b.replace(at, 4, le);
        return b;
    };
    // The second task's offset (bytes 8..11): past the end, then inside the table.
    read_result r = parse(patched(8, 1u << 30));
    EXPECT_EQ(r.items.size(), 1u);
    EXPECT_EQ(r.error.rfind("t.bin: byte 8: task 1's offset 1073741824 is outside", 0), 0u) << r.error;
    r = parse(patched(8, 4));
    EXPECT_EQ(r.error.rfind("t.bin: byte 8: task 1's offset 4 is outside", 0), 0u) << r.error;
    // An offset in range that is not where the task starts.
    r = parse(patched(4, 13));
    EXPECT_EQ(r.items.size(), 0u);
    EXPECT_EQ(r.error, "t.bin: byte 4: task 0's offset 13 is not where the task starts, byte 12");
    // A task count whose offset table does not fit.
    r = parse(patched(0, 0xffffffffu));
    EXPECT_EQ(r.error.rfind("t.bin: byte 4: the offsets of 4294967295 tasks", 0), 0u) << r.error;
    // The question's length (at byte 12) running past the end.
    r = parse(patched(12, 0xfffffff0u));
    EXPECT_EQ(r.error.rfind("t.bin: byte 12: task 0's question is 4294967280 bytes long, past the end", 0), 0u)
        << r.error;
    // Answer counts: 100 is allowed (and here runs out of bytes), 101 is not.
    const std::size_t count_at = 12 + 4 + two_tasks[0].question.size();
    r = parse(patched(count_at, 100));
    EXPECT_EQ(r.error.find("more than the 100 allowed"), std::string::npos) << r.error;
    EXPECT_NE(r.error, "");
    r = parse(patched(count_at, 101));
    EXPECT_EQ(r.error, "t.bin: byte " + std::to_string(count_at) +
                           ": task 0 has 101 answers, more than the 100 allowed");
    // The same limit holds in the second set of answers.
    std::string body;
    put_string(body, "q");
    body += answers_block({"a", "b"}, {1, 0});
    put_u32(body, 101);
    std::string file;
    put_u32(file, 1);
    put_u32(file, 8);
    r = parse(file + body);
    EXPECT_EQ(r.error, "t.bin: byte " + std::to_string(8 + body.size() - 4) +
                           ": task 0's second set has 101 answers, more than the 100 allowed");
}

TEST(MultipleChoiceBinary, ReadFromAFileNamesItWhenMissing) {
    const read_result r = vl_eval::read_multiple_choice_binary("/nonexistent/tasks.bin");
    EXPECT_TRUE(r.items.empty());
    EXPECT_EQ(r.error.rfind("/nonexistent/tasks.bin: cannot read the file: ", 0), 0u) << r.error;
}

TEST(HellaswagText, ReadsSixLinesATask) {
    const std::string text =
        "A man is sitting on a roof. he\n3\nis using wrap.\nis ripping it off.\nholds a rope.\nstarts pulling up roofing.\n"
        "Two women stand\r\n0\r\ntalking.\r\nsinging.\r\nrunning.\r\ncrying.\r\n";
    const read_result r = vl_eval::parse_hellaswag_text(text, "hs.txt");
    EXPECT_EQ(r.error, "");
    ASSERT_EQ(r.items.size(), 2u);
    EXPECT_EQ(r.items[0].id, "task-0");
    EXPECT_EQ(r.items[0].context, "A man is sitting on a roof. he");
    EXPECT_EQ(r.items[0].label, 3);
    EXPECT_EQ(r.items[0].choices.back(), "starts pulling up roofing.");
    EXPECT_EQ(r.items[1].line, 7u);
    EXPECT_EQ(r.items[1].context, "Two women stand");  // no carriage return kept
    EXPECT_EQ(r.items[1].choices, (std::vector<std::string>{"talking.", "singing.", "running.", "crying."}));
    EXPECT_TRUE(vl_eval::looks_like_hellaswag_text(text));
    EXPECT_FALSE(vl_eval::looks_like_hellaswag_text("{\"context\": 1}\n"));
}

TEST(HellaswagText, MalformedTasksNameTheirLine) {
    const std::string task = "ctx\n1\na\nb\nc\nd\n";
    read_result r = vl_eval::parse_hellaswag_text(task + "ctx\nx1\na\nb\nc\nd\n", "hs.txt");
    EXPECT_EQ(r.items.size(), 1u);
    EXPECT_EQ(r.error, "hs.txt:8: the right ending's index \"x1\" is not a whole number");
    r = vl_eval::parse_hellaswag_text(task + "ctx\n1\na\n", "hs.txt");
    EXPECT_EQ(r.items.size(), 1u);
    EXPECT_EQ(r.error.rfind("hs.txt:7: task 1 has only 3 of its 6 lines", 0), 0u) << r.error;
    EXPECT_FALSE(vl_eval::looks_like_hellaswag_text(task + "ctx\n1\na\n"));
    r = vl_eval::parse_hellaswag_text("ctx\n4\na\nb\nc\nd\nctx\n0\na\n\nc\nd\nctx\n-1\na\nb\nc\nd\n"
                                      "ctx\n3\na\nb\nc\nd\n",
                                      "hs.txt");
    EXPECT_EQ(r.error, "");
    ASSERT_EQ(r.items.size(), 4u);
    // The reasons are worded as the JSON-lines readers word them.
    EXPECT_EQ(r.items[0].skip_reason, "label out of range");
    EXPECT_EQ(r.items[1].skip_reason, "empty answer");
    EXPECT_EQ(r.items[2].skip_reason, "label out of range");
    EXPECT_EQ(r.items[3].skip_reason, "");
    EXPECT_EQ(r.items[3].label, 3);
}

// ---- scored by vl-eval ---------------------------------------------------

namespace {

const std::string scratch = VL_EVAL_SCRATCH_DIR;

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Runs vl-eval on a fixture model (the plain one in raw mode by default);
// returns its exit status.
int run_vl_eval(const std::string &tasks, const std::string &format, const std::string &out,
                const std::string &model = "plain.gguf", const std::string &prompt = "raw") {
    std::remove(out.c_str());
    const std::string cmd = std::string("'") + VL_EVAL_PROGRAM + "' --model '" VL_FIXTURE_DIR "/" + model + "' --tasks '" +
                            tasks + "' --format " + format + " --prompt " + prompt + " --threads 1 --quiet --out '" + out +
                            "' >'" + out + ".log' 2>&1";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Each result line from its label on, without the run's fingerprint (which
// names the format): the scores, picks and correctness of the item.
std::vector<std::string> outcomes(const std::string &results) {
    std::ifstream in(results);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("{\"evaluation\"", 0) == 0) continue;  // the run's header
        const std::size_t from = line.find("\"label\"");
        const std::size_t to = line.find(",\"run\"");
        lines.push_back(from == std::string::npos || to == std::string::npos ? line : line.substr(from, to - from));
    }
    return lines;
}

}  // namespace

// The same two tasks as HellaSwag text, as a multiple-choice binary file and
// as generic JSON lines score identically, by explicit format and by content.
TEST(PerplexityFormatsScored, BothFormatsScoreLikeJsonLines) {
    const std::vector<mc_task> tasks = {
        {"Once upon a time there was a little girl", {"and a cat.", "in Paris.", "the dog is", "what is it"}, {0, 1, 0, 0}},
        {"The capital of France is", {"Paris", "London", "Berlin", "Rome"}, {1, 0, 0, 0}},
    };
    std::string text, jsonl;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        const mc_task &t = tasks[i];
        const long right = t.labels[0] == 1 ? 0 : 1;
        text += t.question + "\n" + std::to_string(right) + "\n";
        jsonl += "{\"id\": \"task-" + std::to_string(i) + "\", \"context\": \"" + t.question + "\", \"choices\": [";
        for (std::size_t k = 0; k < t.answers.size(); ++k) {
            text += t.answers[k] + "\n";
            jsonl += (k ? ", \"" : "\"") + t.answers[k] + "\"";
        }
        jsonl += "], \"answer\": " + std::to_string(right) + "}\n";
    }
    write_file(scratch + "/pf.txt", text);
    write_file(scratch + "/pf.bin", mc_file(tasks));
    write_file(scratch + "/pf.jsonl", jsonl);

    ASSERT_EQ(run_vl_eval(scratch + "/pf.jsonl", "generic", scratch + "/pf.jsonl.out"), 0);
    const std::vector<std::string> expected = outcomes(scratch + "/pf.jsonl.out");
    ASSERT_EQ(expected.size(), 2u);
    EXPECT_NE(expected[0].find("\"logprob\":-"), std::string::npos) << expected[0];

    for (const auto &[file, format] : std::vector<std::pair<std::string, std::string>>{
             {"pf.txt", "hellaswag-text"}, {"pf.txt", "auto"}, {"pf.bin", "mc-binary"}, {"pf.bin", "auto"}}) {
        const std::string out = scratch + "/" + file + "." + format + ".out";
        ASSERT_EQ(run_vl_eval(scratch + "/" + file, format, out), 0) << file << " as " << format;
        EXPECT_EQ(outcomes(out), expected) << file << " as " << format;
    }
    // They are raw text: --prompt auto scores them raw on a model with a chat template too.
    ASSERT_EQ(run_vl_eval(scratch + "/pf.txt", "auto", scratch + "/pf.chat-auto.out", "chatml.gguf", "auto"), 0);
    ASSERT_EQ(run_vl_eval(scratch + "/pf.txt", "auto", scratch + "/pf.chat-raw.out", "chatml.gguf", "raw"), 0);
    EXPECT_EQ(outcomes(scratch + "/pf.chat-auto.out"), outcomes(scratch + "/pf.chat-raw.out"));
    // A file read in the other format stops with the reader's error.
    EXPECT_NE(run_vl_eval(scratch + "/pf.txt", "mc-binary", scratch + "/wrong.out"), 0);
    std::ifstream log(scratch + "/wrong.out.log");
    const std::string said((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(said.find("pf.txt: byte 4: the offsets of"), std::string::npos) << said;
}
