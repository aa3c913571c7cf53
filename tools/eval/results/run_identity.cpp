#include "results/run_identity.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include <xxhash.h>

namespace vl_eval {
namespace {

std::string hex64(XXH64_hash_t h) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016" PRIx64, static_cast<std::uint64_t>(h));
    return hex;
}

struct file_closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
struct state_deleter {
    void operator()(XXH3_state_t *s) const { XXH3_freeState(s); }
};

std::string dumped(const nlohmann::ordered_json &value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// A setting as a reader sees it: strings quoted, a long one shortened.
std::string shown(const nlohmann::ordered_json &value) {
    std::string text = dumped(value);
    if (text.size() > 60) text = text.substr(0, 57) + "...";
    return text;
}

}  // namespace

std::string hash_text(const std::string &text) { return hex64(XXH3_64bits(text.data(), text.size())); }

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

std::string item_hash(const eval_item &item) {
    std::string text;
    const auto add = [&](const std::string &field) { text += std::to_string(field.size()) + ":" + field + ";"; };
    add(item.system);
    add(item.description);
    add(item.context);
    text += std::to_string(item.choices.size()) + ";";
    for (const std::string &choice : item.choices) add(choice);
    text += std::to_string(item.label);
    // A filled blank's text after it, where there is one (the hash of other
    // items stays as it was).
    if (item.fill_in) {
        text += ";blank;";
        add(item.after_blank);
    }
    return hash_text(text);
}

evaluation_header identify(nlohmann::ordered_json settings) {
    evaluation_header h;
    h.run = hash_text(dumped(settings));
    h.settings = std::move(settings);
    return h;
}

std::string to_json_line(const evaluation_header &h) {
    nlohmann::ordered_json o;
    o["evaluation"] = h.settings;
    o["run"] = h.run;
    return dumped(o) + "\n";
}

bool parse_header_line(const std::string &line, evaluation_header &h) {
    const nlohmann::ordered_json o = nlohmann::ordered_json::parse(line, nullptr, false);
    if (o.is_discarded() || !o.is_object() || o.contains("id") || !o.contains("evaluation"))
        return false;
    const auto &settings = o["evaluation"];
    const auto run = o.find("run");
    if (!settings.is_object() || run == o.end() || !run->is_string()) return false;
    h.settings = settings;
    h.run = run->get<std::string>();
    return true;
}

const evaluation_header *find_header(const std::vector<evaluation_header> &headers,
                                     const std::string &run) {
    for (const evaluation_header &h : headers)
        if (h.run == run) return &h;
    return nullptr;
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
