#include "results/summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace vl_eval {

using json = nlohmann::json;

void tally(summary_info &info, const result_record &record) {
    group_summary *group = record.group.empty() ? nullptr : &info.groups[record.group];
    if (!record.skipped.empty()) {
        ++info.skipped;
        ++info.skip_reasons[record.skipped];
        if (group) ++group->skipped;
        return;
    }
    ++info.scored;
    for (std::size_t m = 0; m < metric_count; ++m) info.metrics[m].add(record.correct[m]);
    if (group) {
        ++group->scored;
        for (std::size_t m = 0; m < metric_count; ++m) group->metrics[m].add(record.correct[m]);
    }
}

namespace {

json number_or_null(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

std::string number_text(double v, const char *format) {
    if (!std::isfinite(v)) return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

json metrics_json(const std::array<accuracy, metric_count> &metrics) {
    json o = json::object();
    for (std::size_t m = 0; m < metric_count; ++m)
        o[metric_names[m]] = {{"value", number_or_null(metrics[m].mean())},
                              {"stderr", number_or_null(metrics[m].stderr_of_mean())}};
    return o;
}

// One row per group: its counts, then each metric as value and stderr.
void print_groups(std::FILE *out, const std::map<std::string, group_summary> &groups) {
    int width = 5;
    for (const auto &[name, g] : groups) width = std::max(width, static_cast<int>(name.size()));
    width = std::min(width, 60);
    std::fprintf(out, "\n| %-*s | scored | skipped |", width, "group");
    for (std::size_t m = 0; m < metric_count; ++m) std::fprintf(out, " %-16s |", metric_names[m]);
    std::fprintf(out, "\n|%s|--------|---------|", std::string(static_cast<std::size_t>(width) + 2, '-').c_str());
    for (std::size_t m = 0; m < metric_count; ++m) std::fprintf(out, "------------------|");
    std::fprintf(out, "\n");
    for (const auto &[name, g] : groups) {
        std::fprintf(out, "| %-*s | %6llu | %7llu |", width, name.c_str(),
                     static_cast<unsigned long long>(g.scored),
                     static_cast<unsigned long long>(g.skipped));
        for (std::size_t m = 0; m < metric_count; ++m)
            std::fprintf(out, " %6s +- %-6s |", number_text(g.metrics[m].mean(), "%.4f").c_str(),
                         number_text(g.metrics[m].stderr_of_mean(), "%.4f").c_str());
        std::fprintf(out, "\n");
    }
}

}  // namespace

void print_summary(std::FILE *out, const summary_info &info) {
    std::fprintf(out, "model:   %s (%s)\n", info.model.c_str(), info.model_path.c_str());
    std::fprintf(out, "run:     %s\n", info.run.c_str());
    std::fprintf(out, "items:   %llu scored, %llu skipped, of %llu\n",
                 static_cast<unsigned long long>(info.scored),
                 static_cast<unsigned long long>(info.skipped),
                 static_cast<unsigned long long>(info.items));
    for (const auto &[reason, n] : info.skip_reasons)
        std::fprintf(out, "  skipped %llu: %s\n", static_cast<unsigned long long>(n), reason.c_str());
    std::fprintf(out, "\n| metric        |  value | stderr |\n|---------------|--------|--------|\n");
    for (std::size_t m = 0; m < metric_count; ++m)
        std::fprintf(out, "| %-13s | %6s | %6s |\n", metric_names[m],
                     number_text(info.metrics[m].mean(), "%.4f").c_str(),
                     number_text(info.metrics[m].stderr_of_mean(), "%.4f").c_str());
    if (!info.groups.empty()) print_groups(out, info.groups);
    if (info.tokens_decoded >= 0)
        std::fprintf(out, "\ntokens:  %lld decoded, %lld from scratch (%s of them)\n",
                     static_cast<long long>(info.tokens_decoded),
                     static_cast<long long>(info.tokens_from_scratch),
                     info.tokens_from_scratch > 0
                         ? number_text(100.0 * static_cast<double>(info.tokens_decoded) /
                                           static_cast<double>(info.tokens_from_scratch),
                                       "%.1f%%").c_str()
                         : "n/a");
    if (info.seconds >= 0)
        std::fprintf(out, "time:    %.2f s, %s items/s\n", info.seconds,
                     number_text(info.seconds > 0 ? static_cast<double>(info.scored_this_run) /
                                                        info.seconds
                                                  : NAN,
                                 "%.2f").c_str());
    if (info.interrupted) std::fprintf(out, "interrupted: the results cover the items done\n");
    std::fflush(out);
}

json summary_json(const summary_info &info) {
    const json metrics = metrics_json(info.metrics);
    json o = {{"model", info.model},
              {"model_path", info.model_path},
              {"run", info.run},
              {"configuration", info.configuration},
              {"items", {{"total", info.items},
                         {"scored", info.scored},
                         {"skipped", info.skipped},
                         {"skip_reasons", info.skip_reasons}}},
              {"metrics", metrics},
              {"interrupted", info.interrupted}};
    if (!info.groups.empty()) {
        json groups = json::object();
        for (const auto &[name, g] : info.groups)
            groups[name] = {{"scored", g.scored}, {"skipped", g.skipped}, {"metrics", metrics_json(g.metrics)}};
        o["groups"] = std::move(groups);
    }
    if (info.seconds >= 0) {
        o["seconds"] = info.seconds;
        o["items_per_second"] = number_or_null(
            info.seconds > 0 ? static_cast<double>(info.scored_this_run) / info.seconds : NAN);
    }
    if (info.tokens_decoded >= 0) {
        o["tokens_decoded"] = info.tokens_decoded;
        o["tokens_from_scratch"] = info.tokens_from_scratch;
    }
    if (!info.error.empty()) o["error"] = info.error;
    return o;
}

std::string write_summary(const std::string &path, const summary_info &info) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out << summary_json(info).dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    if (!out) return path + ": cannot write the summary";
    return {};
}

}  // namespace vl_eval
