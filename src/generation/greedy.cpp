#include "generation/greedy.h"

#include "sequences/trie_walk.h"

namespace vl {

outcome greedy_token(const float *row, std::size_t n, llama_token &token) {
    std::size_t best = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!is_finite(row[i])) return "non-finite vocabulary logit";
        if (row[i] > row[best]) best = i;  // strictly greater: ties keep the lower id
    }
    token = static_cast<llama_token>(best);
    return ok;
}

}  // namespace vl
