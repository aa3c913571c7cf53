// vl_llama_apply_chat_template and vl_llama_chat_template with any
// conversation a host may pass: roles and contents of any bytes (null ones
// too), any count and output capacity, under the templates of many families
// that llama.cpp's engine knows and under template texts of any bytes. Every
// call succeeds with a size query and a fill that agree, or fails with one
// of the documented messages; nothing aborts.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/check.h"
#include "common/fixture_target.h"
#include "common/host_inputs.h"
#include "common/input_reader.h"
#include "runtime/runtime.h"
#include "vorlenta_llama_shim.h"

using namespace vl_fuzz;

namespace {

// Template texts llama.cpp's engine recognises (by name or by markers), and
// none at all.
const char *const templates[] = {
    "chatml", "llama2", "llama2-sys", "mistral-v7", "phi3", "phi4", "zephyr", "monarch", "gemma", "orion",
    "openchat", "vicuna", "deepseek", "deepseek2", "deepseek3", "command-r", "llama3", "chatglm4", "minicpm",
    "exaone3", "granite", "gigachat", "megrez", "yandex", "bailing", "llama4", "smolvlm", "hunyuan-moe",
    "kimi-k2", "seed_oss", "grok-2", "{% for m in messages %}<|im_start|>{{ m.role }}{% endfor %}", "",
};

const std::set<std::string> messages = {
    "invalid chat arguments",
    "GGUF model does not expose a llama.cpp-supported chat template",
    "llama_chat_apply_template failed while sizing output",
    "llama_chat_apply_template failed",
    "chat text output buffer is too small",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    vl_llama_runtime *rt = fixture_runtime();
    input_reader in(data, size);
    const std::uint8_t pick = in.u8();
    const std::string saved = rt->chat_template;
    rt->chat_template = pick < 0xF0 ? templates[pick % (sizeof templates / sizeof *templates)] : read_text(in, 23);

    const char *const roles[] = {"system", "user", "assistant", "tool", "", "function"};
    const std::size_t count = in.u8() % 7;
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < 2 * count; ++i) {
        const std::uint8_t b = in.u8();
        texts.push_back(i % 2 == 0 && b < 0xE0 ? roles[b % 6] : read_text(in, 23));
    }
    std::vector<vl_llama_message> chat(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t nulls = in.u8();
        chat[i].role = nulls == 0xFF ? nullptr : texts[2 * i].c_str();
        chat[i].content = nulls == 0xFE ? nullptr : texts[2 * i + 1].c_str();
    }
    const bool open_turn = in.flag();
    const vl_llama_message *list = (count == 0 && in.flag()) ? nullptr : chat.data();

    char err[256] = "";
    const std::int64_t length = vl_llama_apply_chat_template(rt, list, count, open_turn, nullptr, 0, err, sizeof err);
    if (length < 0) {
        VL_FUZZ_CHECK(messages.count(err) == 1, "a documented message");
    } else {
        // Filled with the size asked, or a capacity around it.
        const std::size_t cap = static_cast<std::size_t>(length) + 1 - (in.flag() ? 1 : 0);
        std::vector<char> out(cap + 1, '#');
        const std::int64_t filled =
            vl_llama_apply_chat_template(rt, list, count, open_turn, out.data(), cap, err, sizeof err);
        if (cap == static_cast<std::size_t>(length) + 1) {
            VL_FUZZ_CHECK(filled == length && out[static_cast<std::size_t>(length)] == '\0', "the fill agrees");
        } else {
            VL_FUZZ_CHECK(cap == 0 ? filled == length
                                   : filled == -1 && std::strcmp(err, "chat text output buffer is too small") == 0,
                          "a short buffer is refused");
        }
        VL_FUZZ_CHECK(out[cap] == '#', "nothing written past the capacity");
    }

    const std::int64_t n = vl_llama_chat_template(rt, nullptr, 0, err, sizeof err);
    VL_FUZZ_CHECK(n == static_cast<std::int64_t>(rt->chat_template.size()), "the template's length");
    rt->chat_template = saved;
    return 0;
}
