#include "model/model_runtime.h"

#include <llama.h>

namespace vl_eval {

namespace {

void silent_log(ggml_log_level, const char *, void *) {}

// Tokenizing and chat encoding use no context: a small window costs little
// memory, and the scoring window replaces it.
constexpr int32_t tokenizing_window = 64;
}  // namespace

void start_llama(bool verbose) {
    if (!verbose) llama_log_set(silent_log, nullptr);
    llama_backend_init();
}

std::string open_for_tokenizing(const std::string &model, int32_t gpu_layers, bool exact,
                                runtime_ptr &runtime) {
    vl_llama_config config = {};
    config.n_ctx = tokenizing_window;
    config.n_batch = tokenizing_window;
    config.n_threads = 1;
    config.n_gpu_layers = gpu_layers;
    const vl_llama_options options = VL_LLAMA_OPTIONS_EXACT;
    char err[256] = "";
    runtime.reset(vl_llama_open_with_options(model.c_str(), &config, exact ? &options : nullptr, err,
                                             sizeof err));
    if (!runtime) return model + ": cannot open the model: " + (err[0] != '\0' ? err : "out of memory");
    return {};
}

void describe_compute(bool exact, nlohmann::ordered_json &settings) {
    if (!exact) return;
    settings["kv_cache"] = "f32";
    settings["flash_attention"] = "off";
}

std::string resize_runtime(const std::string &model, const vl_llama_config &config,
                           vl_llama_runtime *runtime) {
    char err[256] = "";
    if (vl_llama_reconfigure(runtime, &config, err, sizeof err) != 0)
        return model + ": cannot open the model: " + (err[0] != '\0' ? err : "out of memory");
    return {};
}

std::string model_description(vl_llama_runtime *runtime) {
    char desc[512] = "";
    const int64_t n = vl_llama_model_desc(runtime, desc, sizeof desc, nullptr, 0);
    return n >= 0 && static_cast<std::size_t>(n) < sizeof desc ? std::string(desc, static_cast<std::size_t>(n))
                                                                : std::string("?");
}

}  // namespace vl_eval
