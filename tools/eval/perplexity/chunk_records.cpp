#include "perplexity/chunk_records.h"

#include <cmath>

#include <nlohmann/json.hpp>

namespace vl_eval {

std::string to_json_line(const chunk_result &r, const perplexity_sums &running, const std::string &run) {
    nlohmann::ordered_json o;
    o["chunk"] = r.chunk + 1;
    o["tokens"] = r.count;
    o["nll"] = r.nll;
    o["nll2"] = r.nll2;
    o["ppl"] = std::exp(r.nll / static_cast<double>(r.count));
    o["running_ppl"] = running.perplexity();
    o["run"] = run;
    return o.dump() + "\n";
}

std::string parse_chunk_line(const std::string &line, chunk_result &r, std::string &run) {
    const nlohmann::json o = nlohmann::json::parse(line, nullptr, false);
    if (o.is_discarded() || !o.is_object()) return "not a JSON object";
    try {
        r = chunk_result{};
        run = o.at("run").get<std::string>();
        r.chunk = o.at("chunk").get<std::size_t>() - 1;
        r.count = o.at("tokens").get<std::size_t>();
        r.nll = o.at("nll").get<double>();
        r.nll2 = o.at("nll2").get<double>();
    } catch (const nlohmann::json::exception &e) {
        return std::string("not a chunk record: ") + e.what();
    }
    if (r.count == 0) return "a chunk of no tokens";
    return {};
}

std::string read_done_chunks(const std::string &path, const evaluation_header &header,
                             std::vector<chunk_result> &done, lines_read &previous) {
    struct read_chunk {
        chunk_result chunk;
        std::string run;
        std::uint64_t line;
    };
    std::vector<read_chunk> chunks;
    previous = read_result_lines(path, true, [&](const std::string &line, std::uint64_t number) {
        read_chunk c;
        c.line = number;
        std::string err = parse_chunk_line(line, c.chunk, c.run);
        if (err.empty()) chunks.push_back(std::move(c));
        return err;
    });
    if (!previous.error.empty()) return previous.error;
    const auto refuse = [&](const std::string &where, const std::string &run) {
        const evaluation_header *theirs = find_header(previous.headers, run);
        return where + "holds results of another model, text or --ctx (run " + run + ", this run " +
               header.run + "); they differ in " +
               settings_differences(header.settings,
                                    theirs != nullptr ? theirs->settings : nlohmann::ordered_json());
    };
    for (const evaluation_header &h : previous.headers)
        if (h.run != header.run) return refuse(path + ": ", h.run);
    for (const read_chunk &c : chunks) {
        const std::string where = path + ":" + std::to_string(c.line) + ": ";
        if (c.run != header.run) return refuse(where, c.run);
        if (c.chunk.chunk != done.size())
            return where + "chunk " + std::to_string(c.chunk.chunk + 1) + " where chunk " +
                   std::to_string(done.size() + 1) + " was expected";
        done.push_back(c.chunk);
    }
    return {};
}

}  // namespace vl_eval
