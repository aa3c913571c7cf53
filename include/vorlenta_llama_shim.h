/*
 * vorlenta_llama_shim: exact candidate scoring over llama.cpp, behind a C ABI.
 *
 * A host opens one runtime per GGUF model, turns chat messages into prompt
 * tokens, and scores candidate next tokens (raw logits) or multi-token
 * candidate answers (natural-log probabilities) after a prompt or after a
 * shared prefix kept in the model's sequence memory.
 *
 * Conventions shared by every function:
 *
 *  - Token ids are unsigned 32-bit. llama.cpp's ids are signed, so an id or a
 *    count above 2147483647 is refused with a message before it reaches
 *    llama.cpp.
 *  - Errors: every fallible function takes `err` (may be NULL) and `err_cap`
 *    (bytes, including the terminating NUL) last. A failing call copies its
 *    one fixed message into `err`, cut at err_cap - 1 bytes and always
 *    NUL-terminated; with a NULL `err` or an err_cap of 0 nothing is written.
 *    A successful call never touches `err`.
 *  - Results: status functions return 0 or -1; text functions return a byte
 *    or token count, or -1; vl_llama_open returns NULL on failure.
 *  - Arrays belong to the host and are read or written only during the call.
 *    Candidate outputs are written candidate by candidate, so a failure in
 *    the middle leaves the entries before the offending one written.
 *  - Flat arrays with offsets: item i of a batch owns the indices from
 *    offsets[i] up to, not including, offsets[i + 1]; an offsets array holds
 *    count + 1 entries and starts at 0. The host guarantees the arrays are as
 *    long as their last offset says.
 *  - Threads: calls on one runtime must not overlap. Distinct runtimes share
 *    nothing but the process-wide, once-only backend initialisation.
 *  - Memory exhaustion: if memory runs out inside a call, the call returns its
 *    failure value (-1 or NULL) and writes nothing into `err`. Scratch
 *    sequences are still removed, so the runtime stays usable.
 *  - One decode takes at most the context's n_batch tokens, and for a model
 *    without sequence memory (an encoder) or whose attention is not causal
 *    at most one physical batch, llama.cpp's n_ubatch (512 by default, and
 *    never above n_batch). A scorer refuses a longer decode with its own
 *    decode-failure message, where llama.cpp itself would abort the process.
 *  - No C++ exception ever leaves this library.
 *
 * Sequence memory: sequence 0 holds the prompt of the last from-scratch
 * decode, or the shared prefix retained by vl_llama_prefill_shared. The
 * suffix scorers work in scratch sequences 1, 2, ... and remove them before
 * they return. vl_llama_score_next, vl_llama_prefill_shared,
 * vl_llama_score_sequences and vl_llama_score_root_batch clear the memory and
 * discard a retained prefix once their argument checks have passed.
 */
#ifndef VORLENTA_LLAMA_SHIM_H
#define VORLENTA_LLAMA_SHIM_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(VL_LLAMA_BUILDING)
#    define VL_LLAMA_API __declspec(dllexport)
#  else
#    define VL_LLAMA_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define VL_LLAMA_API __attribute__((visibility("default")))
#else
#  define VL_LLAMA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The value vl_llama_abi_version() returns for this header. */
#define VL_LLAMA_ABI_VERSION 5

/* One opened model with its inference context. Opaque. */
typedef struct vl_llama_runtime vl_llama_runtime;

/* Open-time configuration. 0 in n_ctx, n_batch or n_seq_max keeps
 * llama.cpp's default; n_seq_max is raised to at least 2. n_gpu_layers is
 * always applied (0 offloads nothing). Thread counts of 0 or below are
 * absent: n_threads alone sets both counts, n_threads_batch alone sets both,
 * neither keeps llama.cpp's defaults. */
typedef struct vl_llama_config {
    int32_t n_ctx;
    int32_t n_batch;
    int32_t n_seq_max;
    int32_t n_gpu_layers;
    int32_t n_threads;
    int32_t n_threads_batch;
} vl_llama_config;

/* ---- lifecycle ---------------------------------------------------------- */

/* Returns VL_LLAMA_ABI_VERSION of the built library. Needs no runtime. */
VL_LLAMA_API int32_t vl_llama_abi_version(void);

/* Loads the model at model_path and creates its context. The first call in
 * the process initialises llama.cpp's backend (once; it is never shut down).
 * Returns NULL on failure: "model_path and config are required",
 * "llama_model_load_from_file failed", "model has no vocabulary",
 * "llama_init_from_model failed" (also for configurations llama.cpp would
 * abort on, such as n_batch smaller than n_seq_max). A model without a chat
 * template opens; vl_llama_encode_chat reports it later. The library never
 * logs: a host that wants llama.cpp quiet calls llama_log_set itself. */
VL_LLAMA_API vl_llama_runtime *vl_llama_open(const char *model_path,
                                             const vl_llama_config *config,
                                             char *err, size_t err_cap);

/* Frees the context, then the model, then the runtime. NULL is ignored. */
VL_LLAMA_API void vl_llama_close(vl_llama_runtime *runtime);

/* Replaces the runtime's context by one made from config's n_ctx, n_batch,
 * n_seq_max and thread counts, under the rules of vl_llama_open, keeping the
 * loaded model: config's n_gpu_layers is not used (the layers were placed
 * when the model was loaded). A host can so open with a small window,
 * tokenize what it will score, and then size the window without loading the
 * model again. The new context is created first; only once that has worked
 * is the old one freed, the retained shared prefix discarded (the memory is
 * empty) and the capacities the queries report taken from the new context.
 * The new context keeps the runtime's options (see vl_llama_open_with_options;
 * vl_llama_reconfigure_with_options changes them).
 * Fails with "runtime and config are required" or "llama_init_from_model
 * failed" (also for the configurations vl_llama_open refuses); the runtime
 * is then unchanged and still usable, its retained prefix included.
 * (Library 5.3.) */
VL_LLAMA_API int32_t vl_llama_reconfigure(vl_llama_runtime *runtime,
                                          const vl_llama_config *config, char *err,
                                          size_t err_cap);

/* ---- capability and capacity queries ------------------------------------
 * Never fail, allocate nothing, change nothing. An unsupported mode and a
 * capacity of nothing are both 0. */

/* 1 when the context has sequence memory (prefill and suffix scoring). */
VL_LLAMA_API int32_t vl_llama_shared_prefix_supported(const vl_llama_runtime *runtime);
/* 1 when the multi-token sequence scorers can run. */
VL_LLAMA_API int32_t vl_llama_sequence_scores_supported(const vl_llama_runtime *runtime);
/* 1 when vl_llama_score_suffix_batch can run (at least 3 sequences). */
VL_LLAMA_API int32_t vl_llama_parallel_suffix_supported(const vl_llama_runtime *runtime);
/* 1 when vl_llama_score_root_batch can run (at least 2 sequences). */
VL_LLAMA_API int32_t vl_llama_multi_root_supported(const vl_llama_runtime *runtime);
/* Largest task count of vl_llama_score_suffix_batch: n_seq_max - 1. */
VL_LLAMA_API uint32_t vl_llama_max_parallel_tasks(const vl_llama_runtime *runtime);
/* Largest total suffix tokens of one vl_llama_score_suffix_batch after the
 * retained prefix: the smaller of n_batch and what the context window leaves
 * after the prefix, and for a model whose attention is not causal at most one
 * physical batch (llama.cpp's n_ubatch, which such a model cannot split).
 * 0 while no prefix is retained or when nothing limits it. */
VL_LLAMA_API size_t vl_llama_max_parallel_suffix_tokens(const vl_llama_runtime *runtime);
/* Largest root count of vl_llama_score_root_batch: n_seq_max. */
VL_LLAMA_API uint32_t vl_llama_max_multi_root_tasks(const vl_llama_runtime *runtime);
/* Largest total prompt tokens of one vl_llama_score_root_batch: the smaller
 * of n_batch and n_ctx, and for a model whose attention is not causal at most
 * one physical batch (llama.cpp's n_ubatch). A request filled to it decodes. */
VL_LLAMA_API size_t vl_llama_max_multi_root_tokens(const vl_llama_runtime *runtime);

/* Facts about the loaded model, asked with one of the VL_LLAMA_INFO_
 * constants. Like the queries above it never fails and changes nothing;
 * it returns -1 for a NULL runtime or an unknown `what`. (Library 5.3.) */
VL_LLAMA_API int64_t vl_llama_model_info(const vl_llama_runtime *runtime, int32_t what);

/* The context length the model was trained with. */
#define VL_LLAMA_INFO_N_CTX_TRAIN 0
/* 1 when the model has a chat template (vl_llama_encode_chat can run), else 0. */
#define VL_LLAMA_INFO_HAS_CHAT_TEMPLATE 1
/* The id vl_llama_tokenize puts first when add_special is set: the start
 * (BOS) token when the vocabulary adds one, else -1. */
#define VL_LLAMA_INFO_START_TOKEN 2
/* The id vl_llama_tokenize appends when add_special is set: the end (EOS)
 * token when the vocabulary adds one, else -1. */
#define VL_LLAMA_INFO_END_TOKEN 3
/* The number of tokens in the vocabulary; valid ids are below it. */
#define VL_LLAMA_INFO_N_VOCAB 4
/* The vocabulary's start-of-text (BOS) id, whether or not tokenizing adds
 * it, or -1 when the vocabulary has none. A host that conditions an empty
 * context on a token takes this one, or else the end token below, as the
 * evaluation harnesses do for vocabularies that add no start token.
 * (Library 5.4.) */
#define VL_LLAMA_INFO_BOS_TOKEN 5
/* The vocabulary's end-of-text (EOS) id, whether or not tokenizing adds it,
 * or -1 when the vocabulary has none. (Library 5.4.) */
#define VL_LLAMA_INFO_EOS_TOKEN 6

/* ---- text ----------------------------------------------------------------- */

/* Lays out an optional system message (NULL or "" for none) and a user
 * message with the model's chat template, opens the assistant turn, appends
 * assistant_prefix verbatim (may be NULL), and tokenizes the result (special
 * tokens written in the text are parsed as special). With out_tokens NULL or
 * out_cap 0 returns the token count only; otherwise writes the ids and
 * returns the count. A buffer smaller than the count fails with "token output
 * buffer is too small" and is left untouched. Does not touch the context. */
VL_LLAMA_API int64_t vl_llama_encode_chat(const vl_llama_runtime *runtime,
                                          const char *system_message,
                                          const char *user_message,
                                          const char *assistant_prefix,
                                          uint32_t *out_tokens, size_t out_cap,
                                          char *err, size_t err_cap);

/* Tokenizes text_len bytes of text (need not be NUL-terminated; NULL when
 * text_len is 0) with the model's own vocabulary, as they are: no chat
 * template. add_special non-zero lets the vocabulary add its start (and end)
 * tokens; parse_special non-zero turns special-token text into special
 * tokens. Size query then fill as vl_llama_encode_chat, with which it shares
 * "token output buffer is too small"; text that makes no token gives 0.
 * Refuses NULL text with a non-zero length and a NULL runtime with "invalid
 * tokenize arguments". Does not touch the context. (Library 5.2.) */
VL_LLAMA_API int64_t vl_llama_tokenize(const vl_llama_runtime *runtime, const char *text,
                                       size_t text_len, int32_t add_special,
                                       int32_t parse_special, uint32_t *out_tokens,
                                       size_t out_cap, char *err, size_t err_cap);

/* Detokenizes ids into out_text and NUL-terminates it; returns the length
 * without the NUL. With out_text NULL or out_cap 0 returns the length only.
 * out_cap must be at least length + 1, else "decode output buffer is too
 * small". Special tokens are not rendered. An id outside the vocabulary fails
 * with "llama_detokenize failed". tokens may be NULL when token_count is 0. */
VL_LLAMA_API int64_t vl_llama_decode_tokens(const vl_llama_runtime *runtime,
                                            const uint32_t *tokens, size_t token_count,
                                            char *out_text, size_t out_cap,
                                            char *err, size_t err_cap);

/* The text of one token as the model reads it, special tokens written out
 * (a start token gives its text, such as "<s>"). Size query then fill as
 * vl_llama_decode_tokens, with which it shares "invalid decode arguments"
 * (NULL runtime), "decode output buffer is too small" and "llama_detokenize
 * failed". An id at or above the vocabulary's size fails with "token id
 * exceeds vocabulary size" before llama.cpp sees it. (Library 5.3.) */
VL_LLAMA_API int64_t vl_llama_token_piece(const vl_llama_runtime *runtime, uint32_t token,
                                          char *out_text, size_t out_cap, char *err,
                                          size_t err_cap);

/* Returns the length n of llama.cpp's model description (at most 511 bytes)
 * and writes it with a NUL only when out_text is non-NULL and n < out_cap;
 * otherwise leaves out_text untouched and still returns n. */
VL_LLAMA_API int64_t vl_llama_model_desc(const vl_llama_runtime *runtime,
                                         char *out_text, size_t out_cap,
                                         char *err, size_t err_cap);

/* ---- candidate token scoring (raw logits) -------------------------------- */

/* Clears the memory, decodes the prompt (prompt_count >= 1 tokens) into
 * sequence 0 in one batch, and writes the raw logit of each candidate
 * (candidate_count >= 2) at the last prompt position into out_logits.
 * Discards a retained shared prefix once the prompt ids have been checked.
 * A prompt longer than one decode takes fails with "llama_decode failed". */
VL_LLAMA_API int32_t vl_llama_score_next(vl_llama_runtime *runtime,
                                         const uint32_t *prompt_tokens, size_t prompt_count,
                                         const uint32_t *candidate_ids, size_t candidate_count,
                                         float *out_logits, char *err, size_t err_cap);

/* Clears the memory, decodes prefix_count >= 1 tokens into sequence 0 and
 * keeps the logits of the last position. The prefix then serves any number
 * of suffix scoring calls until the next prefill or resetting call. Once the
 * ids have been checked the old prefix is gone, even if the decode fails; a
 * prefix longer than one decode takes fails with "llama_decode failed
 * while prefilling shared prefix". */
VL_LLAMA_API int32_t vl_llama_prefill_shared(vl_llama_runtime *runtime,
                                             const uint32_t *prefix_tokens, size_t prefix_count,
                                             char *err, size_t err_cap);

/* Raw logits of the candidates after the retained prefix plus a suffix
 * (suffix_count may be 0: then the kept logits are used and nothing is
 * decoded). The suffix is decoded in scratch sequence 1, which is removed
 * again; the prefix stays usable whatever the outcome. A suffix longer than
 * one decode takes fails with "llama_decode failed while scoring shared
 * suffix". */
VL_LLAMA_API int32_t vl_llama_score_suffix(vl_llama_runtime *runtime,
                                           const uint32_t *suffix_tokens, size_t suffix_count,
                                           const uint32_t *candidate_ids, size_t candidate_count,
                                           float *out_logits, char *err, size_t err_cap);

/* task_count >= 2 suffix tasks after the retained prefix in one decode, task
 * i in scratch sequence i + 1 (so at most n_seq_max - 1 tasks). Each task has
 * a suffix (may be empty) and at least two candidates; out_logits has the
 * layout of candidate_ids. suffix_tokens may be NULL when every suffix is
 * empty, and then nothing is decoded. The total of suffix tokens is bounded
 * by vl_llama_max_parallel_suffix_tokens. The prefix stays usable whatever
 * the outcome. */
VL_LLAMA_API int32_t vl_llama_score_suffix_batch(vl_llama_runtime *runtime,
                                                 const uint32_t *suffix_tokens,
                                                 const size_t *suffix_offsets,
                                                 const uint32_t *candidate_ids,
                                                 const size_t *candidate_offsets,
                                                 size_t task_count, float *out_logits,
                                                 char *err, size_t err_cap);

/* root_count >= 2 independent prompts in one decode, root r in sequence r
 * (so at most n_seq_max roots). Each root has a non-empty prompt and at least
 * two candidates; out_logits has the layout of candidate_ids. The total of
 * prompt tokens is bounded by vl_llama_max_multi_root_tokens. Once its checks
 * have passed the call clears the memory before and after, discarding a
 * retained prefix, whatever the outcome. */
VL_LLAMA_API int32_t vl_llama_score_root_batch(vl_llama_runtime *runtime,
                                               const uint32_t *prompt_tokens,
                                               const size_t *prompt_offsets,
                                               const uint32_t *candidate_ids,
                                               const size_t *candidate_offsets,
                                               size_t root_count, float *out_logits,
                                               char *err, size_t err_cap);

/* ---- candidate sequence scoring (natural-log probabilities) --------------
 * The candidates form a codebook: n_sequences >= 2 non-empty token runs of
 * sequence_tokens cut by sequence_offsets (n_sequences + 1 entries from 0),
 * none a prefix of another and no two equal. out_scores[i] receives
 * log P(candidate i | context). Every shared candidate prefix is decoded once.
 * The codebook is checked only after the context is decoded. A failure while
 * the candidates are walked leaves the scores written so far and negative
 * infinity in the other entries. */

/* The context is prompt_tokens (prompt_count >= 1), decoded from scratch into
 * sequence 0; discards a retained prefix once the prompt ids are checked. A
 * prompt longer than one decode takes fails with "llama_decode failed
 * before sequence scoring". */
VL_LLAMA_API int32_t vl_llama_score_sequences(vl_llama_runtime *runtime,
                                              const uint32_t *prompt_tokens, size_t prompt_count,
                                              const uint32_t *sequence_tokens,
                                              const size_t *sequence_offsets,
                                              size_t n_sequences, float *out_scores,
                                              char *err, size_t err_cap);

/* The context is the retained prefix plus suffix_tokens (suffix_count may be
 * 0), walked in scratch sequence 1; the prefix stays usable. A suffix longer
 * than one decode takes fails with "llama_decode failed before shared sequence
 * scoring". */
VL_LLAMA_API int32_t vl_llama_score_suffix_sequences(vl_llama_runtime *runtime,
                                                     const uint32_t *suffix_tokens,
                                                     size_t suffix_count,
                                                     const uint32_t *sequence_tokens,
                                                     const size_t *sequence_offsets,
                                                     size_t n_sequences, float *out_scores,
                                                     char *err, size_t err_cap);

/* ---- many tasks' candidate sequences in batched decodes (library 5.2) ----
 * task_count >= 1 tasks. Task t has a context, the tokens
 * context_tokens[context_offsets[t] .. context_offsets[t + 1]), and the
 * candidates task_offsets[t] .. task_offsets[t + 1] - 1, at least one.
 * Candidate i is the non-empty run sequence_tokens[sequence_offsets[i] ..
 * sequence_offsets[i + 1]). context_offsets and task_offsets hold
 * task_count + 1 entries, sequence_offsets task_offsets[task_count] + 1;
 * each starts at 0 and never goes down. context_tokens may be NULL when
 * every context is empty.
 *
 * Unlike a codebook, a task's candidates may be equal (equal scores) or
 * begin one another, and a task may have a single candidate (with a start
 * token as its context, the log-probability of a whole text).
 *
 * With a retained prefix, every context follows it (an empty context scores
 * from the kept logits), and the prefix stays usable whatever the outcome.
 * Without one, every context starts at position 0 and must not be empty,
 * and the call clears the memory once its checks have passed.
 *
 * out_scores[i] receives log P(candidate i | prefix + context of its task),
 * the quantity vl_llama_score_suffix_sequences computes (each row's
 * log-softmax vectorised: within 1e-6, or one step of single precision, of
 * the walk's, from library 5.4); out_greedy (may be
 * NULL) receives 1 where every token of candidate i was the most probable
 * next token at its position (the lowest id among equal maxima), else 0.
 *
 * Decodes: tasks are packed in order into as few decodes as n_batch, the
 * sequences (n_seq_max - 1 scratch sequences) and the context window allow.
 * Every context token and every shared candidate prefix is decoded once, a
 * candidate's last token never, each token into the sequences of all the
 * branches below it. A task that needs more than one decode holds is split
 * over several, so that every task vl_llama_score_suffix_sequences accepts
 * is accepted: a task fails only when its context plus its longest candidate
 * but one token do not fit the context window after the prefix.
 *
 * Every check below comes before anything is decoded, in this order:
 * "invalid sequence batch arguments", "llama.cpp context does not expose
 * sequence memory", "sequence batch offsets are invalid", "candidate
 * sequence is empty", "token sequence is too large for llama.cpp", "token id
 * exceeds llama.cpp range", "context token exceeds vocabulary size",
 * "candidate sequence token exceeds vocabulary size", "task context is empty
 * and no shared prefix is retained", "task does not fit the context window".
 * Decoding can then fail with "llama_decode failed while scoring sequence
 * batch", "llama_get_logits_ith returned null while scoring sequence batch"
 * or "non-finite vocabulary logit"; scores already written stay, and the
 * scratch sequences are removed on every path. */
VL_LLAMA_API int32_t vl_llama_score_sequence_batch(vl_llama_runtime *runtime,
                                                   const uint32_t *context_tokens,
                                                   const size_t *context_offsets,
                                                   const uint32_t *sequence_tokens,
                                                   const size_t *sequence_offsets,
                                                   const size_t *task_offsets,
                                                   size_t task_count, float *out_scores,
                                                   uint8_t *out_greedy, char *err,
                                                   size_t err_cap);

/* ---- greedy generation and conversations (library 5.4) ------------------ */

/* Why a prompt of vl_llama_generate stopped. */
#define VL_LLAMA_STOP_LIMIT 0       /* it generated its limit of new tokens */
#define VL_LLAMA_STOP_END_TOKEN 1   /* the model chose an end-of-generation token */
#define VL_LLAMA_STOP_STRING 2      /* the text generated holds one of its stop strings */

/* Greedy generation for prompt_count >= 1 prompts: prompt i is the tokens
 * prompt_tokens[prompt_offsets[i] .. prompt_offsets[i + 1]), and it may
 * generate up to out_offsets[i + 1] - out_offsets[i] new tokens (0 makes
 * none), written from out_tokens[out_offsets[i]] on. prompt_tokens may be
 * NULL when every prompt is empty, out_tokens when every limit is 0.
 *
 * Each step takes the most probable next token (the lowest id among equal
 * maxima). A prompt stops, for out_reasons[i]:
 *  - VL_LLAMA_STOP_END_TOKEN when the model chooses an end-of-generation
 *    token (llama_vocab_is_eog); that token is not written;
 *  - VL_LLAMA_STOP_STRING when the text of the tokens generated so far, as
 *    vl_llama_decode_tokens renders them, holds one of the prompt's stop
 *    strings. The token that completed the string is the last one written:
 *    the host cuts the decoded text where the string begins (the text
 *    before it is what was generated, the string and anything after it in
 *    the last token's text is not);
 *  - VL_LLAMA_STOP_LIMIT when it has written its limit of tokens.
 * out_counts[i] receives the number of tokens written for prompt i.
 *
 * Stop strings: prompt i has the strings stop_set_offsets[i] ..
 * stop_set_offsets[i + 1] - 1 of a list whose string k is the bytes
 * stop_text[stop_offsets[k] .. stop_offsets[k + 1]) (UTF-8, not
 * NUL-terminated, never empty). stop_set_offsets (prompt_count + 1 entries)
 * may be NULL for no stop strings at all; then stop_text and stop_offsets
 * are not read.
 *
 * Decodes: the prompts run in the scratch sequences (n_seq_max - 1 at a
 * time), all running prompts advancing together in one decode per step; a
 * stopped prompt's sequence goes to the next prompt, in order, once the
 * window has room for that prompt and its limit beside the running ones.
 * The tokens that all prompts begin with are decoded once and copied. A
 * prompt longer than one decode takes is decoded over several steps.
 *
 * With a retained prefix every prompt follows it (an empty prompt starts
 * from the kept logits) and the prefix stays usable whatever the outcome.
 * Without one every prompt starts at position 0 and must not be empty, and
 * the call clears the memory once its checks have passed.
 *
 * Every check below comes before anything is decoded, in this order:
 * "invalid generation arguments", "llama.cpp context does not expose
 * sequence memory", "generation offsets are invalid", "stop string is
 * empty", "token sequence is too large for llama.cpp", "token id exceeds
 * llama.cpp range", "prompt token exceeds vocabulary size", "prompt is
 * empty and no shared prefix is retained", "prompt and new-token limit do
 * not fit the context window" (the prefix, the prompt and its limit but one
 * token must fit n_ctx). Generation can then fail with "llama_decode failed
 * while generating", "llama_get_logits_ith returned null while generating",
 * "non-finite vocabulary logit" or "llama_detokenize failed"; the tokens,
 * counts and reasons of prompts already stopped stay written, a prompt
 * still running has its count of tokens written so far and the reason -1,
 * and the scratch sequences are removed on every path. (Library 5.4.) */
VL_LLAMA_API int32_t vl_llama_generate(vl_llama_runtime *runtime,
                                       const uint32_t *prompt_tokens,
                                       const size_t *prompt_offsets, size_t prompt_count,
                                       const char *stop_text, const size_t *stop_offsets,
                                       const size_t *stop_set_offsets, uint32_t *out_tokens,
                                       const size_t *out_offsets, size_t *out_counts,
                                       int32_t *out_reasons, char *err, size_t err_cap);

/* One message of a conversation: a role ("system", "user", "assistant",
 * ...) and its content, both NUL-terminated UTF-8. */
typedef struct vl_llama_message {
    const char *role;
    const char *content;
} vl_llama_message;

/* Lays out message_count messages with the model's chat template through
 * llama.cpp's built-in template engine, opening the assistant turn when
 * add_assistant is non-zero, and returns the text's length in bytes. With
 * out_text NULL or out_cap 0 only the length is returned; otherwise
 * out_cap must be at least length + 1, else "chat text output buffer is too
 * small", and the text is written with a NUL. messages may be NULL when
 * message_count is 0. Fails with "invalid chat arguments" (NULL runtime,
 * messages, role or content), "GGUF model does not expose a
 * llama.cpp-supported chat template" and "llama_chat_apply_template failed"
 * (also for a template the engine does not know). Does not touch the
 * context. (Library 5.4.) */
VL_LLAMA_API int64_t vl_llama_apply_chat_template(const vl_llama_runtime *runtime,
                                                  const vl_llama_message *messages,
                                                  size_t message_count, int32_t add_assistant,
                                                  char *out_text, size_t out_cap, char *err,
                                                  size_t err_cap);

/* The model's chat template as the GGUF file holds it (a Jinja text), for
 * hosts that render or record it themselves; "" when the model has none.
 * Size query then fill as vl_llama_apply_chat_template, with which it shares
 * "chat text output buffer is too small"; a NULL runtime fails with "invalid
 * chat arguments". (Library 5.4.) */
VL_LLAMA_API int64_t vl_llama_chat_template(const vl_llama_runtime *runtime, char *out_text,
                                            size_t out_cap, char *err, size_t err_cap);

/* ---- every token of a text (library 5.4) ---------------------------------- */

/* Teacher forcing: the log-probability of every token of sequence_count >= 1
 * sequences given all the tokens before it. Sequence s is the tokens
 * tokens[offsets[s] .. offsets[s + 1]) (offsets holds sequence_count + 1
 * entries from 0 that never go down; a sequence may be empty); tokens may be
 * NULL when every sequence is empty. Its first context_counts[s] tokens are
 * context only, not scored (context_counts may be NULL: no such tokens).
 *
 * With a retained prefix every sequence follows it, its first token scored
 * from the kept logits, and the prefix stays usable whatever the outcome.
 * Without one every sequence starts at position 0, and since nothing
 * predicts a sequence's first token that token is always context; the call
 * clears the memory once its checks have passed.
 *
 * out_log_probs and out_greedy (may be NULL) have the layout of tokens. A
 * scored token k gets log P(token k | prefix + tokens 0 .. k - 1), computed as
 * vl_llama_score_sequence_batch scores a one-token candidate, and a greedy
 * flag of 1 when it was the most probable next token (the lowest id among
 * equal maxima), else 0. A context token gets 0 and a flag of 1, so that the
 * sum of a sequence's entries is the log-probability of its scored tokens
 * given its context, and the flags are all 1 exactly when every scored token
 * was the greedy choice.
 *
 * Decodes: sequence s is decoded in a scratch sequence (1 .. n_seq_max - 1)
 * at positions prefix + 0 .. prefix + length - 2 (its last token is never
 * decoded), logits read only where they score a token. Sequences are packed
 * in order into as few decodes as n_batch, the scratch sequences and the
 * window allow; one longer than a decode continues over several, so that a
 * sequence fails only when the prefix plus its length minus one exceeds the
 * window. Host memory is linear in the tokens: one llama.cpp batch, the
 * outputs, nothing per token pair.
 *
 * Every check below comes before anything is decoded, in this order:
 * "invalid token scoring arguments", "llama.cpp context does not expose
 * sequence memory", "token scoring offsets are invalid", "context count
 * exceeds its sequence", "token sequence is too large for llama.cpp", "token
 * id exceeds llama.cpp range", "token exceeds vocabulary size", "sequence
 * does not fit the context window". Decoding can then fail with
 * "llama_decode failed while scoring tokens", "llama_get_logits_ith returned
 * null while scoring tokens" or "non-finite vocabulary logit"; the scores
 * written by then stay, scored tokens not reached hold negative infinity
 * (flag 0), and the scratch sequences are removed on every path.
 * (Library 5.4.) */
VL_LLAMA_API int32_t vl_llama_score_tokens(vl_llama_runtime *runtime, const uint32_t *tokens,
                                           const size_t *offsets, const size_t *context_counts,
                                           size_t sequence_count, float *out_log_probs,
                                           uint8_t *out_greedy, char *err, size_t err_cap);

/* Appends token_count >= 1 tokens to the retained prefix in sequence 0; or,
 * with restart non-zero or none retained, clears the memory and makes them a
 * new prefix from position 0 (as vl_llama_prefill_shared, but in as many
 * decodes of at most n_batch tokens as they need). On success the prefix is
 * the old one (unless restarted) plus the tokens, and its kept logits are
 * those after the last token, so the suffix scorers continue from there and
 * a text can be walked piece by piece in calls as short as the host likes:
 * the first with restart set, the others without.
 *
 * Rows: for each token k from rows_from on (none when rows_from >=
 * token_count; out_rows may then be NULL), the log-softmax of the next-token
 * logits after it, n_vocab floats (VL_LLAMA_INFO_N_VOCAB), is written to
 * out_rows + (k - rows_from) * n_vocab: entry i is log P(i | prefix + tokens
 * 0 .. k), computed as vl_llama_score_tokens computes a token's score.
 * out_cap counts floats and must hold every row.
 *
 * Every check below comes before the memory changes, in this order:
 * "invalid prefix extension arguments", "llama.cpp context does not expose
 * reusable sequence memory", "token sequence is too large for llama.cpp",
 * "token id exceeds llama.cpp range", "token exceeds vocabulary size", "row
 * output buffer is too small", "tokens do not fit the context window" (the
 * prefix kept plus the tokens exceed the window). A decode can then fail
 * with "llama_decode failed while extending shared prefix",
 * "llama_get_logits_ith returned null while extending shared prefix" or
 * "non-finite vocabulary logit"; the rows written by then stay, and the
 * retained prefix is the one before the call (none after a restart, when
 * none was retained, or when the model's memory cannot remove the new tokens
 * alone). (Library 5.4.) */
VL_LLAMA_API int32_t vl_llama_extend_shared(vl_llama_runtime *runtime, const uint32_t *tokens,
                                            size_t token_count, int32_t restart,
                                            size_t rows_from, float *out_rows, size_t out_cap,
                                            char *err, size_t err_cap);

/* ---- open-time options (library 5.4) -------------------------------------
 * How the model computes, beside vl_llama_config's sizes and threads. The
 * defaults are llama.cpp's own: keys and values kept in F16, and flash
 * attention wherever llama.cpp's automatic choice turns it on. The exact
 * choice (F32 keys and values, no flash attention) computes what the model's
 * own float32 arithmetic computes, as a reference implementation in float32
 * does, at the cost of twice the cache memory and some speed.
 *
 * The struct is versioned by its first field, as its size: a host sets it
 * with VL_LLAMA_OPTIONS_INIT (or sizeof), so that later releases can append
 * options without a new function. The library reads the size bytes the host
 * declares: options past them keep their defaults, and bytes past the
 * options this library knows must be zero (a newer host asking for something
 * this library cannot do is refused rather than ignored). */

/* vl_llama_options.kv_cache_type: how the cache keeps keys and values. */
#define VL_LLAMA_KV_CACHE_F16 0 /* half precision, llama.cpp's default */
#define VL_LLAMA_KV_CACHE_F32 1 /* single precision */

/* vl_llama_options.flash_attention: whether attention runs fused. */
#define VL_LLAMA_FLASH_ATTENTION_AUTO 0 /* llama.cpp's choice for the device */
#define VL_LLAMA_FLASH_ATTENTION_OFF 1  /* never: attention as separate products */

typedef struct vl_llama_options {
    uint32_t size; /* bytes of this struct the host knows: sizeof(vl_llama_options) */
    int32_t kv_cache_type;
    int32_t flash_attention;
} vl_llama_options;

/* The defaults, and the exact choice, as initialisers:
 *     vl_llama_options options = VL_LLAMA_OPTIONS_EXACT; */
#define VL_LLAMA_OPTIONS_INIT \
    { (uint32_t)sizeof(vl_llama_options), VL_LLAMA_KV_CACHE_F16, VL_LLAMA_FLASH_ATTENTION_AUTO }
#define VL_LLAMA_OPTIONS_EXACT \
    { (uint32_t)sizeof(vl_llama_options), VL_LLAMA_KV_CACHE_F32, VL_LLAMA_FLASH_ATTENTION_OFF }

/* vl_llama_open with options; NULL options are the defaults, and then the
 * call is vl_llama_open exactly. The options are checked after model_path
 * and config and before anything is loaded, in this order: "options size is
 * not supported" (a size below 12 bytes, the struct of library 5.4, or above 4096),
 * "options hold settings this library does not know" (a non-zero byte past
 * the options it knows), "unknown kv cache type", "unknown flash attention
 * mode". The runtime keeps the options: vl_llama_reconfigure makes its new
 * context with them too. (Library 5.4.) */
VL_LLAMA_API vl_llama_runtime *vl_llama_open_with_options(const char *model_path,
                                                          const vl_llama_config *config,
                                                          const vl_llama_options *options,
                                                          char *err, size_t err_cap);

/* vl_llama_reconfigure with new options (NULL: the defaults), checked as
 * vl_llama_open_with_options checks them, after "runtime and config are
 * required". The runtime keeps them for later reconfigures once the new
 * context exists; on failure it keeps its context and its options.
 * (Library 5.4.) */
VL_LLAMA_API int32_t vl_llama_reconfigure_with_options(vl_llama_runtime *runtime,
                                                       const vl_llama_config *config,
                                                       const vl_llama_options *options,
                                                       char *err, size_t err_cap);

#ifdef __cplusplus
}
#endif

#endif /* VORLENTA_LLAMA_SHIM_H */
