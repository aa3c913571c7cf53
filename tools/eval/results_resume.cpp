#include "results_resume.h"

#include <cstdio>

#include "run_identity.h"

namespace vl_eval {

const evaluation_header *find_header(const std::vector<evaluation_header> &headers,
                                     const std::string &run) {
    for (const evaluation_header &h : headers)
        if (h.run == run) return &h;
    return nullptr;
}

std::string open_results(const eval_options &o, const evaluation_header &header,
                         const std::set<std::string> &wanted, results_writer &writer,
                         std::set<std::string> &done, summary_info &info) {
    if (o.out.empty()) return o.resume ? "--resume needs --out" : "";
    results_read previous;
    if (o.resume) {
        previous = read_results(o.out, true);
        if (!previous.error.empty()) return previous.error;
        const auto refuse = [&](const std::string &run) {
            const evaluation_header *theirs = find_header(previous.headers, run);
            return o.out + ": holds results of another model or settings (run " + run + ", this run " +
                   header.run + "); they differ in " +
                   settings_differences(header.settings,
                                        theirs != nullptr ? theirs->settings : nlohmann::ordered_json()) +
                   ". Resume with the same ones, or write to another file";
        };
        for (const evaluation_header &h : previous.headers)
            if (h.run != header.run) return refuse(h.run);
        for (const result_record &r : previous.records) {
            if (r.run != header.run) return refuse(r.run);
            if (wanted.count(r.id) && done.insert(r.id).second) tally(info, r);
        }
        if (previous.cut_line != 0)
            std::fprintf(stderr,
                         "vl-eval: %s:%llu: the last line was cut off (a run stopped while writing "
                         "it); its item is scored again\n",
                         o.out.c_str(), static_cast<unsigned long long>(previous.cut_line));
    }
    if (std::string e = writer.open(o.out, o.resume, previous); !e.empty()) return e;
    if (find_header(previous.headers, header.run) == nullptr) return writer.write(header);
    return {};
}

}  // namespace vl_eval
