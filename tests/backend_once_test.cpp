// The backend is initialised by the first open that passes its argument
// check, once per process. This binary holds a single test so that nothing
// else has opened a runtime before it.
#include "support/test_support.h"

using namespace vl_test;

TEST(Backend, InitialisedOnceAcrossOpenCloseOpen) {
    const vl_llama_config config = test_config();
    char err[64] = "";
    EXPECT_EQ(vl_llama_open(nullptr, &config, err, sizeof err), nullptr);
    EXPECT_EQ(counts().llama_backend_init, 0) << "a refused open does not initialise";

    runtime_ptr first = open_runtime(fixture_path("chatml"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(counts().llama_backend_init, 1);
    first.reset();
    EXPECT_EQ(vl_llama_open("/nonexistent.gguf", &config, err, sizeof err), nullptr);
    runtime_ptr second = open_runtime(fixture_path("plain"));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(counts().llama_backend_init, 1);
}
