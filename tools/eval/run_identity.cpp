#include "run_identity.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include <xxhash.h>

namespace vl_eval {
namespace {

std::string hex64(XXH64_hash_t h) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016" PRIx64, static_cast<std::uint64_t>(h));
    return hex;
}

std::string hash_text(const std::string &text) { return hex64(XXH3_64bits(text.data(), text.size())); }

struct file_closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
struct state_deleter {
    void operator()(XXH3_state_t *s) const { XXH3_freeState(s); }
};

// A setting as a reader sees it: strings quoted, a long one shortened.
std::string shown(const nlohmann::ordered_json &value) {
    std::string text = value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    if (text.size() > 60) text = text.substr(0, 57) + "...";
    return text;
}

}  // namespace

std::string hash_file(const std::string &path, std::string &hex, std::uint64_t &size) {
    std::unique_ptr<std::FILE, file_closer> f(std::fopen(path.c_str(), "rb"));
    if (!f) return path + ": cannot read the model file: " + std::strerror(errno);
    std::unique_ptr<XXH3_state_t, state_deleter> state(XXH3_createState());
    if (!state || XXH3_64bits_reset(state.get()) != XXH_OK) return "cannot hash the model file";
    std::vector<char> buffer(1 << 20);
    size = 0;
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), f.get());
        if (n > 0) XXH3_64bits_update(state.get(), buffer.data(), n);
        size += n;
        if (n < buffer.size()) break;
    }
    if (std::ferror(f.get())) return path + ": cannot read the model file: " + std::strerror(errno);
    hex = hex64(XXH3_64bits_digest(state.get()));
    return {};
}

std::string resolved_format(const std::vector<eval_item> &items) {
    std::set<std::string> names;
    for (const eval_item &item : items) names.insert(item.format);
    std::string joined;
    for (const std::string &name : names) joined += (joined.empty() ? "" : "+") + name;
    return joined;
}

evaluation_header describe_evaluation(const evaluation_inputs &in) {
    evaluation_header h;
    auto &s = h.settings;
    s["model"] = in.model_description;
    s["model_xxh3"] = in.model_hash;
    s["model_bytes"] = in.model_bytes;
    s["format"] = in.format;
    s["prompt"] = in.prompt;
    s["system"] = in.system;
    s["preamble_xxh3"] = in.preamble.empty() ? std::string() : hash_text(in.preamble);
    if (!in.examples.empty()) s["fewshot_xxh3"] = hash_text(in.examples);
    s["share"] = in.share;
    s["scorer"] = in.walk ? "walk" : "batch";
    s["n_ctx"] = in.n_ctx;
    s["window"] = in.window;
    s["gpu_layers"] = in.gpu_layers;
    s["rpc_workers"] = in.rpc_workers;
    h.run = hash_text(s.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    return h;
}

std::string settings_differences(const nlohmann::ordered_json &these,
                                 const nlohmann::ordered_json &those) {
    if (!these.is_object() || !those.is_object() || these.empty() || those.empty())
        return "the settings";
    std::string out;
    const auto add = [&](const std::string &name, const std::string &a, const std::string &b) {
        out += (out.empty() ? "" : "; ") + name + ": " + a + ", not " + b;
    };
    for (const auto &[name, value] : these.items()) {
        if (!those.contains(name)) add(name, shown(value), "absent");
        else if (those[name] != value) add(name, shown(value), shown(those[name]));
    }
    for (const auto &[name, value] : those.items())
        if (!these.contains(name)) add(name, "absent", shown(value));
    return out.empty() ? "the settings" : out;
}

}  // namespace vl_eval
