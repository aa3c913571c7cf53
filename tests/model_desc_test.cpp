// vl_llama_model_desc.
#include <cstring>
#include <stdexcept>
#include <string>

#include "support/test_support.h"

using namespace vl_test;

namespace {

class ModelDesc : public ::testing::Test {
protected:
    static void SetUpTestSuite() { chatml = open_runtime(fixture_path("chatml")).release(); }
    static void TearDownTestSuite() { vl_llama_close(chatml); }
    static vl_llama_runtime *chatml;
};
vl_llama_runtime *ModelDesc::chatml = nullptr;

std::string llama_desc(const llama_model *model) {
    char buffer[512] = "";
    real::llama_model_desc(model, buffer, sizeof buffer);
    return buffer;
}

}  // namespace

TEST_F(ModelDesc, WritesOnlyWhenTheDescriptionAndItsNulFit) {
    ASSERT_NE(chatml, nullptr);
    const std::string expected = llama_desc(chatml->model);
    ASSERT_FALSE(expected.empty());
    const int64_t n = static_cast<int64_t>(expected.size());
    char err[64] = "untouched";

    EXPECT_EQ(vl_llama_model_desc(chatml, nullptr, 0, err, sizeof err), n);
    EXPECT_EQ(vl_llama_model_desc(chatml, nullptr, 1000, err, sizeof err), n);
    for (size_t cap : {size_t{0}, size_t{1}, static_cast<size_t>(n)}) {
        std::string out(static_cast<size_t>(n) + 2, '#');
        EXPECT_EQ(vl_llama_model_desc(chatml, out.data(), cap, err, sizeof err), n) << cap;
        EXPECT_EQ(out, std::string(static_cast<size_t>(n) + 2, '#')) << cap;
    }
    std::string out(static_cast<size_t>(n) + 2, '#');
    EXPECT_EQ(vl_llama_model_desc(chatml, out.data(), static_cast<size_t>(n) + 1, err, sizeof err), n);
    EXPECT_STREQ(out.c_str(), expected.c_str());
    EXPECT_EQ(out.back(), '#');
    EXPECT_STREQ(err, "untouched");
}

TEST(ModelDescRealModels, StoriesDescription) {
    VL_REQUIRE_SHARED_MODEL(path, "stories260K.gguf");
    runtime_ptr runtime = open_runtime(path);
    ASSERT_NE(runtime, nullptr);
    char out[64] = "";
    char err[64] = "";
    const char *expected = "llama ?B (guessed) all F32";
    EXPECT_EQ(vl_llama_model_desc(runtime.get(), out, sizeof out, err, sizeof err),
              static_cast<int64_t>(std::strlen(expected)))
        << err;
    EXPECT_STREQ(out, expected);
}

TEST_F(ModelDesc, MissingRuntimeOrModel) {
    char out[8] = "#######";
    char err[64] = "";
    EXPECT_EQ(vl_llama_model_desc(nullptr, out, sizeof out, err, sizeof err), -1);
    EXPECT_STREQ(err, "runtime is not initialized");
    vl_llama_runtime no_model;
    std::strcpy(err, "");
    EXPECT_EQ(vl_llama_model_desc(&no_model, out, sizeof out, err, sizeof err), -1);
    EXPECT_STREQ(err, "runtime is not initialized");
    EXPECT_STREQ(out, "#######");
    EXPECT_EQ(counts().llama_model_desc, 0);
}

TEST_F(ModelDesc, LlamaCppFailureLeavesTheOutputUntouched) {
    fakes().llama_model_desc = [](const llama_model *, char *buf, size_t size) {
        EXPECT_EQ(size, 512u);
        std::memcpy(buf, "junk", 4);
        return -1;
    };
    char out[16] = "#######";
    char err[64] = "";
    EXPECT_EQ(vl_llama_model_desc(chatml, out, sizeof out, err, sizeof err), -1);
    EXPECT_STREQ(err, "llama_model_desc failed");
    EXPECT_STREQ(out, "#######");

    fakes().llama_model_desc = [](const llama_model *, char *, size_t) -> int32_t {
        throw std::out_of_range("arch");
    };
    EXPECT_EQ(vl_llama_model_desc(chatml, out, sizeof out, err, sizeof err), -1);
    EXPECT_STREQ(err, "llama_model_desc failed");
    EXPECT_STREQ(out, "#######");
}

// llama_model_desc reports the full length of a text it had to cut; only the
// 511 bytes the 512-byte buffer holds are handed on, and nothing past it is
// read (a read beyond it would show under AddressSanitizer).
TEST_F(ModelDesc, LongDescriptionIsCutToTheBufferItWasWrittenInto) {
    for (bool terminated : {true, false}) {
        SCOPED_TRACE(terminated ? "cut with a NUL" : "no NUL at all");
        fakes().llama_model_desc = [terminated](const llama_model *, char *buf, size_t size) {
            std::memset(buf, 'd', size);
            if (terminated) buf[size - 1] = '\0';
            return 700;
        };
        char err[64] = "";
        EXPECT_EQ(vl_llama_model_desc(chatml, nullptr, 0, err, sizeof err), 511) << err;
        std::string out(600, '#');
        EXPECT_EQ(vl_llama_model_desc(chatml, out.data(), 511, err, sizeof err), 511);
        EXPECT_EQ(out, std::string(600, '#'));
        EXPECT_EQ(vl_llama_model_desc(chatml, out.data(), 512, err, sizeof err), 511);
        EXPECT_EQ(out.substr(0, 511), std::string(511, 'd'));
        EXPECT_EQ(out[511], '\0');
        EXPECT_EQ(out[512], '#');
    }
}
