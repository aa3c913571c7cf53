#include "summarize.h"

#include <cstdio>
#include <map>

#include "results_file.h"
#include "summary.h"
#include "task_formats.h"

namespace vl_eval {
namespace {

int fail(const std::string &message) {
    std::fprintf(stderr, "vl-eval summarize: %s\n", message.c_str());
    return 1;
}

// At most a few names, then how many more.
std::string name_some(const std::vector<std::string> &ids) {
    std::string text;
    const std::size_t shown = std::min<std::size_t>(ids.size(), 10);
    for (std::size_t i = 0; i < shown; ++i) text += (i ? ", " : "") + ids[i];
    if (ids.size() > shown) text += " and " + std::to_string(ids.size() - shown) + " more";
    return text;
}

}  // namespace

int run_summarize(const summarize_options &o) {
    struct source {
        result_record record;
        std::string file;
    };
    std::map<std::string, source> merged;
    std::vector<std::string> conflicts;
    std::string run, run_file;
    for (const std::string &file : o.results) {
        results_read read = read_results(file, false);
        if (!read.error.empty()) return fail(read.error);
        for (result_record &r : read.records) {
            if (run.empty()) {
                run = r.run;
                run_file = file;
            } else if (r.run != run) {
                return fail("results of different models or settings: " + run_file + " (run " + run +
                            ") and " + file + " (run " + r.run + ", id " + r.id + ")");
            }
            auto it = merged.find(r.id);
            if (it == merged.end()) {
                const std::string id = r.id;
                merged.emplace(id, source{std::move(r), file});
            } else if (!same_outcome(it->second.record, r)) {
                conflicts.push_back(r.id + " (" + it->second.file + ", " + file + ")");
            }
        }
    }
    if (!conflicts.empty())
        return fail("results for the same ids differ: " + name_some(conflicts));

    summary_info info;
    info.model = "(from results files)";
    info.model_path = "";
    info.run = run;
    info.configuration = {{"results", o.results}};
    for (const auto &[id, s] : merged) tally(info, s.record);
    info.items = merged.size();

    int status = 0;
    if (!o.tasks.empty()) {
        const task_format *format = find_task_format(o.format);
        if (format == nullptr) return fail("unknown --format '" + o.format + "'");
        const read_result tasks = format->read(o.tasks);
        if (!tasks.error.empty()) return fail(tasks.error);
        std::vector<std::string> missing, extra;
        std::map<std::string, bool> known;
        for (const eval_item &item : tasks.items) {
            known[item.id] = true;
            if (!merged.count(item.id)) missing.push_back(item.id);
        }
        for (const auto &[id, s] : merged)
            if (!known.count(id)) extra.push_back(id);
        info.items = tasks.items.size();
        info.configuration["tasks"] = o.tasks;
        if (!extra.empty())
            return fail(std::to_string(extra.size()) + " results have ids that " + o.tasks +
                        " does not have: " + name_some(extra));
        if (!missing.empty()) {
            info.error = std::to_string(missing.size()) + " items of " + o.tasks +
                         " have no results: " + name_some(missing);
            status = 1;
        }
    }
    print_summary(stdout, info);
    if (!o.summary.empty())
        if (std::string e = write_summary(o.summary, info); !e.empty()) return fail(e);
    if (status != 0) return fail(info.error);
    return 0;
}

}  // namespace vl_eval
