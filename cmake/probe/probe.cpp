// Every llama.cpp declaration the library relies on, used once so that a
// llama.cpp without one of them fails to compile here.
#include <llama.h>

int main() {
    llama_context_params cp = llama_context_default_params();
    cp.kv_unified = true;
    llama_model_params mp = llama_model_default_params();
    mp.n_gpu_layers = 0;
    llama_backend_init();
    llama_model* model = llama_model_load_from_file("", mp);
    const llama_vocab* vocab = llama_model_get_vocab(model);
    (void)llama_model_chat_template(model, nullptr);
    char buf[8];
    (void)llama_model_desc(model, buf, sizeof buf);
    llama_context* ctx = llama_init_from_model(model, cp);
    (void)(llama_n_ctx(ctx) + llama_n_ctx_seq(ctx) + llama_n_batch(ctx) + llama_n_seq_max(ctx) +
           llama_n_ubatch(ctx));
    (void)llama_get_causal_attn(ctx);
    llama_set_n_threads(ctx, 1, 1);
    llama_chat_message msg{"user", "hi"};
    (void)llama_chat_apply_template("", &msg, 1, true, buf, sizeof buf);
    llama_token tok[4];
    (void)llama_tokenize(vocab, "hi", 2, tok, 4, true, true);
    (void)llama_detokenize(vocab, tok, 1, buf, sizeof buf, false, false);
    (void)llama_vocab_n_tokens(vocab);
    llama_batch one = llama_batch_get_one(tok, 1);
    llama_batch b = llama_batch_init(1, 0, 1);
    (void)llama_decode(ctx, one);
    (void)llama_get_logits_ith(ctx, -1);
    llama_batch_free(b);
    llama_memory_t mem = llama_get_memory(ctx);
    llama_memory_clear(mem, true);
    (void)llama_memory_seq_rm(mem, 1, -1, -1);
    llama_memory_seq_cp(mem, 0, 1, 0, -1);
    (void)(llama_memory_seq_pos_min(mem, 0) + llama_memory_seq_pos_max(mem, 0));
    llama_free(ctx);
    llama_model_free(model);
    return 0;
}
