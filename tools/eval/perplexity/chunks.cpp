#include "perplexity/chunks.h"

#include <cmath>

#include "vorlenta_llama_shim.h"

namespace vl_eval {

chunk_sequences chunk_tasks(const std::vector<std::uint32_t> &tokens, const chunk_layout &layout,
                            std::size_t begin, std::size_t end) {
    chunk_sequences b;
    b.tokens.assign(tokens.begin() + static_cast<long>(begin * layout.n_ctx),
                    tokens.begin() + static_cast<long>(end * layout.n_ctx));
    for (std::size_t c = begin; c < end; ++c) {
        const std::size_t at = b.offsets.back();
        if (layout.bos >= 0) b.tokens[at] = static_cast<std::uint32_t>(layout.bos);
        b.offsets.push_back(at + layout.n_ctx);
        // Counted: the tokens predicted from positions first() .. n_ctx - 2.
        b.context_counts.push_back(layout.first() + 1);
    }
    return b;
}

std::string score_chunks(vl_llama_runtime *runtime, const std::vector<std::uint32_t> &tokens,
                         const chunk_layout &layout, std::size_t begin, std::size_t end,
                         std::vector<chunk_result> &out) {
    if (begin >= end || end * layout.n_ctx > tokens.size() || layout.n_ctx < 3)
        return "chunks outside the text";
    const chunk_sequences b = chunk_tasks(tokens, layout, begin, end);
    std::vector<float> log_probs(b.tokens.size());
    char err[256] = "";
    if (vl_llama_score_tokens(runtime, b.tokens.data(), b.offsets.data(), b.context_counts.data(), end - begin,
                              log_probs.data(), nullptr, err, sizeof err) != 0)
        return std::string("scoring chunks ") + std::to_string(begin + 1) + ".." +
               std::to_string(end) + " failed: " + (err[0] ? err : "out of memory");
    for (std::size_t c = begin; c < end; ++c) {
        chunk_result r;
        r.chunk = c;
        r.count = layout.counted();
        const float *lp = log_probs.data() + (c - begin) * layout.n_ctx;
        for (std::size_t k = layout.first() + 1; k < layout.n_ctx; ++k) {
            const double v = -static_cast<double>(lp[k]);
            r.nll += v;
            r.nll2 += v * v;
        }
        if (!std::isfinite(r.nll) || !std::isfinite(r.nll2))
            return "the model gave a non-finite score in chunk " + std::to_string(c + 1);
        out.push_back(r);
    }
    return {};
}

void perplexity_sums::add(const chunk_result &r) {
    nll += r.nll;
    nll2 += r.nll2;
    count += r.count;
}

double perplexity_sums::perplexity() const {
    return count ? std::exp(nll / static_cast<double>(count)) : NAN;
}

double perplexity_sums::uncertainty() const {
    if (count < 2) return NAN;
    const double n = static_cast<double>(count);
    const double mean = nll / n;
    const double var = nll2 / n - mean * mean;
    if (!(var > 0)) return NAN;
    return std::sqrt(var / (n - 1)) * std::exp(mean);
}

}  // namespace vl_eval
