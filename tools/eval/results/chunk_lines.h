// Reading back the per-chunk lines of a run being resumed, for the commands
// that score a text chunk by chunk (vl-eval perplexity, vl-eval kld): the
// chunks are 1, 2, ... in order, and every header and chunk is of the run
// being resumed; anything of another run is refused with what differs, any
// other line that does not hold with its line number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "results/results_reader.h"
#include "results/run_identity.h"

namespace vl_eval {

// How one command's chunk lines read: parse fills a record and its run from
// a line; chunk gives a record's chunk index (from 0); check says what is
// wrong with a record of the right chunk (empty when nothing is).
template <class Record>
struct chunk_line_reader {
    std::function<std::string(const std::string &line, Record &record, std::string &run)> parse;
    std::function<std::size_t(const Record &record)> chunk;
    std::function<std::string(const Record &record)> check;
    std::string settings;  // what a run's settings are, for the message: "model, text or --ctx"
};

// The chunks the results file at path holds; previous receives what the
// writer needs to continue the file. Returns an error, empty on success.
template <class Record>
std::string read_chunk_lines(const std::string &path, const evaluation_header &header,
                             const chunk_line_reader<Record> &reader, std::vector<Record> &done,
                             lines_read &previous) {
    struct read_line {
        Record record;
        std::string run;
        std::uint64_t number;
    };
    std::vector<read_line> lines;
    previous = read_result_lines(path, true, [&](const std::string &line, std::uint64_t number) {
        read_line l;
        l.number = number;
        std::string err = reader.parse(line, l.record, l.run);
        if (err.empty()) lines.push_back(std::move(l));
        return err;
    });
    if (!previous.error.empty()) return previous.error;
    const auto refuse = [&](const std::string &where, const std::string &run) {
        const evaluation_header *theirs = find_header(previous.headers, run);
        return where + "holds results of another " + reader.settings + " (run " + run + ", this run " +
               header.run + "); they differ in " +
               settings_differences(header.settings, theirs != nullptr ? theirs->settings : nlohmann::ordered_json());
    };
    for (const evaluation_header &h : previous.headers)
        if (h.run != header.run) return refuse(path + ": ", h.run);
    for (read_line &l : lines) {
        const std::string where = path + ":" + std::to_string(l.number) + ": ";
        if (l.run != header.run) return refuse(where, l.run);
        const std::size_t chunk = reader.chunk(l.record);
        if (chunk != done.size())
            return where + "chunk " + std::to_string(chunk + 1) + " where chunk " + std::to_string(done.size() + 1) +
                   " was expected";
        if (std::string e = reader.check(l.record); !e.empty()) return where + "chunk " + std::to_string(chunk + 1) + " " + e;
        done.push_back(std::move(l.record));
    }
    return {};
}

}  // namespace vl_eval
