// vl-eval perplexity's results file: the run's header line, then one JSON
// line per chunk as it is scored: chunk (from 1), tokens counted, nll and
// nll2 (sums of -log p and of its square over them), ppl (the chunk's own),
// running_ppl and run. --resume reads the chunks back and continues after
// them.
#pragma once

#include <string>
#include <vector>

#include "perplexity/chunks.h"
#include "results/results_reader.h"
#include "results/run_identity.h"

namespace vl_eval {

// The chunk's line, newline included; running holds the sums up to and
// including it.
std::string to_json_line(const chunk_result &chunk, const perplexity_sums &running, const std::string &run);

// Reads one chunk line into chunk (its index from 0) and run; returns what
// is wrong with it, empty on success.
std::string parse_chunk_line(const std::string &line, chunk_result &chunk, std::string &run);

// The chunks a results file being resumed holds: chunks 1, 2, ... in order,
// all of the run `header` describes, each counting the `counted` tokens a
// chunk of its --ctx counts. A header or chunk of another run is refused
// with what differs, any other line that does not hold with its line.
// previous receives what the writer needs to continue the file. Returns an
// error, empty on success.
std::string read_done_chunks(const std::string &path, const evaluation_header &header,
                             std::size_t counted, std::vector<chunk_result> &done, lines_read &previous);

}  // namespace vl_eval
