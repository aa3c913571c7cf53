// The reader of llama-perplexity's multiple-choice binary task files on any
// bytes: it must never read outside the input, an error must name a byte
// inside it, and a file it reads whole must read back the same when its
// items are written out again in the same layout.
#include <cstdint>
#include <string>
#include <vector>

#include "common/check.h"
#include "tasks/perplexity_formats.h"

namespace {

void put_u32(std::string &out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void put_string(std::string &out, const std::string &s) {
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out += s;
}

// The items as a file again: the right answer labelled 1, an empty second set.
std::string write_back(const std::vector<vl_eval::eval_item> &items) {
    std::vector<std::string> bodies;
    for (const vl_eval::eval_item &item : items) {
        std::string b;
        put_string(b, item.context);
        put_u32(b, static_cast<std::uint32_t>(item.choices.size()));
        for (const std::string &c : item.choices) put_string(b, c);
        for (std::size_t k = 0; k < item.choices.size(); ++k)
            put_u32(b, static_cast<long>(k) == item.label ? 1u : 0u);
        put_u32(b, 0);
        bodies.push_back(b);
    }
    std::string out;
    put_u32(out, static_cast<std::uint32_t>(items.size()));
    std::uint32_t pos = 4 + 4 * static_cast<std::uint32_t>(items.size());
    for (const std::string &b : bodies) {
        put_u32(out, pos);
        pos += static_cast<std::uint32_t>(b.size());
    }
    for (const std::string &b : bodies) out += b;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    vl_eval::looks_like_multiple_choice_binary(data, size);
    const vl_eval::read_result r = vl_eval::parse_multiple_choice_binary(data, size, "f");

    std::size_t text_bytes = 0;
    for (const vl_eval::eval_item &item : r.items) {
        VL_FUZZ_CHECK(item.choices.size() <= vl_eval::max_multiple_choice_answers, "too many answers kept");
        VL_FUZZ_CHECK(item.label >= -1 && item.label < static_cast<long>(item.choices.size()),
                      "label outside the answers");
        text_bytes += item.context.size();
        for (const std::string &c : item.choices) text_bytes += c.size();
    }
    VL_FUZZ_CHECK(text_bytes <= size, "more text than input");

    if (!r.error.empty()) {
        VL_FUZZ_CHECK(r.error.rfind("f: byte ", 0) == 0, "error does not name a byte");
        const unsigned long at = std::stoul(r.error.substr(8));
        VL_FUZZ_CHECK(at <= size, "error names a byte past the end");
        return 0;
    }
    // Read whole: the items written back read the same, except for items
    // with several right answers, which one label cannot carry.
    for (const vl_eval::eval_item &item : r.items)
        if (item.skip_reason == "more than one answer is labelled correct") return 0;
    const std::string again = write_back(r.items);
    const vl_eval::read_result r2 = vl_eval::parse_multiple_choice_binary(
        reinterpret_cast<const unsigned char *>(again.data()), again.size(), "f");
    VL_FUZZ_CHECK(r2.error.empty(), "written-back file is not read whole");
    VL_FUZZ_CHECK(r2.items.size() == r.items.size(), "written-back file has other tasks");
    for (std::size_t i = 0; i < r.items.size(); ++i) {
        VL_FUZZ_CHECK(r2.items[i].context == r.items[i].context, "question differs");
        VL_FUZZ_CHECK(r2.items[i].choices == r.items[i].choices, "answers differ");
        VL_FUZZ_CHECK(r2.items[i].label == r.items[i].label, "label differs");
        VL_FUZZ_CHECK(r2.items[i].skip_reason == r.items[i].skip_reason, "skip reason differs");
    }
    return 0;
}
