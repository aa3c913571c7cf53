// vl-eval's line readers with any text: a task file line in each layout, the
// same text as lines of llama-perplexity's Winogrande CSV, a results file
// line and a line of vl-eval perplexity's results. None may throw or crash;
// an item accepted for scoring has at least two non-empty answers and a
// label among them; a results line (record, header or chunk) that reads
// back writes itself out to the same one.
#include <cstdint>
#include <string>

#include "common/check.h"
#include "perplexity/chunk_records.h"
#include "results/record_json.h"
#include "results/run_identity.h"
#include "tasks/jsonl_formats.h"
#include "tasks/winogrande.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const auto layout = static_cast<vl_eval::jsonl_layout>(data[0] % 6);
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

    const auto check_scorable = [](const vl_eval::eval_item &item) {
        if (!item.skip_reason.empty()) return;
        VL_FUZZ_CHECK(item.choices.size() >= 2, "a scorable item has two answers");
        VL_FUZZ_CHECK(item.label >= 0 && item.label < static_cast<long>(item.choices.size()),
                      "a scorable item's label names an answer");
        for (const std::string &c : item.choices) VL_FUZZ_CHECK(!c.empty(), "answers are not empty");
        if (item.fill_in)
            VL_FUZZ_CHECK(item.after_blank.find_first_not_of(" \t\n\r\f\v") != std::string::npos,
                          "a scorable blank has text after it");
    };
    vl_eval::eval_item item;
    if (vl_eval::parse_jsonl_item(text, layout, item).empty()) check_scorable(item);
    const vl_eval::read_result csv = vl_eval::parse_winogrande_csv(text, "fuzz");
    for (const vl_eval::eval_item &read : csv.items) check_scorable(read);

    vl_eval::result_record record;
    if (vl_eval::parse_result_line(text, record).empty()) {
        std::string line = vl_eval::to_json_line(record);
        line.pop_back();  // the newline
        vl_eval::result_record again;
        VL_FUZZ_CHECK(vl_eval::parse_result_line(line, again).empty(), "a written record reads back");
        VL_FUZZ_CHECK(vl_eval::same_outcome(record, again) && again.run == record.run &&
                          again.needed == record.needed && again.window == record.window,
                      "a written record reads back unchanged");
    }

    vl_eval::evaluation_header header;
    if (vl_eval::parse_header_line(text, header)) {
        std::string line = vl_eval::to_json_line(header);
        line.pop_back();
        vl_eval::evaluation_header again;
        VL_FUZZ_CHECK(vl_eval::parse_header_line(line, again), "a written header reads back");
        VL_FUZZ_CHECK(again.run == header.run, "a written header keeps its run");
        VL_FUZZ_CHECK(!vl_eval::parse_result_line(line, record).empty(), "a header is not a record");
    }
    vl_eval::chunk_result chunk;
    std::string run;
    if (vl_eval::parse_chunk_line(text, chunk, run).empty()) {
        VL_FUZZ_CHECK(chunk.count >= 1 && chunk.chunk < SIZE_MAX && chunk.nll2 >= 0,
                      "a chunk read counts tokens");
        vl_eval::perplexity_sums running;
        running.add(chunk);
        std::string line = vl_eval::to_json_line(chunk, running, run);
        line.pop_back();
        vl_eval::chunk_result again;
        std::string again_run;
        VL_FUZZ_CHECK(vl_eval::parse_chunk_line(line, again, again_run).empty(), "a written chunk reads back");
        VL_FUZZ_CHECK(again.chunk == chunk.chunk && again.count == chunk.count && again.nll == chunk.nll &&
                          again.nll2 == chunk.nll2 && again_run == run,
                      "a written chunk reads back unchanged");
    }
    return 0;
}
