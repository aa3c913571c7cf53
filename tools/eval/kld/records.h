// vl-eval kld's results file: the run's header line, then one JSON line per
// chunk as it is done: chunk (from 1), positions counted, the chunk's sums
// (those llama-perplexity keeps), every position's KL divergence and Δp
// (for the percentiles), and run. --resume reads the chunks back and
// continues after them, so that a resumed run prints what one run prints.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kld/statistics.h"
#include "results/results_reader.h"
#include "results/run_identity.h"

namespace vl_eval {

struct kld_chunk {
    std::size_t chunk = 0;  // from 0
    kld_sums sums;
    std::vector<float> kld;     // per counted position
    std::vector<float> p_diff;  // per counted position
};

// The chunk's line, newline included.
std::string to_json_line(const kld_chunk &chunk, const std::string &run);

// Reads one chunk line; returns what is wrong with it, empty on success.
std::string parse_kld_line(const std::string &line, kld_chunk &chunk, std::string &run);

// The chunks a results file being resumed holds: chunks 1, 2, ... in order,
// all of the run `header` describes, each of the `counted` positions a chunk
// of its --ctx counts; anything of another run is refused with what
// differs. Returns an error, empty on success.
std::string read_done_kld_chunks(const std::string &path, const evaluation_header &header, std::size_t counted,
                                 std::vector<kld_chunk> &done, lines_read &previous);

}  // namespace vl_eval
