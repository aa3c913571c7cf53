#include "generation/stop_strings.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "text/contained_call.h"

namespace vl {

outcome stop_matcher::check(const std::vector<llama_token> &tokens, bool &found) {
    found = false;
    if (stops_.empty()) return ok;
    const auto n = static_cast<std::int32_t>(tokens.size());
    // The text rarely outgrows the buffer of the previous call: one pass
    // usually suffices, a second one sizes it exactly.
    if (text_.size() < 16) text_.resize(16);
    for (int pass = 0; pass < 2; ++pass) {
        std::int32_t r = 0;
        const auto cap = static_cast<std::int32_t>(
            std::min<std::size_t>(text_.size(), std::numeric_limits<std::int32_t>::max()));
        if (!call_contained([&] {
                return llama_detokenize(vocab_, tokens.data(), n, text_.data(), cap, false, false);
            }, r) || r == std::numeric_limits<std::int32_t>::min())
            return "llama_detokenize failed";
        if (r >= 0) {
            if (r > cap) return "llama_detokenize failed";
            const std::string_view text(text_.data(), static_cast<std::size_t>(r));
            for (std::string_view stop : stops_)
                if (text.find(stop) != std::string_view::npos) {
                    found = true;
                    break;
                }
            return ok;
        }
        text_.resize(static_cast<std::size_t>(-static_cast<std::int64_t>(r)) * 2);
    }
    return "llama_detokenize failed";
}

}  // namespace vl
