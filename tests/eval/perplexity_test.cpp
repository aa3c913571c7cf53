// vl-eval perplexity's chunk scoring against the same numbers computed from
// llama.cpp directly: each chunk decoded alone with every logit kept, the
// log-softmax taken in double.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <llama.h>

#include "eval_test_support.h"
#include "model/tokens.h"
#include "perplexity/chunk_records.h"
#include "perplexity/chunks.h"
#include "vorlenta_llama_shim.h"

namespace {

using namespace vl_eval;
using vl_eval_test::direct_chunk_rows;

const std::string stories = std::string(VL_SHARED_MODELS_DIR) + "/stories260K.gguf";

void quiet(ggml_log_level, const char *, void *) {}

struct model_free {
    void operator()(llama_model *m) const { llama_model_free(m); }
};
struct runtime_close {
    void operator()(vl_llama_runtime *r) const { vl_llama_close(r); }
};

std::string story_text() {
    const char *names[] = {"Lily", "Tom", "Ben", "Sue"};
    const char *things[] = {"ball", "dog", "cat", "tree", "park", "cake", "toy"};
    std::string text;
    for (int i = 0; i < 24; ++i)
        text += std::string("Once upon a time, ") + names[i % 4] + " saw a big " + things[i % 7] +
                ". " + names[(i + 1) % 4] + " went to the " + things[(i * 3) % 7] +
                " and was happy.\n";
    return text;
}

// Per chunk: the sums llama-perplexity makes, from logits decoded here.
std::vector<chunk_result> direct_chunks(llama_model *model, const std::vector<std::uint32_t> &tokens,
                                        const chunk_layout &layout, std::size_t n_chunks) {
    std::vector<chunk_result> out(n_chunks);
    direct_chunk_rows(model, tokens, layout.n_ctx, layout.bos, n_chunks,
                      [&](std::size_t c, std::size_t j, const std::vector<llama_token> &chunk,
                          const std::vector<double> &row) {
                          chunk_result &r = out[c];
                          r.chunk = c;
                          const double v = -row[static_cast<std::size_t>(chunk[j + 1])];
                          r.nll += v;
                          r.nll2 += v * v;
                          ++r.count;
                      });
    return out;
}

TEST(Perplexity, ChunksScoredInBatchesMatchDirectLlamaCppDecodes) {
    llama_log_set(quiet, nullptr);
    llama_backend_init();
    llama_model_params mp = llama_model_default_params();
    std::unique_ptr<llama_model, model_free> model(llama_model_load_from_file(stories.c_str(), mp));
    ASSERT_TRUE(model);
    // As the program does: the model opened once with a small window to
    // tokenize, then given each chunk layout's window.
    vl_llama_config small = {64, 64, 0, 0, 1, 1};
    std::unique_ptr<vl_llama_runtime, runtime_close> rt(
        vl_llama_open(stories.c_str(), &small, nullptr, 0));
    ASSERT_TRUE(rt);
    std::vector<std::uint32_t> tokens;
    ASSERT_EQ(tokenize_raw(rt.get(), story_text(), tokens), "");
    const llama_vocab *vocab = llama_model_get_vocab(model.get());
    ASSERT_TRUE(llama_vocab_get_add_bos(vocab));

    // An even chunk size with three chunks a call (the last call holding
    // fewer), and an odd one with one chunk a call.
    for (const auto &[n_ctx, per_call] : {std::pair<std::size_t, std::size_t>{64, 3}, {63, 1}}) {
        SCOPED_TRACE("n_ctx " + std::to_string(n_ctx));
        chunk_layout layout;
        layout.n_ctx = n_ctx;
        layout.bos = llama_vocab_bos(vocab);
        const std::size_t n_chunks = tokens.size() / n_ctx;
        ASSERT_GE(n_chunks, 5u);
        const std::vector<chunk_result> direct = direct_chunks(model.get(), tokens, layout, n_chunks);
        ASSERT_EQ(direct.size(), n_chunks);

        vl_llama_config c = {static_cast<int32_t>(n_ctx * per_call),
                             static_cast<int32_t>(n_ctx * per_call),
                             static_cast<int32_t>(per_call + 1), 0, 1, 1};
        char err[256] = "";
        ASSERT_EQ(vl_llama_reconfigure(rt.get(), &c, err, sizeof err), 0) << err;
        std::vector<chunk_result> scored;
        for (std::size_t b = 0; b < n_chunks; b += per_call) {
            const std::string e =
                score_chunks(rt.get(), tokens, layout, b, std::min(n_chunks, b + per_call), scored);
            ASSERT_EQ(e, "");
        }
        ASSERT_EQ(scored.size(), n_chunks);

        // Decodes of one, two or three chunks round differently in their
        // last bits, and the F16 memory of keys and values can turn that
        // into an F16 step: chunks differed by up to 4e-5 of their sums
        // here, single chunks in a wider window by up to 3.3e-4.
        perplexity_sums ours, theirs;
        for (std::size_t i = 0; i < n_chunks; ++i) {
            EXPECT_EQ(scored[i].chunk, i);
            EXPECT_EQ(scored[i].count, direct[i].count);
            EXPECT_NEAR(scored[i].nll / direct[i].nll, 1.0, 1e-4) << "chunk " << i;
            EXPECT_NEAR(scored[i].nll2 / direct[i].nll2, 1.0, 4e-4) << "chunk " << i;
            ours.add(scored[i]);
            theirs.add(direct[i]);
        }
        // Four significant digits and more.
        EXPECT_NEAR(ours.perplexity() / theirs.perplexity(), 1.0, 2e-5);
        EXPECT_NEAR(ours.uncertainty() / theirs.uncertainty(), 1.0, 4e-4);
    }
}

TEST(Perplexity, ChunksOutsideTheTextAreRefusedBeforeAnyCall) {
    std::vector<std::uint32_t> tokens(100, 5);
    chunk_layout layout;
    layout.n_ctx = 50;
    std::vector<chunk_result> out;
    // A null runtime: the checks come first.
    EXPECT_EQ(score_chunks(nullptr, tokens, layout, 1, 3, out), "chunks outside the text");
    EXPECT_EQ(score_chunks(nullptr, tokens, layout, 2, 2, out), "chunks outside the text");
    EXPECT_TRUE(out.empty());
}

// A results line edited by hand, cut or damaged is refused with the field
// it names; no number is converted unchecked.
TEST(ChunkRecords, LinesReadBackAndNumbersOutOfTypeOrRangeAreRefusedByName) {
    chunk_result r;
    r.chunk = 2;
    r.count = 31;
    r.nll = 40.5;
    r.nll2 = 170.25;
    perplexity_sums running;
    running.add(r);
    const std::string line = to_json_line(r, running, "0123456789abcdef");
    chunk_result read;
    std::string run;
    ASSERT_EQ(parse_chunk_line(line.substr(0, line.size() - 1), read, run), "");
    EXPECT_EQ(read.chunk, 2u);
    EXPECT_EQ(read.count, 31u);
    EXPECT_EQ(read.nll, 40.5);
    EXPECT_EQ(read.nll2, 170.25);
    EXPECT_EQ(run, "0123456789abcdef");

    const std::string head = R"({"chunk":3,"tokens":31,"nll":40.5,"nll2":170.25,"ppl":3.7,"running_ppl":3.7,"run":"r"})";
    struct bad_case {
        std::string from, to, message;
    } cases[] = {
        {R"("chunk":3)", R"("chunk":1e60)", "field 'chunk' must be an integer from 1 to 9223372036854775807, not 1e+60"},
        {R"("chunk":3)", R"("chunk":0)", "field 'chunk' must be an integer from 1"},
        {R"("chunk":3)", R"("chunk":2.5)", "field 'chunk' must be an integer"},
        {R"("tokens":31)", R"("tokens":-1)", "field 'tokens' must be an integer from 1 to 9223372036854775807, not -1"},
        {R"("tokens":31)", R"("tokens":18446744073709551615)", "field 'tokens' must be an integer"},
        {R"("nll":40.5)", R"("nll":null)", "field 'nll' must be a finite number, not null"},
        {R"("nll2":170.25)", R"("nll2":"1")", "field 'nll2' must be a finite number"},
        {R"("nll2":170.25)", R"("nll2":-1)", "field 'nll2' must not be negative"},
        {R"("run":"r")", R"("run":7)", "not a chunk record"},
        {R"("tokens":31,)", "", "not a chunk record"},
    };
    for (const bad_case &c : cases) {
        std::string bad = head;
        bad.replace(bad.find(c.from), c.from.size(), c.to);
        const std::string err = parse_chunk_line(bad, read, run);
        EXPECT_EQ(err.rfind(c.message, 0), 0u) << bad << " gave: " << err;
    }
    EXPECT_EQ(parse_chunk_line("[1]", read, run), "not a JSON object");
}

}  // namespace
