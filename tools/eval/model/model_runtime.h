// The model as both vl-eval commands hold it: opened once with a window only
// large enough to tokenize, then given the window its work needs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "vorlenta_llama_shim.h"

namespace vl_eval {

// Starts llama.cpp's backends for the run, its log silenced unless verbose
// (from the first load on, llama.cpp logs to standard error).
void start_llama(bool verbose);

struct runtime_deleter {
    void operator()(vl_llama_runtime *r) const { vl_llama_close(r); }
};
using runtime_ptr = std::unique_ptr<vl_llama_runtime, runtime_deleter>;

// Loads the model with its layers placed and a small window: tokenizing and
// chat encoding use no context. With exact, the runtime computes with F32
// keys and values and without flash attention (the model's own float32
// arithmetic) instead of llama.cpp's defaults, and keeps doing so when it is
// resized. On failure returns the message, naming the model file, and leaves
// runtime empty.
std::string open_for_tokenizing(const std::string &model, int32_t gpu_layers, bool exact,
                                runtime_ptr &runtime);

// Adds what exact chose to a run's settings. llama.cpp's defaults add
// nothing, so that runs made before the choice existed keep their ids.
void describe_compute(bool exact, nlohmann::ordered_json &settings);

// Replaces the runtime's window, batch, sequences and threads with config's,
// keeping the loaded model. On failure returns the message, naming the model
// file; the runtime is then as it was.
std::string resize_runtime(const std::string &model, const vl_llama_config &config,
                           vl_llama_runtime *runtime);

// The model's description as the library gives it ("?" when it gives none).
std::string model_description(vl_llama_runtime *runtime);

}  // namespace vl_eval
