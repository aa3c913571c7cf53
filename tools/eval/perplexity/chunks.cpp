#include "perplexity/chunks.h"

#include <cmath>

#include "vorlenta_llama_shim.h"

namespace vl_eval {

sequence_batch chunk_tasks(const std::vector<std::uint32_t> &tokens, const chunk_layout &layout,
                           std::size_t begin, std::size_t end) {
    sequence_batch b;
    const std::size_t first = layout.first(), counted = layout.counted();
    b.context_tokens.reserve((end - begin) * (first + 1));
    b.sequence_tokens.reserve((end - begin) * counted * (counted + 1) / 2);
    for (std::size_t c = begin; c < end; ++c) {
        const std::uint32_t *chunk = tokens.data() + c * layout.n_ctx;
        b.context_tokens.insert(b.context_tokens.end(), chunk, chunk + first + 1);
        if (layout.bos >= 0)
            b.context_tokens[b.context_tokens.size() - first - 1] =
                static_cast<std::uint32_t>(layout.bos);
        b.context_offsets.push_back(b.context_tokens.size());
        // Candidate k is the k tokens after the context, k = 1 .. counted.
        for (std::size_t k = 1; k <= counted; ++k) {
            b.sequence_tokens.insert(b.sequence_tokens.end(), chunk + first + 1,
                                     chunk + first + 1 + k);
            b.sequence_offsets.push_back(b.sequence_tokens.size());
        }
        b.task_offsets.push_back(b.sequence_offsets.size() - 1);
    }
    return b;
}

std::string score_chunks(vl_llama_runtime *runtime, const std::vector<std::uint32_t> &tokens,
                         const chunk_layout &layout, std::size_t begin, std::size_t end,
                         std::vector<chunk_result> &out) {
    if (begin >= end || end * layout.n_ctx > tokens.size() || layout.n_ctx < 3)
        return "chunks outside the text";
    const sequence_batch b = chunk_tasks(tokens, layout, begin, end);
    std::vector<float> scores(b.sequence_offsets.size() - 1);
    char err[256] = "";
    if (vl_llama_score_sequence_batch(runtime, b.context_tokens.data(), b.context_offsets.data(),
                                      b.sequence_tokens.data(), b.sequence_offsets.data(),
                                      b.task_offsets.data(), end - begin, scores.data(), nullptr,
                                      err, sizeof err) != 0)
        return std::string("scoring chunks ") + std::to_string(begin + 1) + ".." +
               std::to_string(end) + " failed: " + (err[0] ? err : "out of memory");
    const std::size_t counted = layout.counted();
    for (std::size_t c = begin; c < end; ++c) {
        chunk_result r;
        r.chunk = c;
        r.count = counted;
        const float *s = scores.data() + (c - begin) * counted;
        double previous = 0;
        for (std::size_t k = 0; k < counted; ++k) {
            // The log-probability of one token: what it adds to its prefix.
            const double v = previous - static_cast<double>(s[k]);
            previous = s[k];
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
