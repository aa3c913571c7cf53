#include <cstring>

#include "support/test_support.h"

using namespace vl_test;

TEST(Runtime, AbiVersionIsFive) { EXPECT_EQ(vl_llama_abi_version(), 5); }

TEST(Runtime, OpensFixture) {
    runtime_ptr runtime = open_runtime(fixture_path("chatml"));
    ASSERT_NE(runtime, nullptr);
    EXPECT_GE(runtime->n_seq_max, 2u);
}
