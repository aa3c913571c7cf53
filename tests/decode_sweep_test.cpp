// Every export that decodes, at lengths around the context's physical batch
// (n_ubatch) and its batch (n_batch), on a causal model with sequence memory,
// the same model with non-causal attention, and an encoder without sequence
// memory, under llama.cpp's default limits and explicit ones. llama.cpp
// aborts the process on some decodes instead of failing; every call here must
// succeed or fail with a message, and leave the runtime usable.
//
// Each runtime lives in a child process that reports through a pipe, so that
// an abort fails the test and names the call instead of ending the test run.
// The parent never touches llama.cpp itself: a child forked from a process
// whose backend already runs threads could hang.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/batch_support.h"
#include "support/codebook.h"

using namespace vl_test;

namespace {

enum class model_kind { causal, non_causal, encoder };

const char *kind_name(model_kind kind) {
    switch (kind) {
    case model_kind::causal: return "causal";
    case model_kind::non_causal: return "non-causal";
    case model_kind::encoder: return "encoder";
    }
    return "?";
}

struct limits {
    int32_t n_ctx, n_batch, n_seq_max;
};

enum class scorer {
    score_next,
    prefill_shared,
    score_suffix,
    score_suffix_batch,
    score_root_batch,
    score_sequences,
    score_suffix_sequences,
    score_sequence_batch,
    generate
};
const scorer all_scorers[] = {scorer::score_next,         scorer::prefill_shared,
                              scorer::score_suffix,       scorer::score_suffix_batch,
                              scorer::score_root_batch,   scorer::score_sequences,
                              scorer::score_suffix_sequences, scorer::score_sequence_batch,
                              scorer::generate};

const char *scorer_name(scorer s) {
    switch (s) {
    case scorer::score_next: return "score_next";
    case scorer::prefill_shared: return "prefill_shared";
    case scorer::score_suffix: return "score_suffix";
    case scorer::score_suffix_batch: return "score_suffix_batch";
    case scorer::score_root_batch: return "score_root_batch";
    case scorer::score_sequences: return "score_sequences";
    case scorer::score_suffix_sequences: return "score_suffix_sequences";
    case scorer::score_sequence_batch: return "score_sequence_batch";
    case scorer::generate: return "generate";
    }
    return "?";
}

// The suffix scorers work after a retained prefix of this many tokens.
constexpr std::size_t prefix_len = 4;

// What a child reports to its parent, one line per write.
class report {
public:
    explicit report(int fd) : fd_(fd) {}
    void line(const std::string &kind, const std::string &text) const {
        const std::string out = kind + " " + text + "\n";
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::write(fd_, out.data() + done, out.size() - done);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

private:
    int fd_;
};

vl_llama_runtime *open_kind(model_kind kind, limits l, char *err, std::size_t cap) {
    vl_llama_config config{};
    config.n_ctx = l.n_ctx;
    config.n_batch = l.n_batch;
    config.n_seq_max = l.n_seq_max;
    config.n_threads = 1;
    config.n_threads_batch = 1;
    if (kind == model_kind::non_causal) {
        // The chatml model with non-causal attention: a context with
        // sequence memory that cannot split a decode (and whose n_batch
        // llama.cpp does not cap at the window).
        fakes().llama_init_from_model = [](llama_model *m, llama_context_params p) {
            p.attention_type = LLAMA_ATTENTION_TYPE_NON_CAUSAL;
            return real::llama_init_from_model(m, p);
        };
    }
    const std::string path = fixture_path(kind == model_kind::encoder ? "bert" : "chatml");
    return vl_llama_open(path.c_str(), &config, err, cap);
}

// One call of a scorer with n tokens to decode. Returns the status and
// leaves a failure's message in err.
int32_t call(vl_llama_runtime *r, scorer s, std::size_t n, char *err, std::size_t cap) {
    const std::vector<uint32_t> tokens = sample_prompt(n, 300);
    const std::vector<uint32_t> ids = {7, 8};
    float out[4] = {};
    const codebook answers{{5, 6}, {5, 7}};
    switch (s) {
    case scorer::score_next:
        return vl_llama_score_next(r, tokens.data(), n, ids.data(), 2, out, err, cap);
    case scorer::prefill_shared:
        return vl_llama_prefill_shared(r, tokens.data(), n, err, cap);
    case scorer::score_suffix:
        return vl_llama_score_suffix(r, tokens.data(), n, ids.data(), 2, out, err, cap);
    case scorer::score_suffix_batch: {
        const std::vector<uint32_t> cands = {7, 8, 7, 8};
        const std::size_t suffix_offsets[] = {0, n / 2, n}, cand_offsets[] = {0, 2, 4};
        return vl_llama_score_suffix_batch(r, tokens.data(), suffix_offsets, cands.data(), cand_offsets, 2, out,
                                           err, cap);
    }
    case scorer::score_root_batch: {
        const std::vector<uint32_t> cands = {7, 8, 7, 8};
        const std::size_t prompt_offsets[] = {0, n / 2, n}, cand_offsets[] = {0, 2, 4};
        return vl_llama_score_root_batch(r, tokens.data(), prompt_offsets, cands.data(), cand_offsets, 2, out, err,
                                         cap);
    }
    case scorer::score_sequences:
        return vl_llama_score_sequences(r, tokens.data(), n, answers.tokens.data(), answers.offsets.data(), 2, out,
                                        err, cap);
    case scorer::score_suffix_sequences:
        return vl_llama_score_suffix_sequences(r, tokens.data(), n, answers.tokens.data(), answers.offsets.data(),
                                               2, out, err, cap);
    case scorer::score_sequence_batch: {
        // Two tasks of n / 2 and the rest of the tokens, each with the codebook.
        const std::vector<uint32_t> cands = {5, 6, 5, 7, 5, 6, 5, 7};
        const std::size_t context_offsets[] = {0, n / 2, n}, sequence_offsets[] = {0, 2, 4, 6, 8},
                          task_offsets[] = {0, 2, 4};
        return vl_llama_score_sequence_batch(r, tokens.data(), context_offsets, cands.data(), sequence_offsets,
                                             task_offsets, 2, out, nullptr, err, cap);
    }
    case scorer::generate: {
        // Two prompts of n / 2 and the rest of the tokens, three new tokens each.
        const std::size_t prompt_offsets[] = {0, n / 2, n}, out_offsets[] = {0, 3, 6};
        uint32_t generated[6];
        std::size_t counts[2];
        int32_t reasons[2];
        return vl_llama_generate(r, tokens.data(), prompt_offsets, 2, nullptr, nullptr, nullptr, generated,
                                 out_offsets, counts, reasons, err, cap);
    }
    }
    return -1;
}

bool needs_prefix(scorer s) {
    return s == scorer::score_suffix || s == scorer::score_suffix_batch || s == scorer::score_suffix_sequences ||
           s == scorer::score_sequence_batch || s == scorer::generate;
}

// The messages a scorer may refuse an oversized decode with: its own
// decode failure, or a capacity check of its own that comes first.
std::set<std::string> refusals(scorer s) {
    switch (s) {
    case scorer::score_next: return {"llama_decode failed"};
    case scorer::prefill_shared: return {"llama_decode failed while prefilling shared prefix"};
    case scorer::score_suffix: return {"llama_decode failed while scoring shared suffix"};
    case scorer::score_suffix_batch:
        return {"llama_decode failed while scoring parallel suffixes",
                "parallel suffix token count exceeds configured n_batch",
                "shared prefix plus suffix exceeds configured n_ctx",
                "parallel suffix batch exceeds available context capacity"};
    case scorer::score_root_batch:
        return {"llama_decode failed while scoring independent roots",
                "multi-root prompt tokens exceed configured batch/context capacity",
                "one multi-root prompt exceeds effective per-sequence context capacity"};
    case scorer::score_sequences: return {"llama_decode failed before sequence scoring"};
    case scorer::score_suffix_sequences:
        return {"llama_decode failed before shared sequence scoring",
                "shared prefix plus suffix exceeds context window"};
    case scorer::score_sequence_batch: return {"task does not fit the context window"};
    case scorer::generate: return {"prompt and new-token limit do not fit the context window"};
    }
    return {};
}

// Context cells a call of n tokens needs: the retained prefix, the decode,
// and the one trie token of the sequence scorers' codebook.
std::size_t cells_needed(scorer s, std::size_t n) {
    std::size_t cells = n;
    if (needs_prefix(s)) cells += prefix_len;
    if (s == scorer::score_sequences || s == scorer::score_suffix_sequences) cells += 1;
    return cells;
}

// Whether the scorer runs at all on this runtime (apart from its lengths).
bool runs(scorer s, model_kind kind, const vl_llama_runtime &r) {
    if (kind == model_kind::encoder) return s == scorer::score_next;
    if (s == scorer::score_suffix_batch) return r.n_seq_max >= 3;
    return true;
}

// After a refused decode: what the scorer's failure leaves behind.
std::string state_after_refusal(vl_llama_runtime *r, scorer s, model_kind kind) {
    if (kind == model_kind::encoder) return r->has_shared_prefix ? "prefix state not reset" : "";
    if (needs_prefix(s)) {
        if (!r->has_shared_prefix || r->shared_prefix_len != prefix_len) return "retained prefix lost";
        if (seq_range(r, 0) != std::make_pair<llama_pos, llama_pos>(0, prefix_len - 1)) return "sequence 0 changed";
        for (llama_seq_id q = 1; q < static_cast<llama_seq_id>(r->n_seq_max); ++q)
            if (seq_range(r, q).first != -1) return "scratch sequence " + std::to_string(q) + " left behind";
        return "";
    }
    if (r->has_shared_prefix) return "prefix state not reset";
    for (llama_seq_id q = 0; q < static_cast<llama_seq_id>(r->n_seq_max); ++q)
        if (seq_range(r, q).first != -1) return "sequence " + std::to_string(q) + " not empty";
    return "";
}

// The child's work: open one runtime and call one scorer at every length
// of the sweep, each followed by a small call that must succeed.
void sweep_child(model_kind kind, limits l, scorer s, const report &to_parent) {
    char err[256] = "";
    vl_llama_runtime *r = open_kind(kind, l, err, sizeof err);
    if (r == nullptr) {
        to_parent.line("fail", std::string("open failed: ") + err);
        return;
    }
    llama_context *ctx = r->ctx;
    // What llama.cpp takes in one decode, from llama.cpp's own answers.
    const bool has_memory = real::llama_get_memory(ctx) != nullptr;
    const std::size_t n_batch = llama_n_batch(ctx), n_ubatch = llama_n_ubatch(ctx), n_ctx = llama_n_ctx(ctx);
    const std::size_t one_decode = has_memory && llama_get_causal_attn(ctx) ? n_batch : n_ubatch;
    std::ostringstream shape;
    shape << "n_ctx " << n_ctx << " n_batch " << n_batch << " n_ubatch " << n_ubatch << " memory " << has_memory;
    to_parent.line("shape", shape.str());

    const std::vector<uint32_t> prefix = sample_prompt(prefix_len, 40);
    if (needs_prefix(s) && has_memory &&
        vl_llama_prefill_shared(r, prefix.data(), prefix.size(), err, sizeof err) != 0) {
        to_parent.line("fail", std::string("prefill failed: ") + err);
        vl_llama_close(r);
        return;
    }
    std::set<std::size_t> lengths;
    for (std::size_t edge : {n_ubatch, n_batch})
        for (std::size_t n : {edge - 1, edge, edge + 1})
            if (n >= 2) lengths.insert(n);
    lengths.insert(2);

    const std::set<std::string> allowed = refusals(s);
    for (std::size_t n : lengths) {
        const std::string what = std::string(scorer_name(s)) + " of " + std::to_string(n) + " tokens";
        to_parent.line("try", what);
        std::strcpy(err, "");
        const int32_t rc = call(r, s, n, err, sizeof err);
        if (rc != 0 && rc != -1) to_parent.line("fail", what + ": returned " + std::to_string(rc));
        if (rc == -1 && err[0] == '\0') to_parent.line("fail", what + ": failed without a message");
        if (!runs(s, kind, *r)) {
            if (rc != -1) to_parent.line("fail", what + ": succeeded where the mode is unsupported");
            continue;
        }
        if (s == scorer::score_sequence_batch || s == scorer::generate) {
            // Split over as many decodes as it takes: only a task longer than
            // the window is refused (a prompt and two of its three tokens).
            const std::size_t extra = s == scorer::generate ? 2 : 1;
            const bool fits = prefix_len + (n - n / 2) + extra <= n_ctx;
            if (fits ? rc != 0 : (rc != -1 || allowed.count(err) == 0))
                to_parent.line("fail", what + (fits ? ": fits, but failed with " : ": not refused as expected: ") + err);
            else if (std::string bad = state_after_refusal(r, s, kind); !bad.empty())
                to_parent.line("fail", what + ": afterwards, " + bad);
        } else if (n > one_decode) {
            if (rc != -1 || allowed.count(err) == 0)
                to_parent.line("fail", what + ": above one decode (" + std::to_string(one_decode) +
                                           ") not refused as expected: " + err);
            else if (std::string bad = state_after_refusal(r, s, kind); !bad.empty())
                to_parent.line("fail", what + ": after the refusal, " + bad);
        } else if (cells_needed(s, n) <= n_ctx && rc != 0) {
            to_parent.line("fail", what + ": fits, but failed with " + err);
        }
        to_parent.line("try", what + ", then a call of 3 tokens");
        if (call(r, s, 3, err, sizeof err) != 0)
            to_parent.line("fail", what + ": the next call failed with " + err);
    }
    vl_llama_close(r);
}

// Runs body in a child process and turns its report into test results.
// Returns the number of calls the child tried.
template <class Body>
int in_child(const std::string &name, Body body) {
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << name << ": pipe failed";
        return 0;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ADD_FAILURE() << name << ": fork failed";
        return 0;
    }
    if (pid == 0) {
        ::close(fds[0]);
        ::alarm(120);  // a hung child fails the test rather than stalling it
        const report to_parent(fds[1]);
        body(to_parent);
        to_parent.line("done", "");
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) != 0;) {
        if (n < 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);

    std::istringstream lines(text);
    std::string line, last_try = "(nothing yet)", shape;
    int tried = 0;
    bool done = false;
    while (std::getline(lines, line)) {
        const std::string kind = line.substr(0, line.find(' '));
        const std::string rest = line.size() > kind.size() ? line.substr(kind.size() + 1) : "";
        if (kind == "try") {
            last_try = rest;
            ++tried;
        } else if (kind == "shape") {
            shape = rest;
        } else if (kind == "fail") {
            ADD_FAILURE() << name << " (" << shape << "): " << rest;
        } else if (kind == "done") {
            done = true;
        }
    }
    if (WIFSIGNALED(status)) {
        ADD_FAILURE() << name << " (" << shape << "): killed by signal " << WTERMSIG(status) << " during "
                      << last_try;
    } else if (!done || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << name << ": the child did not finish (last: " << last_try << ")";
    }
    return tried;
}

TEST(DecodeSweep, NoCallAbortsAroundTheBatchSizes) {
    // llama.cpp's defaults (a window of 512); a batch below the default
    // physical batch; batches as large as windows above it; a small window.
    const limits configs[] = {{0, 0, 0}, {0, 100, 0}, {1024, 1024, 4}, {1024, 0, 2}, {256, 0, 3}};
    int children = 0, calls = 0;
    for (model_kind kind : {model_kind::causal, model_kind::non_causal, model_kind::encoder}) {
        for (const limits &l : configs) {
            for (scorer s : all_scorers) {
                std::ostringstream name;
                name << kind_name(kind) << " {" << l.n_ctx << ", " << l.n_batch << ", " << l.n_seq_max << "} "
                     << scorer_name(s);
                calls += in_child(name.str(), [&](const report &to) { sweep_child(kind, l, s, to); });
                ++children;
            }
        }
    }
    std::printf("decode sweep: %d calls in %d runtimes\n", calls, children);
    EXPECT_EQ(children, 3 * 5 * 9);
    EXPECT_GT(calls, children * 6);  // every child got through its lengths
}

// The case that aborted hosts: an encoder opened with llama.cpp's defaults
// and a prompt one token longer than its physical batch of 512.
TEST(DecodeSweep, EncoderPromptAboveThePhysicalBatchIsRefused) {
    in_child("encoder score_next of 513 tokens", [](const report &to) {
        char err[128] = "";
        vl_llama_runtime *r = open_kind(model_kind::encoder, {0, 0, 0}, err, sizeof err);
        if (r == nullptr) return to.line("fail", std::string("open failed: ") + err);
        if (r->n_ubatch != 512 || r->n_batch <= 512)
            to.line("fail", "expected n_ubatch 512 below n_batch, got " + std::to_string(r->n_ubatch) + " and " +
                                std::to_string(r->n_batch));
        to.line("try", "513 tokens");
        if (call(r, scorer::score_next, 513, err, sizeof err) != -1 || std::strcmp(err, "llama_decode failed") != 0)
            to.line("fail", std::string("513 tokens were not refused with llama_decode failed: ") + err);
        if (counts().llama_decode != 0) to.line("fail", "llama_decode was called");
        to.line("try", "512 tokens");
        if (call(r, scorer::score_next, 512, err, sizeof err) != 0)
            to.line("fail", std::string("512 tokens failed: ") + err);
        vl_llama_close(r);
    });
}

}  // namespace
