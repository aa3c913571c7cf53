// A small host of the library: opens a model, builds a chat prompt from a
// system and a user message, shows it decoded back and the model's
// description, decodes the prompt once as a shared prefix, and ranks
// multi-token answers after it by their log-probability, then the answers'
// first tokens by their raw next-token logits.
//
//   vl-demo [--model PATH] [--system TEXT] [--user TEXT] [--answer TEXT]...
//
// Without --model it opens the fixture model of the build tree it was built
// in, and refuses with a message when that file is not there.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <llama.h>

#include "vorlenta_llama_shim.h"

namespace {

void quiet(ggml_log_level, const char *, void *) {}

std::string system_message = "You are terse.";
std::string user_message = "What is the capital of France?";

// Encodes the chat, with the assistant's answer begun by prefix, with a size
// query and a buffer of that size.
bool encode_prompt(vl_llama_runtime *runtime, const char *prefix, std::vector<uint32_t> &prompt,
                   char *err, size_t err_cap) {
    const int64_t n = vl_llama_encode_chat(runtime, system_message.c_str(), user_message.c_str(),
                                           prefix, nullptr, 0, err, err_cap);
    if (n < 0) return false;
    prompt.assign(static_cast<size_t>(n), 0);
    return vl_llama_encode_chat(runtime, system_message.c_str(), user_message.c_str(), prefix,
                                prompt.data(), prompt.size(), err, err_cap) == n;
}

// The tokens an answer adds to the prompt, as the model tokenizes the two
// together; empty when the answer changes how the prompt itself tokenizes.
std::vector<uint32_t> answer_tokens(vl_llama_runtime *runtime, const std::vector<uint32_t> &prompt,
                                    const std::string &answer, char *err, size_t err_cap) {
    std::vector<uint32_t> whole;
    if (!encode_prompt(runtime, answer.c_str(), whole, err, err_cap)) return {};
    if (whole.size() <= prompt.size() || !std::equal(prompt.begin(), prompt.end(), whole.begin()))
        return {};
    return std::vector<uint32_t>(whole.begin() + static_cast<long>(prompt.size()), whole.end());
}

// Decodes ids with a size query and a buffer of length + 1 bytes.
bool decode(vl_llama_runtime *runtime, const uint32_t *ids, size_t count, std::string &text,
            char *err, size_t err_cap) {
    const int64_t n = vl_llama_decode_tokens(runtime, ids, count, nullptr, 0, err, err_cap);
    if (n < 0) return false;
    std::vector<char> buffer(static_cast<size_t>(n) + 1);
    const int64_t r =
        vl_llama_decode_tokens(runtime, ids, count, buffer.data(), buffer.size(), err, err_cap);
    if (r < 0) return false;
    text.assign(buffer.data(), static_cast<size_t>(r));
    return true;
}

// A piece shown on one line.
std::string printable(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else out += c;
    }
    return out;
}

const char *const usage =
    "usage: vl-demo [--model PATH] [--system TEXT] [--user TEXT] [--answer TEXT]...\n";
const char *const help =
    "\n"
    "Builds a chat prompt from a system and a user message with the model's chat\n"
    "template, then ranks candidate answers after it by their log-probability and\n"
    "their first tokens by raw next-token logit.\n"
    "\n"
    "  --model PATH   GGUF model with a chat template (default: the fixture model\n"
    "                 of the build tree: " VL_DEFAULT_MODEL ")\n"
    "  --system TEXT  system message (default: \"You are terse.\")\n"
    "  --user TEXT    user message (default: \"What is the capital of France?\")\n"
    "  --answer TEXT  a candidate answer; give two or more (default: Paris, Lyon,\n"
    "                 Marseille, London)\n"
    "  -h, --help     show this help\n";

bool readable(const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

int fail(vl_llama_runtime *runtime, const char *what, const char *err) {
    std::fprintf(stderr, "vl-demo: %s failed: %s\n", what, err);
    vl_llama_close(runtime);
    return 1;
}

int run(int argc, char **argv) {
    std::string model = VL_DEFAULT_MODEL;
    bool model_given = false;
    std::vector<std::string> answers;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--model") == 0 && has_value) {
            model = argv[++i];
            model_given = true;
        } else if (std::strcmp(argv[i], "--system") == 0 && has_value) system_message = argv[++i];
        else if (std::strcmp(argv[i], "--user") == 0 && has_value) user_message = argv[++i];
        else if (std::strcmp(argv[i], "--answer") == 0 && has_value) answers.push_back(argv[++i]);
        else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            std::fputs(help, stdout);
            return 0;
        } else {
            const bool known = std::strcmp(argv[i], "--model") == 0 ||
                               std::strcmp(argv[i], "--system") == 0 ||
                               std::strcmp(argv[i], "--user") == 0 ||
                               std::strcmp(argv[i], "--answer") == 0;
            std::fprintf(stderr, known ? "vl-demo: %s needs a value\n" : "vl-demo: unknown option %s\n",
                         argv[i]);
            std::fputs(usage, stderr);
            return 2;
        }
    }
    // The default is the fixture model of the build tree the demo was built
    // in; an installed demo usually runs where that tree does not exist.
    if (!model_given && !readable(model)) {
        std::fprintf(stderr,
                     "vl-demo: no --model given, and the built-in default model %s does not exist;\n"
                     "vl-demo: pass --model PATH with a GGUF model that has a chat template\n",
                     model.c_str());
        return 2;
    }
    if (answers.empty()) answers = {"Paris", "Lyon", "Marseille", "London"};
    if (answers.size() < 2) {
        std::fprintf(stderr, "vl-demo: give at least two answers\n");
        return 2;
    }
    // A host may silence llama.cpp before its first open; the library never logs.
    llama_log_set(quiet, nullptr);

    vl_llama_config config = {0, 0, 0, 0, 2, 2};
    config.n_ctx = 1024;
    char err[256];
    vl_llama_runtime *runtime = vl_llama_open(model.c_str(), &config, err, sizeof err);
    if (runtime == nullptr) {
        std::fprintf(stderr, "vl-demo: cannot open %s: %s\n", model.c_str(), err);
        return 1;
    }
    std::printf("model: %s\n", model.c_str());

    char desc[512];
    const int64_t desc_len = vl_llama_model_desc(runtime, desc, sizeof desc, err, sizeof err);
    if (desc_len < 0) return fail(runtime, "reading the model description", err);
    std::printf("description: %s\n", static_cast<size_t>(desc_len) < sizeof desc ? desc : "(too long)");

    std::vector<uint32_t> prompt;
    if (!encode_prompt(runtime, nullptr, prompt, err, sizeof err))
        return fail(runtime, "encoding the chat prompt", err);
    std::string prompt_text;
    if (!decode(runtime, prompt.data(), prompt.size(), prompt_text, err, sizeof err))
        return fail(runtime, "decoding the prompt", err);
    std::printf("system: %s\nuser: %s\n", system_message.c_str(), user_message.c_str());
    std::printf("prompt, %zu tokens, decoded (special tokens are not rendered):\n%s\n",
                prompt.size(), prompt_text.c_str());

    // The answers as one codebook: flat tokens cut by offsets.
    std::vector<uint32_t> tokens;
    std::vector<size_t> offsets = {0};
    for (const std::string &answer : answers) {
        const std::vector<uint32_t> t = answer_tokens(runtime, prompt, answer, err, sizeof err);
        if (t.empty()) {
            std::fprintf(stderr, "vl-demo: the answer '%s' does not continue the prompt's tokens\n",
                         answer.c_str());
            vl_llama_close(runtime);
            return 1;
        }
        tokens.insert(tokens.end(), t.begin(), t.end());
        offsets.push_back(tokens.size());
    }

    // Decode the prompt once; every answer is scored against it.
    if (vl_llama_prefill_shared(runtime, prompt.data(), prompt.size(), err, sizeof err) != 0)
        return fail(runtime, "prefilling the prompt", err);
    std::vector<float> scores(answers.size());
    if (vl_llama_score_suffix_sequences(runtime, nullptr, 0, tokens.data(), offsets.data(),
                                        answers.size(), scores.data(), err, sizeof err) != 0)
        return fail(runtime, "scoring the answers", err);

    std::vector<size_t> order(answers.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return scores[a] > scores[b]; });
    const double best = scores[order[0]];
    double total = 0.0;
    for (float s : scores) total += std::exp(static_cast<double>(s) - best);
    std::printf("\nanswers ranked by log-probability after the prompt\n");
    std::printf("rank  tokens  log-prob     probability  share   answer\n");
    for (size_t r = 0; r < order.size(); ++r) {
        const size_t i = order[r];
        const double s = scores[i];
        std::printf("%4zu  %6zu  %10.4f  %12.6g  %5.1f%%  %s\n", r + 1, offsets[i + 1] - offsets[i],
                    s, std::exp(s), 100.0 * std::exp(s - best) / total, answers[i].c_str());
    }

    // The answers' first tokens as candidate next tokens, from the logits kept
    // at prefill time: no decode at all.
    std::vector<uint32_t> candidates;
    for (size_t i = 0; i < answers.size(); ++i) {
        const uint32_t first = tokens[offsets[i]];
        if (std::find(candidates.begin(), candidates.end(), first) == candidates.end())
            candidates.push_back(first);
    }
    if (candidates.size() < 2) candidates.push_back(candidates[0] == 0 ? 1 : 0);
    std::vector<float> logits(candidates.size());
    if (vl_llama_score_suffix(runtime, nullptr, 0, candidates.data(), candidates.size(),
                              logits.data(), err, sizeof err) != 0)
        return fail(runtime, "scoring next tokens", err);
    order.resize(candidates.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return logits[a] > logits[b]; });
    std::printf("\nfirst tokens ranked by raw next-token logit\n");
    std::printf("rank  token  logit      piece\n");
    for (size_t r = 0; r < order.size(); ++r) {
        std::string piece;
        if (!decode(runtime, &candidates[order[r]], 1, piece, err, sizeof err)) piece = "?";
        std::printf("%4zu  %5u  %9.4f  '%s'\n", r + 1, candidates[order[r]], logits[order[r]],
                    printable(piece).c_str());
    }
    vl_llama_close(runtime);
    return 0;
}

}  // namespace

// No exception (such as running out of memory) ends the demo uncaught.
int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vl-demo: %s\n", e.what());
        return 1;
    }
}
