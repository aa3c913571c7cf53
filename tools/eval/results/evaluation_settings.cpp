#include "results/evaluation_settings.h"

#include <set>

#include "model/model_runtime.h"

namespace vl_eval {

std::string resolved_format(const std::vector<eval_item> &items) {
    std::set<std::string> names;
    for (const eval_item &item : items) names.insert(item.format);
    std::string joined;
    for (const std::string &name : names) joined += (joined.empty() ? "" : "+") + name;
    return joined;
}

evaluation_header describe_evaluation(const evaluation_inputs &in) {
    nlohmann::ordered_json s;
    s["model"] = in.model_description;
    s["model_xxh3"] = in.model_hash;
    s["model_bytes"] = in.model_bytes;
    s["format"] = in.format;
    s["prompt"] = in.prompt;
    s["system"] = in.system;
    s["preamble_xxh3"] = in.preamble.empty() ? std::string() : hash_text(in.preamble);
    if (!in.examples.empty()) s["fewshot_xxh3"] = hash_text(in.examples);
    if (!in.blanks.empty()) s["winogrande"] = in.blanks;
    s["share"] = in.share;
    s["scorer"] = in.walk ? "walk" : "batch";
    s["n_ctx"] = in.n_ctx;
    s["window"] = in.window;
    s["gpu_layers"] = in.gpu_layers;
    s["rpc_workers"] = in.rpc_workers;
    describe_compute(in.exact, s);
    return identify(std::move(s));
}

}  // namespace vl_eval
