// vl_llama_abi_version, vl_llama_open, vl_llama_reconfigure and vl_llama_close,
// and the open and reconfigure that take options.
#include <memory>

#include <llama.h>

#include "runtime/backend.h"
#include "runtime/context_config.h"
#include "runtime/error_buffer.h"
#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

// Frees what a runtime owns: the context always before the model.
struct runtime_deleter {
    void operator()(vl_llama_runtime *runtime) const noexcept {
        if (runtime->ctx != nullptr) llama_free(runtime->ctx);
        if (runtime->model != nullptr) llama_model_free(runtime->model);
        delete runtime;
    }
};
using runtime_owner = std::unique_ptr<vl_llama_runtime, runtime_deleter>;

struct context_deleter {
    void operator()(llama_context *ctx) const noexcept { llama_free(ctx); }
};
using context_owner = std::unique_ptr<llama_context, context_deleter>;

// A context for the model as config and the options ask (vl_llama_open's
// rules), its threads set; null when llama.cpp refuses it, or would abort on it.
context_owner make_context(llama_model *model, const vl_llama_config &config,
                           const compute_options &options) {
    llama_context_params params = context_params_for(config, options);
    if (context_params_abort_llama(params, model)) return nullptr;
    context_owner ctx(llama_init_from_model(model, params));
    if (ctx) apply_thread_rule(ctx.get(), config);
    return ctx;
}

// Makes ctx the runtime's context, freeing the one it had, and takes the
// limits every capacity check uses from it. The new memory is empty, so no
// shared prefix is retained.
void adopt_context(vl_llama_runtime &runtime, context_owner ctx) noexcept {
    if (runtime.ctx != nullptr) llama_free(runtime.ctx);
    runtime.ctx = ctx.release();
    runtime.n_ctx = llama_n_ctx(runtime.ctx);
    runtime.n_ctx_seq = llama_n_ctx_seq(runtime.ctx);
    runtime.n_batch = llama_n_batch(runtime.ctx);
    runtime.n_seq_max = llama_n_seq_max(runtime.ctx);
    runtime.n_ubatch = llama_n_ubatch(runtime.ctx);
    runtime.causal_attn = llama_get_causal_attn(runtime.ctx);
    runtime.has_shared_prefix = false;
    runtime.shared_prefix_len = 0;
    runtime.shared_logits.clear();
}

vl_llama_runtime *open_runtime(const char *model_path, const vl_llama_config *config,
                               const vl_llama_options *host_options, char *err,
                               std::size_t err_cap) {
    if (model_path == nullptr || config == nullptr) {
        write_error(err, err_cap, "model_path and config are required");
        return nullptr;
    }
    compute_options options;
    if (outcome failure = read_options(host_options, options); failure != ok) {
        write_error(err, err_cap, failure);
        return nullptr;
    }
    init_backend_once();
    runtime_owner runtime(new vl_llama_runtime());
    runtime->options = options;

    llama_model_params model_params = llama_model_default_params();
    model_params.n_gpu_layers = config->n_gpu_layers;
    runtime->model = llama_model_load_from_file(model_path, model_params);
    if (runtime->model == nullptr) {
        write_error(err, err_cap, "llama_model_load_from_file failed");
        return nullptr;
    }

    runtime->vocab = llama_model_get_vocab(runtime->model);
    if (runtime->vocab == nullptr) {
        write_error(err, err_cap, "model has no vocabulary");
        return nullptr;
    }

    if (const char *tmpl = llama_model_chat_template(runtime->model, nullptr)) {
        runtime->chat_template = tmpl;
    }

    context_owner ctx = make_context(runtime->model, *config, runtime->options);
    if (!ctx) {
        write_error(err, err_cap, "llama_init_from_model failed");
        return nullptr;
    }
    adopt_context(*runtime, std::move(ctx));
    return runtime.release();
}

// The old context stays until the new one exists, so that a failure leaves
// the runtime as it was, retained prefix and options all. host_options is
// read only when replace_options is set; otherwise the runtime's own stay.
int32_t reconfigure_runtime(vl_llama_runtime *runtime, const vl_llama_config *config,
                            bool replace_options, const vl_llama_options *host_options,
                            char *err, std::size_t err_cap) {
    if (runtime == nullptr || runtime->model == nullptr || config == nullptr) {
        write_error(err, err_cap, "runtime and config are required");
        return -1;
    }
    compute_options options = runtime->options;
    if (replace_options) {
        if (outcome failure = read_options(host_options, options); failure != ok) {
            write_error(err, err_cap, failure);
            return -1;
        }
    }
    context_owner ctx = make_context(runtime->model, *config, options);
    if (!ctx) {
        write_error(err, err_cap, "llama_init_from_model failed");
        return -1;
    }
    adopt_context(*runtime, std::move(ctx));
    runtime->options = options;
    return 0;
}

}  // namespace
}  // namespace vl

extern "C" {

VL_LLAMA_API int32_t vl_llama_abi_version(void) { return VL_LLAMA_ABI_VERSION; }

VL_LLAMA_API vl_llama_runtime *vl_llama_open(const char *model_path, const vl_llama_config *config,
                                             char *err, size_t err_cap) {
    try {
        return vl::open_runtime(model_path, config, nullptr, err, err_cap);
    } catch (...) {
        return nullptr;  // memory exhausted: no message, nothing leaked
    }
}

VL_LLAMA_API vl_llama_runtime *vl_llama_open_with_options(const char *model_path,
                                                          const vl_llama_config *config,
                                                          const vl_llama_options *options,
                                                          char *err, size_t err_cap) {
    try {
        return vl::open_runtime(model_path, config, options, err, err_cap);
    } catch (...) {
        return nullptr;
    }
}

VL_LLAMA_API int32_t vl_llama_reconfigure(vl_llama_runtime *runtime, const vl_llama_config *config,
                                          char *err, size_t err_cap) {
    try {
        return vl::reconfigure_runtime(runtime, config, false, nullptr, err, err_cap);
    } catch (...) {
        return -1;  // memory exhausted: no message, the runtime as it was
    }
}

VL_LLAMA_API int32_t vl_llama_reconfigure_with_options(vl_llama_runtime *runtime,
                                                       const vl_llama_config *config,
                                                       const vl_llama_options *options,
                                                       char *err, size_t err_cap) {
    try {
        return vl::reconfigure_runtime(runtime, config, true, options, err, err_cap);
    } catch (...) {
        return -1;
    }
}

VL_LLAMA_API void vl_llama_close(vl_llama_runtime *runtime) {
    if (runtime != nullptr) vl::runtime_deleter()(runtime);
}

}  // extern "C"
