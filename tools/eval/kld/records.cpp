#include "kld/records.h"

#include <cstdint>
#include <utility>

#include <nlohmann/json.hpp>

#include "results/chunk_lines.h"
#include "tasks/json_numbers.h"

namespace vl_eval {

std::string to_json_line(const kld_chunk &c, const std::string &run) {
    const kld_sums &s = c.sums;
    nlohmann::ordered_json sums;
    sums["nll"] = s.nll;
    sums["nll2"] = s.nll2;
    sums["nll_base"] = s.nll_base;
    sums["nll_base2"] = s.nll_base2;
    sums["nll_nll_base"] = s.nll_nll_base;
    sums["kld"] = s.kld;
    sums["kld2"] = s.kld2;
    sums["p_diff"] = s.p_diff;
    sums["p_diff2"] = s.p_diff2;
    sums["p_diff4"] = s.p_diff4;
    sums["max_p_diff"] = s.max_p_diff;
    sums["same_top"] = s.same_top;
    nlohmann::ordered_json o;
    o["chunk"] = c.chunk + 1;
    o["positions"] = s.count;
    o["sums"] = std::move(sums);
    o["kld"] = c.kld;
    o["delta_p"] = c.p_diff;
    o["run"] = run;
    return o.dump() + "\n";
}

std::string parse_kld_line(const std::string &line, kld_chunk &c, std::string &run) {
    const nlohmann::json o = nlohmann::json::parse(line, nullptr, false);
    if (o.is_discarded() || !o.is_object()) return "not a JSON object";
    // Every number is checked for its type and range before it is converted.
    std::int64_t v = 0;
    try {
        c = kld_chunk{};
        run = o.at("run").get<std::string>();
        if (std::string e = json_integer(o.at("chunk"), "chunk", 1, INT64_MAX, v); !e.empty()) return e;
        c.chunk = static_cast<std::size_t>(v - 1);
        kld_sums &m = c.sums;
        if (std::string e = json_integer(o.at("positions"), "positions", 1, INT64_MAX, v); !e.empty()) return e;
        m.count = static_cast<std::uint64_t>(v);
        const nlohmann::json &s = o.at("sums");
        const std::pair<const char *, double *> sums[] = {
            {"nll", &m.nll},         {"nll2", &m.nll2}, {"nll_base", &m.nll_base}, {"nll_base2", &m.nll_base2},
            {"nll_nll_base", &m.nll_nll_base}, {"kld", &m.kld}, {"kld2", &m.kld2}, {"p_diff", &m.p_diff},
            {"p_diff2", &m.p_diff2}, {"p_diff4", &m.p_diff4}};
        for (const auto &[name, out] : sums)
            if (std::string e = json_finite(s.at(name), name, *out); !e.empty()) return e;
        double max_p_diff = 0;
        if (std::string e = json_finite(s.at("max_p_diff"), "max_p_diff", max_p_diff); !e.empty()) return e;
        m.max_p_diff = static_cast<float>(max_p_diff);
        if (std::string e = json_integer(s.at("same_top"), "same_top", 0, static_cast<std::int64_t>(m.count), v);
            !e.empty())
            return e;
        m.same_top = static_cast<std::uint64_t>(v);
        for (const auto &[name, out] : {std::pair<const char *, std::vector<float> *>{"kld", &c.kld},
                                        std::pair<const char *, std::vector<float> *>{"delta_p", &c.p_diff}}) {
            const nlohmann::json &values = o.at(name);
            if (!values.is_array() || values.size() != m.count)
                return std::string("field '") + name + "' must hold one number per position";
            for (const nlohmann::json &x : values) {
                double d = 0;
                if (std::string e = json_finite(x, name, d); !e.empty()) return e;
                out->push_back(static_cast<float>(d));
            }
        }
    } catch (const nlohmann::json::exception &e) {
        return std::string("not a chunk record: ") + e.what();
    }
    return {};
}

std::string read_done_kld_chunks(const std::string &path, const evaluation_header &header, std::size_t counted,
                                 std::vector<kld_chunk> &done, lines_read &previous) {
    chunk_line_reader<kld_chunk> reader;
    reader.parse = parse_kld_line;
    reader.chunk = [](const kld_chunk &c) { return c.chunk; };
    reader.check = [counted](const kld_chunk &c) -> std::string {
        if (c.sums.count == counted) return {};
        return "counts " + std::to_string(c.sums.count) + " positions where a chunk of this --ctx counts " +
               std::to_string(counted);
    };
    reader.settings = "model, reference, text, --ctx or --exact";
    return read_chunk_lines(path, header, reader, done, previous);
}

}  // namespace vl_eval
