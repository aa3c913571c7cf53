#include "results/resume.h"

#include <cstdio>

#include "console/failure.h"

namespace vl_eval {

std::string open_results(const std::string &path, bool resume, const evaluation_header &header,
                         const std::map<std::string, std::string> &wanted, results_writer &writer,
                         std::set<std::string> &done, summary_info &info) {
    if (path.empty()) return {};
    results_read previous;
    if (resume) {
        previous = read_results(path, true);
        if (!previous.error.empty()) return previous.error;
        const auto refuse = [&](const std::string &run) {
            const evaluation_header *theirs = find_header(previous.headers, run);
            return path + ": holds results of another model or settings (run " + run + ", this run " +
                   header.run + "); they differ in " +
                   settings_differences(header.settings,
                                        theirs != nullptr ? theirs->settings : nlohmann::ordered_json()) +
                   ". Resume with the same ones, or write to another file";
        };
        for (const evaluation_header &h : previous.headers)
            if (h.run != header.run) return refuse(h.run);
        std::vector<std::string> changed;
        for (const result_record &r : previous.records) {
            if (r.run != header.run) return refuse(r.run);
            const auto item = wanted.find(r.id);
            if (item == wanted.end()) continue;  // not an item of this run
            if (r.item != item->second) changed.push_back(r.id);
            else if (done.insert(r.id).second) tally(info, r);
        }
        if (!changed.empty())
            return path + ": holds results of items of the task file that changed since they were "
                          "scored: " + name_some(changed) +
                   ". Score them into another file, or remove their lines to score them again";
        if (previous.cut_line != 0)
            std::fprintf(stderr,
                         "vl-eval: %s:%llu: the last line was cut off (a run stopped while writing "
                         "it); its item is scored again\n",
                         path.c_str(), static_cast<unsigned long long>(previous.cut_line));
    }
    if (std::string e = writer.open(path, resume, previous); !e.empty()) return e;
    if (find_header(previous.headers, header.run) == nullptr) return writer.write_line(to_json_line(header));
    return {};
}

}  // namespace vl_eval
