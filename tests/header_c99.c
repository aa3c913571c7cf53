/* Compiled as C99 with -pedantic -Werror: the public header is plain C. */
#include "vorlenta_llama_shim.h"

int vl_header_c99_probe(void) {
    vl_llama_config config = {0, 0, 0, 0, 1, 1};
    vl_llama_options defaults = VL_LLAMA_OPTIONS_INIT;
    vl_llama_options exact = VL_LLAMA_OPTIONS_EXACT;
    char err[64];
    vl_llama_runtime *runtime = vl_llama_open("model.gguf", &config, err, sizeof err);
    vl_llama_close(runtime);
    runtime = vl_llama_open_with_options("model.gguf", &config, &exact, err, sizeof err);
    if (runtime != NULL) vl_llama_reconfigure_with_options(runtime, &config, &defaults, err, sizeof err);
    vl_llama_close(runtime);
    return vl_llama_abi_version() == VL_LLAMA_ABI_VERSION;
}
