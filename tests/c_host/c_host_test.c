/* A host written in C, as a real one would use the library: it loads the
 * built shared object with dlopen, resolves every export by name, checks the
 * ABI version, and runs a whole request: open, encode a chat, prefill it,
 * score four answers as candidate sequences, close. Plain C99. */
#include <dlfcn.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vorlenta_llama_shim.h"

/* Pointers to every export; their types are checked against the header's
 * declarations at compile time (see check_types). */
static int32_t (*abi_version)(void);
static vl_llama_runtime *(*open_rt)(const char *, const vl_llama_config *, char *, size_t);
static void (*close_rt)(vl_llama_runtime *);
static int32_t (*shared_prefix_supported)(const vl_llama_runtime *);
static int32_t (*sequence_scores_supported)(const vl_llama_runtime *);
static int32_t (*parallel_suffix_supported)(const vl_llama_runtime *);
static int32_t (*multi_root_supported)(const vl_llama_runtime *);
static uint32_t (*max_parallel_tasks)(const vl_llama_runtime *);
static size_t (*max_parallel_suffix_tokens)(const vl_llama_runtime *);
static uint32_t (*max_multi_root_tasks)(const vl_llama_runtime *);
static size_t (*max_multi_root_tokens)(const vl_llama_runtime *);
static int64_t (*encode_chat)(const vl_llama_runtime *, const char *, const char *, const char *,
                              uint32_t *, size_t, char *, size_t);
static int64_t (*decode_tokens)(const vl_llama_runtime *, const uint32_t *, size_t, char *, size_t,
                                char *, size_t);
static int64_t (*model_desc)(const vl_llama_runtime *, char *, size_t, char *, size_t);
static int32_t (*score_next)(vl_llama_runtime *, const uint32_t *, size_t, const uint32_t *, size_t,
                             float *, char *, size_t);
static int32_t (*prefill_shared)(vl_llama_runtime *, const uint32_t *, size_t, char *, size_t);
static int32_t (*score_suffix)(vl_llama_runtime *, const uint32_t *, size_t, const uint32_t *,
                               size_t, float *, char *, size_t);
static int32_t (*score_suffix_batch)(vl_llama_runtime *, const uint32_t *, const size_t *,
                                     const uint32_t *, const size_t *, size_t, float *, char *,
                                     size_t);
static int32_t (*score_root_batch)(vl_llama_runtime *, const uint32_t *, const size_t *,
                                   const uint32_t *, const size_t *, size_t, float *, char *,
                                   size_t);
static int32_t (*score_sequences)(vl_llama_runtime *, const uint32_t *, size_t, const uint32_t *,
                                  const size_t *, size_t, float *, char *, size_t);
static int32_t (*score_suffix_sequences)(vl_llama_runtime *, const uint32_t *, size_t,
                                         const uint32_t *, const size_t *, size_t, float *, char *,
                                         size_t);

/* Never called: each comparison sits in an unevaluated sizeof, so nothing
 * refers to the library's symbols, but comparing a pointer whose type differs
 * from the header's declaration fails to compile (-Werror). */
void check_types(void);
void check_types(void) {
    (void)sizeof(abi_version == vl_llama_abi_version);
    (void)sizeof(open_rt == vl_llama_open);
    (void)sizeof(close_rt == vl_llama_close);
    (void)sizeof(shared_prefix_supported == vl_llama_shared_prefix_supported);
    (void)sizeof(sequence_scores_supported == vl_llama_sequence_scores_supported);
    (void)sizeof(parallel_suffix_supported == vl_llama_parallel_suffix_supported);
    (void)sizeof(multi_root_supported == vl_llama_multi_root_supported);
    (void)sizeof(max_parallel_tasks == vl_llama_max_parallel_tasks);
    (void)sizeof(max_parallel_suffix_tokens == vl_llama_max_parallel_suffix_tokens);
    (void)sizeof(max_multi_root_tasks == vl_llama_max_multi_root_tasks);
    (void)sizeof(max_multi_root_tokens == vl_llama_max_multi_root_tokens);
    (void)sizeof(encode_chat == vl_llama_encode_chat);
    (void)sizeof(decode_tokens == vl_llama_decode_tokens);
    (void)sizeof(model_desc == vl_llama_model_desc);
    (void)sizeof(score_next == vl_llama_score_next);
    (void)sizeof(prefill_shared == vl_llama_prefill_shared);
    (void)sizeof(score_suffix == vl_llama_score_suffix);
    (void)sizeof(score_suffix_batch == vl_llama_score_suffix_batch);
    (void)sizeof(score_root_batch == vl_llama_score_root_batch);
    (void)sizeof(score_sequences == vl_llama_score_sequences);
    (void)sizeof(score_suffix_sequences == vl_llama_score_suffix_sequences);
}

#define EXPORT(fn, name) {name, (void **)&fn}
static const struct {
    const char *name;
    void **slot;
} exports[] = {
    EXPORT(abi_version, "vl_llama_abi_version"),
    EXPORT(open_rt, "vl_llama_open"),
    EXPORT(close_rt, "vl_llama_close"),
    EXPORT(shared_prefix_supported, "vl_llama_shared_prefix_supported"),
    EXPORT(sequence_scores_supported, "vl_llama_sequence_scores_supported"),
    EXPORT(parallel_suffix_supported, "vl_llama_parallel_suffix_supported"),
    EXPORT(multi_root_supported, "vl_llama_multi_root_supported"),
    EXPORT(max_parallel_tasks, "vl_llama_max_parallel_tasks"),
    EXPORT(max_parallel_suffix_tokens, "vl_llama_max_parallel_suffix_tokens"),
    EXPORT(max_multi_root_tasks, "vl_llama_max_multi_root_tasks"),
    EXPORT(max_multi_root_tokens, "vl_llama_max_multi_root_tokens"),
    EXPORT(encode_chat, "vl_llama_encode_chat"),
    EXPORT(decode_tokens, "vl_llama_decode_tokens"),
    EXPORT(model_desc, "vl_llama_model_desc"),
    EXPORT(score_next, "vl_llama_score_next"),
    EXPORT(prefill_shared, "vl_llama_prefill_shared"),
    EXPORT(score_suffix, "vl_llama_score_suffix"),
    EXPORT(score_suffix_batch, "vl_llama_score_suffix_batch"),
    EXPORT(score_root_batch, "vl_llama_score_root_batch"),
    EXPORT(score_sequences, "vl_llama_score_sequences"),
    EXPORT(score_suffix_sequences, "vl_llama_score_suffix_sequences"),
};
#define N_EXPORTS (sizeof exports / sizeof exports[0])

static int failures = 0;
#define CHECK(cond, ...)                                              \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: failed: %s: ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                             \
            fputc('\n', stderr);                                      \
            ++failures;                                               \
        }                                                             \
    } while (0)

#define N_ANSWERS 4
static const char *const system_message = "Answer with one word.";
static const char *const user_message = "What is the capital of France?";
static const char *const answers[N_ANSWERS] = {"Paris", "Lyon", "Marseille", "Toulouse"};

/* The prompt's token ids, by a size query and a fill. NULL on failure. */
static uint32_t *encode(vl_llama_runtime *rt, const char *assistant_prefix, size_t *count) {
    char err[128] = "";
    int64_t n = encode_chat(rt, system_message, user_message, assistant_prefix, NULL, 0, err, sizeof err);
    uint32_t *ids;
    CHECK(n > 0, "size query: %s", err);
    if (n <= 0) return NULL;
    ids = malloc((size_t)n * sizeof *ids);
    if (ids == NULL) return NULL;
    CHECK(encode_chat(rt, system_message, user_message, assistant_prefix, ids, (size_t)n, err,
                      sizeof err) == n,
          "fill: %s", err);
    *count = (size_t)n;
    return ids;
}

/* The four answers as a codebook: each answer's ids are what encoding the
 * chat with the answer as assistant prefix adds after the prompt. */
static int make_codebook(vl_llama_runtime *rt, const uint32_t *prompt, size_t prompt_count,
                         uint32_t *tokens, size_t cap, size_t offsets[N_ANSWERS + 1]) {
    size_t i, k;
    offsets[0] = 0;
    for (i = 0; i < N_ANSWERS; ++i) {
        size_t n = 0;
        uint32_t *ids = encode(rt, answers[i], &n);
        if (ids == NULL) return 0;
        CHECK(n > prompt_count && memcmp(ids, prompt, prompt_count * sizeof *ids) == 0,
              "\"%s\" continues the prompt's tokens", answers[i]);
        if (n <= prompt_count || offsets[i] + (n - prompt_count) > cap) {
            free(ids);
            return 0;
        }
        for (k = prompt_count; k < n; ++k) tokens[offsets[i] + k - prompt_count] = ids[k];
        offsets[i + 1] = offsets[i] + (n - prompt_count);
        free(ids);
    }
    return 1;
}

static void run_request(const char *model_path) {
    vl_llama_config config = {512, 512, 4, 0, 1, 1};
    char err[128] = "";
    vl_llama_runtime *rt;
    uint32_t *prompt, codebook[256];
    size_t prompt_count = 0, offsets[N_ANSWERS + 1];
    float scores[N_ANSWERS], again[N_ANSWERS], scratch[N_ANSWERS];
    double total = 0.0;
    int i;

    CHECK(open_rt(NULL, &config, err, sizeof err) == NULL &&
              strcmp(err, "model_path and config are required") == 0,
          "a refused open reports \"%s\"", err);

    rt = open_rt(model_path, &config, err, sizeof err);
    CHECK(rt != NULL, "open %s: %s", model_path, err);
    if (rt == NULL) return;
    CHECK(sequence_scores_supported(rt) == 1, "the fixture model supports sequence scores");

    prompt = encode(rt, NULL, &prompt_count);
    if (prompt != NULL && make_codebook(rt, prompt, prompt_count, codebook,
                                        sizeof codebook / sizeof codebook[0], offsets)) {
        CHECK(prefill_shared(rt, prompt, prompt_count, err, sizeof err) == 0, "prefill: %s", err);
        CHECK(score_suffix_sequences(rt, NULL, 0, codebook, offsets, N_ANSWERS, scores, err,
                                     sizeof err) == 0,
              "score answers: %s", err);
        for (i = 0; i < N_ANSWERS; ++i) {
            printf("log P(\"%s\") = %f (%u tokens)\n", answers[i], scores[i],
                   (unsigned)(offsets[i + 1] - offsets[i]));
            CHECK(isfinite(scores[i]) && scores[i] <= 0.0f, "score of \"%s\" is a log-probability",
                  answers[i]);
            total += exp(scores[i]);
        }
        /* The answers are disjoint continuations: together at most certain. */
        CHECK(total <= 1.0 + 1e-4, "probabilities sum to %f", total);

        /* The prefix serves another call unchanged. */
        CHECK(score_suffix_sequences(rt, NULL, 0, codebook, offsets, N_ANSWERS, again, err,
                                     sizeof err) == 0 &&
                  memcmp(scores, again, sizeof scores) == 0,
              "a second call on the same prefix gives the same scores: %s", err);
        /* Decoding the prompt from scratch gives the same scores. */
        CHECK(score_sequences(rt, prompt, prompt_count, codebook, offsets, N_ANSWERS, scratch, err,
                              sizeof err) == 0,
              "score from scratch: %s", err);
        for (i = 0; i < N_ANSWERS; ++i)
            CHECK(fabsf(scratch[i] - scores[i]) <= 1e-4f, "\"%s\": %f from scratch, %f after prefill",
                  answers[i], scratch[i], scores[i]);
    }
    free(prompt);
    close_rt(rt);
}

/* llama.cpp's log callback, with its level enum passed as an int. */
typedef void (*log_callback)(int level, const char *text, void *user);
static void quiet_log(int level, const char *text, void *user) {
    (void)level;
    (void)text;
    (void)user;
}

int main(void) {
    void *lib = dlopen(VL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    void (*log_set)(log_callback, void *);
    size_t i, missing = 0;
    if (lib == NULL) {
        fprintf(stderr, "dlopen %s: %s\n", VL_LIBRARY_PATH, dlerror());
        return 1;
    }
    /* The library never logs; a host silences llama.cpp itself, through the
     * llama.cpp the library brought in. */
    *(void **)&log_set = dlsym(lib, "llama_log_set");
    if (log_set != NULL && getenv("VL_TEST_LOG") == NULL) log_set(quiet_log, NULL);
    for (i = 0; i < N_EXPORTS; ++i) {
        *exports[i].slot = dlsym(lib, exports[i].name);
        if (*exports[i].slot == NULL) {
            fprintf(stderr, "dlsym %s: not exported\n", exports[i].name);
            ++missing;
        }
    }
    if (missing != 0) {
        dlclose(lib);
        return 1;
    }
    CHECK(abi_version() == VL_LLAMA_ABI_VERSION, "ABI version %d, header %d", (int)abi_version(),
          VL_LLAMA_ABI_VERSION);
    if (failures == 0) run_request(VL_FIXTURE_MODEL);
    dlclose(lib);
    if (failures != 0) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
