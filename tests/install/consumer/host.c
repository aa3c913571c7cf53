/* A host built against an installed tree the way a user's project would be:
 * it includes <vorlenta_llama_shim.h>, links -lvorlenta_llama_shim, checks
 * the ABI, encodes a chat on the model given and scores two next tokens. */
#include <stdio.h>
#include <stdlib.h>

#include <vorlenta_llama_shim.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s MODEL.gguf\n", argv[0]);
        return 2;
    }
    if (vl_llama_abi_version() != VL_LLAMA_ABI_VERSION) {
        fprintf(stderr, "library ABI %d, header ABI %d\n", (int)vl_llama_abi_version(),
                VL_LLAMA_ABI_VERSION);
        return 1;
    }
    char err[256];
    vl_llama_config config = {0};
    config.n_ctx = 256;
    config.n_threads = 1;
    vl_llama_runtime *rt = vl_llama_open(argv[1], &config, err, sizeof err);
    if (!rt) {
        fprintf(stderr, "open %s: %s\n", argv[1], err);
        return 1;
    }
    int64_t n = vl_llama_encode_chat(rt, "You are terse.", "Capital of France?", NULL, NULL, 0,
                                     err, sizeof err);
    uint32_t *prompt = n > 0 ? malloc((size_t)n * sizeof *prompt) : NULL;
    if (!prompt || vl_llama_encode_chat(rt, "You are terse.", "Capital of France?", NULL, prompt,
                                        (size_t)n, err, sizeof err) != n) {
        fprintf(stderr, "encode: %s\n", n < 0 ? err : "size mismatch");
        free(prompt);
        vl_llama_close(rt);
        return 1;
    }
    uint32_t candidates[2] = {1, 2};
    float logits[2];
    int32_t rc = vl_llama_score_next(rt, prompt, (size_t)n, candidates, 2, logits, err, sizeof err);
    free(prompt);
    vl_llama_close(rt);
    if (rc != 0) {
        fprintf(stderr, "score: %s\n", err);
        return 1;
    }
    printf("abi %d, prompt of %lld tokens, logits %g %g\n", (int)vl_llama_abi_version(),
           (long long)n, logits[0], logits[1]);
    return 0;
}
