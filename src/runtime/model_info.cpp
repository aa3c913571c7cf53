// vl_llama_model_info: facts about the loaded model a host needs to lay out
// and size its prompts without a llama.cpp handle of its own. A query like
// the capability queries: it never fails and changes nothing.
#include <llama.h>

#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

namespace vl {
namespace {

constexpr std::int64_t absent = -1;

// The special token the vocabulary adds when tokenization is asked to add
// them, or absent: the same condition llama.cpp's tokenizer applies.
std::int64_t added_token(bool adds, llama_token token) {
    return adds && token != LLAMA_TOKEN_NULL && token >= 0 ? token : absent;
}

// A special token of the vocabulary, added or not, or absent: llama.cpp
// reports none as LLAMA_TOKEN_NULL, and an id outside the vocabulary is none.
std::int64_t vocabulary_token(const llama_vocab *vocab, llama_token token) {
    return token != LLAMA_TOKEN_NULL && token >= 0 && token < llama_vocab_n_tokens(vocab) ? token
                                                                                          : absent;
}

std::int64_t model_info(const vl_llama_runtime *runtime, std::int32_t what) {
    if (runtime == nullptr || runtime->model == nullptr || runtime->vocab == nullptr) return absent;
    switch (what) {
    case VL_LLAMA_INFO_N_CTX_TRAIN:
        return llama_model_n_ctx_train(runtime->model);
    case VL_LLAMA_INFO_HAS_CHAT_TEMPLATE:
        // The template vl_llama_encode_chat lays prompts out with.
        return runtime->chat_template.empty() ? 0 : 1;
    case VL_LLAMA_INFO_START_TOKEN:
        return added_token(llama_vocab_get_add_bos(runtime->vocab), llama_vocab_bos(runtime->vocab));
    case VL_LLAMA_INFO_END_TOKEN:
        return added_token(llama_vocab_get_add_eos(runtime->vocab), llama_vocab_eos(runtime->vocab));
    case VL_LLAMA_INFO_N_VOCAB:
        return llama_vocab_n_tokens(runtime->vocab);
    case VL_LLAMA_INFO_BOS_TOKEN:
        return vocabulary_token(runtime->vocab, llama_vocab_bos(runtime->vocab));
    case VL_LLAMA_INFO_EOS_TOKEN:
        return vocabulary_token(runtime->vocab, llama_vocab_eos(runtime->vocab));
    default:
        return absent;
    }
}

}  // namespace
}  // namespace vl

extern "C" VL_LLAMA_API int64_t vl_llama_model_info(const vl_llama_runtime *runtime, int32_t what) {
    try {
        return vl::model_info(runtime, what);
    } catch (...) {
        return -1;  // llama.cpp's getters do not throw; nothing may cross the boundary
    }
}
