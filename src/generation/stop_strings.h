// Stop strings matched on the text a prompt has generated so far.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <llama.h>

#include "runtime/outcome.h"

namespace vl {

// One prompt's stop strings and the text of its tokens. The text is the one
// vl_llama_decode_tokens gives for all tokens so far (llama_detokenize,
// special tokens not rendered), made again after every token: a token's
// text can depend on the tokens around it (a leading space dropped, spaces
// cleaned up), so pieces appended one by one could differ from it.
class stop_matcher {
public:
    stop_matcher(const llama_vocab *vocab, std::vector<std::string_view> stops)
        : vocab_(vocab), stops_(std::move(stops)) {}

    bool empty() const { return stops_.empty(); }

    // Sets found when the text of tokens holds a stop string.
    outcome check(const std::vector<llama_token> &tokens, bool &found);

private:
    const llama_vocab *vocab_;
    std::vector<std::string_view> stops_;
    std::string text_;
};

}  // namespace vl
