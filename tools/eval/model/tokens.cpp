#include "model/tokens.h"

#include "vorlenta_llama_shim.h"

namespace vl_eval {
namespace {

// The library leaves err empty when memory ran out.
std::string library_error(const char *err) { return err[0] != '\0' ? std::string(err) : "out of memory"; }

}  // namespace

std::string tokenize_raw(const vl_llama_runtime *runtime, const std::string &text,
                         std::vector<std::uint32_t> &out) {
    out.clear();
    // The start token is put first here rather than by the tokenizer, which
    // would also append an end token where the vocabulary adds one.
    const int64_t start = vl_llama_model_info(runtime, VL_LLAMA_INFO_START_TOKEN);
    if (start >= 0) out.push_back(static_cast<std::uint32_t>(start));
    if (text.empty()) return {};
    char err[256] = "";
    const int64_t n = vl_llama_tokenize(runtime, text.data(), text.size(), 0, 0, nullptr, 0, err, sizeof err);
    if (n < 0) return library_error(err);
    const std::size_t head = out.size();
    out.resize(head + static_cast<std::size_t>(n));
    const int64_t m = vl_llama_tokenize(runtime, text.data(), text.size(), 0, 0, out.data() + head,
                                        static_cast<std::size_t>(n), err, sizeof err);
    if (m != n) {
        out.resize(head);
        return m < 0 ? library_error(err) : "tokenization changed between calls";
    }
    return {};
}

std::int64_t conditioning_token(const vl_llama_runtime *runtime) {
    for (int32_t what : {VL_LLAMA_INFO_START_TOKEN, VL_LLAMA_INFO_BOS_TOKEN, VL_LLAMA_INFO_EOS_TOKEN})
        if (const int64_t token = vl_llama_model_info(runtime, what); token >= 0) return token;
    return -1;
}

std::string encode_chat(vl_llama_runtime *runtime, const std::string &system, const std::string &user,
                        const char *prefix, std::vector<std::uint32_t> &out) {
    char err[256] = "";
    const int64_t n = vl_llama_encode_chat(runtime, system.c_str(), user.c_str(), prefix, nullptr, 0,
                                           err, sizeof err);
    if (n < 0) return library_error(err);
    out.assign(static_cast<std::size_t>(n), 0);
    const int64_t m = vl_llama_encode_chat(runtime, system.c_str(), user.c_str(), prefix, out.data(),
                                           out.size(), err, sizeof err);
    if (m != n) return m < 0 ? library_error(err) : "chat encoding changed between calls";
    return {};
}

}  // namespace vl_eval
