// The solved examples put before each item by --fewshot, chosen from a file
// of solved items as the common harness chooses them from a task's few-shot
// split, so that few-shot prompts are the harness's to the letter:
//
//   - MMLU (the harness's first_n sampler): the first N examples of the
//     item's subject, in file order;
//   - every other format (its default sampler): N drawn at random, as
//     random.Random(seed).sample draws them, with one generator seeded once
//     for the whole file and drawing for item after item in file order;
//   - HellaSwag and Winogrande, whose tasks name no test split (to the
//     harness, their few-shot split may then be the evaluated one): N + 1
//     drawn, the item itself dropped if it is among them, the first N kept.
//
// Each example is written as the item is, followed by a space and its right
// answer; examples are separated by blank lines and followed by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tasks/eval_item.h"

namespace vl_eval {

// The harness's default few-shot seed (the last of its --seed values).
constexpr std::int64_t harness_fewshot_seed = 1234;

enum class fewshot_draw { first_n, sample, sample_without_item };

// How the harness chooses the examples of an item of this format.
fewshot_draw fewshot_draw_for(const std::string &format);

// An example as the harness writes it: the item's context, a space and its
// right answer (for a filled blank: the blank filled with the right option,
// a space and the text after the blank, stripped).
std::string render_example(const eval_item &solved);

struct fewshot_request {
    std::size_t n = 0;               // examples before each item
    std::int64_t seed = harness_fewshot_seed;
    std::string source;              // the examples' file, for messages
    std::string tasks;               // the task file, for messages
};

// Puts the examples before each item's context (after MMLU's subject line,
// which stays first), chosen from the items of the examples file. Every
// item gets its examples, skipped ones included, so that the random draws
// follow the harness's item by item. `examples` receives a fingerprint of
// every item's examples, for the run's identity. Returns an error naming
// the file and what is wrong, empty on success.
std::string add_fewshot_examples(const fewshot_request &request, const std::vector<eval_item> &source,
                                 std::vector<eval_item> &items, std::string &examples);

}  // namespace vl_eval
