// --write-out N: the exact prompt and answers of the first N items as they
// are tokenized and scored, so that a user can check a template by eye.
#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

#include "tasks/eval_item.h"
#include "prompts/prompts.h"

struct vl_llama_runtime;

namespace vl_eval {

// Prints items [begin, min(end, begin + n)) as builder makes them: the
// prompt's tokens as text, then each answer's tokens (as a JSON string and
// as the list of token pieces), with the tokens counted, and the tokens an
// answer is scored after beyond the prompt's (a filled blank's option) on a
// line of their own; an item that cannot be scored is printed with its
// reason. A failure of the library to
// build a prompt stops the printing: returns it, naming the item, empty
// when all were printed.
std::string write_out(std::FILE *out, const std::vector<eval_item> &items, std::size_t begin,
               std::size_t end, std::size_t n, const prompt_builder &builder,
               const vl_llama_runtime *runtime);

}  // namespace vl_eval
