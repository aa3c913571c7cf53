#include "results/summarize.h"

#include <cstdio>
#include <map>

#include "console/failure.h"
#include "results/results_reader.h"
#include "results/run_identity.h"
#include "results/summary.h"
#include "tasks/task_formats.h"

namespace vl_eval {
namespace {

int stop(const std::string &message) { return fail(message, "vl-eval summarize"); }

}  // namespace

int run_summarize(const summarize_options &o) {
    struct source {
        result_record record;
        std::string file;
    };
    std::map<std::string, source> merged;
    std::vector<std::string> conflicts;
    std::string run, run_file;
    std::vector<evaluation_header> headers;
    for (const std::string &file : o.results) {
        results_read read = read_results(file, false);
        if (!read.error.empty()) return stop(read.error);
        if (read.cut_line != 0)
            return stop(file + ":" + std::to_string(read.cut_line) +
                        ": the last line was cut off (a run stopped while writing it); "
                        "finish the run with --resume first");
        headers.insert(headers.end(), read.headers.begin(), read.headers.end());
        for (result_record &r : read.records) {
            if (run.empty()) {
                run = r.run;
                run_file = file;
            } else if (r.run != run) {
                const evaluation_header *a = find_header(headers, run), *b = find_header(headers, r.run);
                return stop("results of different models or settings: " + run_file + " (run " + run +
                            ") and " + file + " (run " + r.run + ", id " + r.id + "); they differ in " +
                            settings_differences(a ? a->settings : nlohmann::ordered_json(),
                                                 b ? b->settings : nlohmann::ordered_json()));
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
        return stop("results for the same ids differ: " + name_some(conflicts));

    summary_info info;
    // The model's description, from the header of the evaluation merged.
    const evaluation_header *header = find_header(headers, run);
    info.model = header != nullptr && header->settings.contains("model") &&
                         header->settings["model"].is_string()
                     ? header->settings["model"].get<std::string>()
                     : "(from results files)";
    info.model_path = "";
    info.run = run;
    info.configuration = {{"results", o.results}};
    for (const auto &[id, s] : merged) tally(info, s.record);
    info.items = merged.size();

    int status = 0;
    if (!o.tasks.empty()) {
        const task_format *format = find_task_format(o.format);
        if (format == nullptr) return stop("unknown --format '" + o.format + "'");
        const read_result tasks = format->read(o.tasks);
        if (!tasks.error.empty()) return stop(tasks.error);
        std::vector<std::string> missing, extra, changed;
        std::map<std::string, bool> known;
        for (const eval_item &item : tasks.items) {
            known[item.id] = true;
            const auto result = merged.find(item.id);
            if (result == merged.end()) missing.push_back(item.id);
            else if (result->second.record.item != item_hash(item)) changed.push_back(item.id);
        }
        for (const auto &[id, s] : merged)
            if (!known.count(id)) extra.push_back(id);
        info.items = tasks.items.size();
        info.configuration["tasks"] = o.tasks;
        if (!extra.empty())
            return stop(std::to_string(extra.size()) + " results have ids that " + o.tasks +
                        " does not have: " + name_some(extra));
        if (!changed.empty())
            return stop(std::to_string(changed.size()) + " results are of items of " + o.tasks +
                        " that changed since they were scored: " + name_some(changed));
        if (!missing.empty()) {
            info.error = std::to_string(missing.size()) + " items of " + o.tasks +
                         " have no results: " + name_some(missing);
            status = 1;
        }
    }
    print_summary(stdout, info);
    if (!o.summary.empty())
        if (std::string e = write_summary(o.summary, info); !e.empty()) return stop(e);
    if (status != 0) return stop(info.error);
    return 0;
}

}  // namespace vl_eval
