#include "results/results_reader.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "results/record_json.h"

namespace vl_eval {

lines_read read_result_lines(const std::string &path, bool missing_ok, const record_reader &record) {
    lines_read out;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (!(missing_ok && errno == ENOENT))
            out.error = path + ": cannot open the file: " + std::strerror(errno);
        return out;
    }
    std::string line;
    std::uint64_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        const bool last_without_newline = in.eof();
        evaluation_header header;
        if (parse_header_line(line, header)) {
            out.headers.push_back(std::move(header));
        } else if (std::string err = record(line, number); !err.empty()) {
            if (last_without_newline) {
                // Killed while writing it: not a record; what it held is
                // scored again.
                out.cut_line = number;
                break;
            }
            out.error = path + ":" + std::to_string(number) + ": " + err;
            return out;
        }
        out.complete_bytes += line.size() + (last_without_newline ? 0 : 1);
        out.ends_without_newline = last_without_newline;
    }
    if (in.bad()) out.error = path + ": cannot read the file: " + std::strerror(errno);
    return out;
}

results_read read_results(const std::string &path, bool missing_ok) {
    results_read out;
    static_cast<lines_read &>(out) = read_result_lines(path, missing_ok, [&](const std::string &line, std::uint64_t) {
        result_record r;
        std::string err = parse_result_line(line, r);
        if (err.empty()) out.records.push_back(std::move(r));
        return err;
    });
    return out;
}

}  // namespace vl_eval
