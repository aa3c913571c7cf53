#include "perplexity/chunk_records.h"

#include <cmath>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "results/chunk_lines.h"
#include "tasks/json_numbers.h"

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
    // Every number is checked for its type and range before it is converted.
    std::int64_t v = 0;
    try {
        r = chunk_result{};
        run = o.at("run").get<std::string>();
        if (std::string e = json_integer(o.at("chunk"), "chunk", 1, INT64_MAX, v); !e.empty()) return e;
        r.chunk = static_cast<std::size_t>(v - 1);
        if (std::string e = json_integer(o.at("tokens"), "tokens", 1, INT64_MAX, v); !e.empty()) return e;
        r.count = static_cast<std::size_t>(v);
        if (std::string e = json_finite(o.at("nll"), "nll", r.nll); !e.empty()) return e;
        if (std::string e = json_finite(o.at("nll2"), "nll2", r.nll2); !e.empty()) return e;
    } catch (const nlohmann::json::exception &e) {
        return std::string("not a chunk record: ") + e.what();
    }
    if (r.nll2 < 0) return "field 'nll2' must not be negative, a sum of squares";
    return {};
}

std::string read_done_chunks(const std::string &path, const evaluation_header &header,
                             std::size_t counted, std::vector<chunk_result> &done, lines_read &previous) {
    chunk_line_reader<chunk_result> reader;
    reader.parse = parse_chunk_line;
    reader.chunk = [](const chunk_result &c) { return c.chunk; };
    reader.check = [counted](const chunk_result &c) -> std::string {
        if (c.count == counted) return {};
        return "counts " + std::to_string(c.count) + " tokens where a chunk of this --ctx counts " +
               std::to_string(counted);
    };
    reader.settings = "model, text, --ctx or --exact";
    return read_chunk_lines(path, header, reader, done, previous);
}

}  // namespace vl_eval
