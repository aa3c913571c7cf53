// A small host of the library: opens a model, builds a chat prompt from a
// system and a user message, shows it decoded back and the model's
// description, and ranks candidate next tokens after the prompt.
//
//   vl-demo [--model PATH]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <llama.h>

#include "vorlenta_llama_shim.h"

namespace {

void quiet(ggml_log_level, const char *, void *) {}

const char *const system_message = "You are terse.";
const char *const user_message = "What is the capital of France?";

// Encodes the chat with a size query and a buffer of that size.
bool encode_prompt(vl_llama_runtime *runtime, std::vector<uint32_t> &prompt, char *err,
                   size_t err_cap) {
    const int64_t n = vl_llama_encode_chat(runtime, system_message, user_message, nullptr, nullptr,
                                           0, err, err_cap);
    if (n < 0) return false;
    prompt.assign(static_cast<size_t>(n), 0);
    return vl_llama_encode_chat(runtime, system_message, user_message, nullptr, prompt.data(),
                                prompt.size(), err, err_cap) == n;
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

int fail(vl_llama_runtime *runtime, const char *what, const char *err) {
    std::fprintf(stderr, "vl-demo: %s failed: %s\n", what, err);
    vl_llama_close(runtime);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    std::string model = VL_DEFAULT_MODEL;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--model") == 0 && i + 1 < argc) {
            model = argv[++i];
        } else {
            std::fprintf(stderr, "usage: vl-demo [--model PATH]\n");
            return 2;
        }
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
    if (!encode_prompt(runtime, prompt, err, sizeof err))
        return fail(runtime, "encoding the chat prompt", err);
    std::string prompt_text;
    if (!decode(runtime, prompt.data(), prompt.size(), prompt_text, err, sizeof err))
        return fail(runtime, "decoding the prompt", err);
    std::printf("system: %s\nuser: %s\n", system_message, user_message);
    std::printf("prompt, %zu tokens, decoded (special tokens are not rendered):\n%s\n",
                prompt.size(), prompt_text.c_str());

    std::vector<uint32_t> candidates;
    for (uint32_t id = 280; id < 300; ++id) candidates.push_back(id);
    std::vector<float> logits(candidates.size());
    if (vl_llama_score_next(runtime, prompt.data(), prompt.size(), candidates.data(),
                            candidates.size(), logits.data(), err, sizeof err) != 0)
        return fail(runtime, "scoring", err);
    std::vector<size_t> order(candidates.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return logits[a] > logits[b]; });
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
