#include "model_runtime.h"

namespace vl_eval {

namespace {
// Tokenizing and chat encoding use no context: a small window costs little
// memory, and the scoring window replaces it.
constexpr int32_t tokenizing_window = 64;
}  // namespace

std::string open_for_tokenizing(const std::string &model, int32_t gpu_layers, runtime_ptr &runtime) {
    vl_llama_config config = {};
    config.n_ctx = tokenizing_window;
    config.n_batch = tokenizing_window;
    config.n_threads = 1;
    config.n_gpu_layers = gpu_layers;
    char err[256] = "";
    runtime.reset(vl_llama_open(model.c_str(), &config, err, sizeof err));
    if (!runtime) return model + ": cannot open the model: " + err;
    return {};
}

std::string resize_runtime(const std::string &model, const vl_llama_config &config,
                           vl_llama_runtime *runtime) {
    char err[256] = "";
    if (vl_llama_reconfigure(runtime, &config, err, sizeof err) != 0)
        return model + ": cannot open the model: " + (err[0] != '\0' ? err : "out of memory");
    return {};
}

}  // namespace vl_eval
