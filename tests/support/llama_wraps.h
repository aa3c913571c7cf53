// Test-only wrappers around llama.cpp, installed with the linker's --wrap.
// Every wrapper counts its calls and, when a test sets a fake, calls the fake
// instead of llama.cpp; otherwise it calls the real function. Fakes and
// counters are reset before every test.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <llama.h>

namespace vl_test {

#define VL_WRAPPED_FUNCTIONS(X)                                                                   \
    X(void, llama_backend_init, (), ())                                                           \
    X(llama_model *, llama_model_load_from_file, (const char *path, llama_model_params p),         \
      (path, p))                                                                                   \
    X(const llama_vocab *, llama_model_get_vocab, (const llama_model *m), (m))                     \
    X(const char *, llama_model_chat_template, (const llama_model *m, const char *name), (m, name)) \
    X(int32_t, llama_model_desc, (const llama_model *m, char *buf, size_t size), (m, buf, size))   \
    X(void, llama_model_free, (llama_model * m), (m))                                             \
    X(llama_context *, llama_init_from_model, (llama_model * m, llama_context_params p), (m, p))   \
    X(void, llama_free, (llama_context * c), (c))                                                 \
    X(void, llama_set_n_threads, (llama_context * c, int32_t t, int32_t tb), (c, t, tb))          \
    X(uint32_t, llama_n_ubatch, (const llama_context *c), (c))                                    \
    X(bool, llama_get_causal_attn, (const llama_context *c), (c))                                 \
    X(int32_t, llama_chat_apply_template,                                                         \
      (const char *tmpl, const llama_chat_message *chat, size_t n, bool add_ass, char *buf,        \
       int32_t length),                                                                            \
      (tmpl, chat, n, add_ass, buf, length))                                                       \
    X(int32_t, llama_tokenize,                                                                    \
      (const llama_vocab *v, const char *text, int32_t len, llama_token *tokens, int32_t max,      \
       bool add_special, bool parse_special),                                                      \
      (v, text, len, tokens, max, add_special, parse_special))                                     \
    X(int32_t, llama_detokenize,                                                                  \
      (const llama_vocab *v, const llama_token *tokens, int32_t n, char *text, int32_t max,        \
       bool remove_special, bool unparse_special),                                                 \
      (v, tokens, n, text, max, remove_special, unparse_special))                                  \
    X(int32_t, llama_vocab_n_tokens, (const llama_vocab *v), (v))                                 \
    X(bool, llama_vocab_is_eog, (const llama_vocab *v, llama_token t), (v, t))                    \
    X(llama_batch, llama_batch_init, (int32_t n, int32_t embd, int32_t n_seq), (n, embd, n_seq))  \
    X(void, llama_batch_free, (llama_batch b), (b))                                               \
    X(int32_t, llama_decode, (llama_context * c, llama_batch b), (c, b))                          \
    X(float *, llama_get_logits_ith, (llama_context * c, int32_t i), (c, i))                      \
    X(llama_memory_t, llama_get_memory, (const llama_context *c), (c))                            \
    X(void, llama_memory_clear, (llama_memory_t m, bool data), (m, data))                         \
    X(bool, llama_memory_seq_rm, (llama_memory_t m, llama_seq_id s, llama_pos p0, llama_pos p1),  \
      (m, s, p0, p1))                                                                              \
    X(void, llama_memory_seq_cp,                                                                  \
      (llama_memory_t m, llama_seq_id src, llama_seq_id dst, llama_pos p0, llama_pos p1),          \
      (m, src, dst, p0, p1))

// The real llama.cpp functions, for fakes that pass calls on.
namespace real {
#define VL_DECLARE_REAL(ret, name, params, args) ret name params;
VL_WRAPPED_FUNCTIONS(VL_DECLARE_REAL)
#undef VL_DECLARE_REAL
}  // namespace real

struct fake_set {
#define VL_DECLARE_FAKE(ret, name, params, args) std::function<ret params> name;
    VL_WRAPPED_FUNCTIONS(VL_DECLARE_FAKE)
#undef VL_DECLARE_FAKE
};

struct call_counts {
#define VL_DECLARE_COUNT(ret, name, params, args) int name = 0;
    VL_WRAPPED_FUNCTIONS(VL_DECLARE_COUNT)
#undef VL_DECLARE_COUNT
};

// Fakes installed by the running test.
fake_set &fakes();
// Calls made since the test started (or since reset_counts).
call_counts &counts();
void reset_counts();

// One recorded llama.cpp call, for tests of call order and batch layout.
struct traced_call {
    explicit traced_call(std::string n) : name(std::move(n)) {}
    std::string name;                        // function name
    std::vector<llama_token> tokens;         // llama_decode: the batch tokens
    std::vector<llama_pos> positions;        // llama_decode: positions
    std::vector<llama_seq_id> seqs;          // llama_decode: first sequence id per token
    std::vector<std::vector<llama_seq_id>> seq_sets;  // llama_decode: every sequence id per token
    std::vector<int8_t> logits;              // llama_decode: output flags
    llama_seq_id seq = -1;                   // llama_memory_seq_rm / seq_cp: (dst) sequence
    llama_pos p0 = 0, p1 = 0;                // llama_memory_seq_rm / seq_cp
};
// Starts recording calls of decode, batch init/free and memory operations.
void start_trace();
std::vector<traced_call> &trace();
// The names of the traced calls, in order.
std::vector<std::string> traced_names();

}  // namespace vl_test
