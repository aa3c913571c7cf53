#include "support/llama_wraps.h"

#include <memory>

namespace vl_test {

namespace {
fake_set installed;
call_counts counted;
bool tracing = false;
std::vector<traced_call> recorded;

}  // namespace

void record(traced_call call) {
    if (tracing) recorded.push_back(std::move(call));
}

void record_decode(const llama_batch &b) {
    if (!tracing) return;
    traced_call call{"llama_decode"};
    for (int32_t i = 0; i < b.n_tokens; ++i) {
        if (b.token) call.tokens.push_back(b.token[i]);
        if (b.pos) call.positions.push_back(b.pos[i]);
        if (b.seq_id) {
            call.seqs.push_back(b.seq_id[i][0]);
            call.seq_sets.emplace_back(b.seq_id[i], b.seq_id[i] + (b.n_seq_id ? b.n_seq_id[i] : 1));
        }
        if (b.logits) call.logits.push_back(b.logits[i]);
    }
    recorded.push_back(std::move(call));
}

fake_set &fakes() { return installed; }

void fail_nth_call(int n, bool logits) {
    auto calls = std::make_shared<int>(0);
    if (logits) {
        installed.llama_get_logits_ith = [calls, n](llama_context *c, int32_t i) -> float * {
            return ++*calls == n ? nullptr : real::llama_get_logits_ith(c, i);
        };
    } else {
        installed.llama_decode = [calls, n](llama_context *c, llama_batch b) {
            return ++*calls == n ? -1 : real::llama_decode(c, b);
        };
    }
}
call_counts &counts() { return counted; }
void reset_counts() { counted = call_counts{}; }
void start_trace() {
    tracing = true;
    recorded.clear();
}
std::vector<traced_call> &trace() { return recorded; }
std::vector<std::string> traced_names() {
    std::vector<std::string> names;
    for (const traced_call &call : recorded) names.push_back(call.name);
    return names;
}

// Called by the test listener before every test.
void reset_wraps() {
    installed = fake_set{};
    counted = call_counts{};
    tracing = false;
    recorded.clear();
}

}  // namespace vl_test

extern "C" {
#define VL_DECLARE_REAL_SYMBOL(ret, name, params, args) ret __real_##name params;
VL_WRAPPED_FUNCTIONS(VL_DECLARE_REAL_SYMBOL)
#undef VL_DECLARE_REAL_SYMBOL
}

namespace vl_test::real {
#define VL_DEFINE_REAL(ret, name, params, args) \
    ret name params { return __real_##name args; }
VL_WRAPPED_FUNCTIONS(VL_DEFINE_REAL)
#undef VL_DEFINE_REAL
}  // namespace vl_test::real

namespace vl_test::detail {
// Runtimes on several threads call llama.cpp at once (the concurrency
// tests), so the counters are bumped atomically; readers look after joining.
inline void count_call(int &counter) { __atomic_fetch_add(&counter, 1, __ATOMIC_RELAXED); }

// What the trace records of each call: the name, plus the batch of a decode
// and the arguments of the sequence operations. Nothing is built (or
// allocated) while no trace runs.
template <class... A>
void on_call(const char *name, A &&...) {
    if (tracing) record(traced_call{name});
}
// Taken by value: a const reference would lose overload resolution to the
// template above, and decodes would be recorded without their batch.
void on_call(const char *name, llama_context *, llama_batch b) {
    (void)name;
    record_decode(b);
}
void on_call(const char *name, llama_memory_t, llama_seq_id s, llama_pos p0, llama_pos p1) {
    if (!tracing) return;
    traced_call call{name};
    call.seq = s;
    call.p0 = p0;
    call.p1 = p1;
    record(std::move(call));
}
void on_call(const char *name, llama_memory_t, llama_seq_id, llama_seq_id dst, llama_pos p0,
             llama_pos p1) {
    if (!tracing) return;
    traced_call call{name};
    call.seq = dst;
    call.p0 = p0;
    call.p1 = p1;
    record(std::move(call));
}
}  // namespace vl_test::detail

extern "C" {
#define VL_DEFINE_WRAP(ret, name, params, args)                       \
    ret __wrap_##name params {                                        \
        vl_test::detail::count_call(vl_test::counts().name);          \
        vl_test::detail::on_call(#name VL_COMMA_ARGS args);           \
        if (vl_test::fakes().name) return vl_test::fakes().name args; \
        return __real_##name args;                                    \
    }
#define VL_COMMA_ARGS(...) __VA_OPT__(, ) __VA_ARGS__
VL_WRAPPED_FUNCTIONS(VL_DEFINE_WRAP)
#undef VL_DEFINE_WRAP
}
