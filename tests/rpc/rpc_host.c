/* A host in plain C that puts a model's layers on ggml-rpc-server workers
 * before it opens the runtime, the way the README shows:
 *   rpc_host MODEL.gguf [HOST:PORT...]
 * Scores two candidate next tokens after a chat prompt and prints their
 * logits, so that a test can compare them with a run without workers. */
#include <stdio.h>
#include <stdlib.h>

#include <ggml-backend.h>
#include <vorlenta_llama_shim.h>

typedef ggml_backend_reg_t (*rpc_add_server_fn)(const char *endpoint);

/* Adds one worker to ggml's device list; call before vl_llama_open. */
static int add_rpc_server(const char *endpoint) {
    ggml_backend_load_all(); /* ggml's backends, RPC among them */
    ggml_backend_reg_t rpc = ggml_backend_reg_by_name("RPC");
    rpc_add_server_fn add = rpc ? (rpc_add_server_fn)ggml_backend_reg_get_proc_address(
                                      rpc, "ggml_backend_rpc_add_server")
                                : NULL;
    if (add == NULL) return -1; /* libggml0-backend-rpc is not installed */
    ggml_backend_register(add(endpoint)); /* ggml aborts if it cannot reach it */
    return 0;
}

int main(int argc, char **argv) {
    char err[256];
    int i;
    if (argc < 2) {
        fprintf(stderr, "usage: rpc_host MODEL.gguf [HOST:PORT...]\n");
        return 2;
    }
    for (i = 2; i < argc; ++i) {
        if (add_rpc_server(argv[i]) != 0) {
            fprintf(stderr, "rpc_host: ggml's RPC backend is missing\n");
            return 1;
        }
    }

    vl_llama_config config = {0};
    config.n_ctx = 256;
    config.n_gpu_layers = 999; /* every layer that fits goes to the workers */
    config.n_threads = 1;
    vl_llama_runtime *rt = vl_llama_open(argv[1], &config, err, sizeof err);
    if (rt == NULL) {
        fprintf(stderr, "rpc_host: %s\n", err);
        return 1;
    }
    uint32_t prompt[64];
    int64_t n = vl_llama_encode_chat(rt, NULL, "Which one?", NULL, prompt, 64, err, sizeof err);
    uint32_t candidates[2] = {1, 2};
    float logits[2];
    if (n < 1 || vl_llama_score_next(rt, prompt, (size_t)n, candidates, 2, logits, err,
                                     sizeof err) != 0) {
        fprintf(stderr, "rpc_host: %s\n", err);
        vl_llama_close(rt);
        return 1;
    }
    printf("%.6f %.6f\n", logits[0], logits[1]);
    vl_llama_close(rt);
    return 0;
}
