// The family fixture models are their vocabularies' models: llama.cpp loads
// each, in F32 and Q8_0, with the architecture the generator gives it, and
// finds in it the vocabulary file's tokens, special tokens, start and end
// rules and chat template, so that it tokenizes every text exactly as the
// vocabulary file does and as llama.cpp's expected tokenizations say.
#include <dirent.h>

#include <set>
#include <string>

#include "support/family_support.h"
#include "support/test_support.h"

using namespace vl_test;

namespace {

// Every ggml-vocab-*.gguf of the shared models folder.
std::set<std::string> vocabulary_files() {
    std::set<std::string> names;
    const std::string dir = shared_model_path("");
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.rfind("ggml-vocab-", 0) == 0 && name.size() > 16 &&
                name.compare(name.size() - 5, 5, ".gguf") == 0)
                names.insert(name);
        }
        closedir(d);
    }
    return names;
}

TEST(Families, AreEveryVocabularyFileOfTheSharedFolder) {
    const std::set<std::string> files = vocabulary_files();
    if (files.empty()) GTEST_SKIP() << "no ggml-vocab-*.gguf in the shared models folder";
    std::set<std::string> listed;
    for (const family &f : families()) listed.insert("ggml-vocab-" + f.name + ".gguf");
    EXPECT_EQ(listed, files) << "CMake found other vocabularies than the folder holds: configure again";
}

class FamilyFixture : public ::testing::TestWithParam<family> {};

// The architecture the generator writes for a vocabulary of this one.
std::string written_architecture(const std::string &vocabulary_architecture) {
    for (const char *arch : {"llama", "qwen2", "phi3"})
        if (vocabulary_architecture == arch) return arch;
    return "llama";
}

TEST_P(FamilyFixture, HasTheVocabularyFilesTokensSpecialTokensAndTemplate) {
    const family &f = GetParam();
    const loaded_model &original = *cached_model(f.vocabulary);
    ASSERT_NE(original.model, nullptr);
    const llama_vocab *want = original.vocab();
    for (const char *type : {"f32", "q8_0"}) {
        SCOPED_TRACE(type);
        const loaded_model &fixture = *cached_model(f.fixture(type), false);
        ASSERT_NE(fixture.model, nullptr);
        const llama_vocab *got = fixture.vocab();

        EXPECT_EQ(fixture.meta("general.architecture"),
                  written_architecture(original.meta("general.architecture")));
        char desc[128] = "";
        llama_model_desc(fixture.model, desc, sizeof desc);
        EXPECT_NE(std::string(desc).find(std::string(type) == "f32" ? "F32" : "Q8_0"), std::string::npos)
            << desc;

        EXPECT_EQ(llama_vocab_type(got), llama_vocab_type(want));
        const int32_t n = real::llama_vocab_n_tokens(got);
        ASSERT_EQ(n, real::llama_vocab_n_tokens(want));
        EXPECT_EQ(llama_model_n_embd(fixture.model), 32);
        for (auto special : {llama_vocab_bos, llama_vocab_eos, llama_vocab_eot, llama_vocab_sep,
                             llama_vocab_nl, llama_vocab_pad, llama_vocab_mask, llama_vocab_fim_pre,
                             llama_vocab_fim_suf, llama_vocab_fim_mid, llama_vocab_fim_pad,
                             llama_vocab_fim_rep, llama_vocab_fim_sep})
            EXPECT_EQ(special(got), special(want));
        EXPECT_EQ(llama_vocab_get_add_bos(got), llama_vocab_get_add_bos(want));
        EXPECT_EQ(llama_vocab_get_add_eos(got), llama_vocab_get_add_eos(want));
        EXPECT_EQ(llama_vocab_get_add_sep(got), llama_vocab_get_add_sep(want));
        EXPECT_EQ(fixture.chat_template(), original.chat_template());
        EXPECT_EQ(fixture.meta("tokenizer.ggml.pre"), original.meta("tokenizer.ggml.pre"));

        int differing = 0;
        for (llama_token id = 0; id < n && differing < 5; ++id) {
            const bool same = std::string(llama_vocab_get_text(got, id)) == llama_vocab_get_text(want, id) &&
                              llama_vocab_get_attr(got, id) == llama_vocab_get_attr(want, id) &&
                              llama_vocab_get_score(got, id) == llama_vocab_get_score(want, id) &&
                              llama_vocab_is_eog(got, id) == llama_vocab_is_eog(want, id);
            if (!same) {
                ++differing;
                ADD_FAILURE() << "token " << id << " differs: " << llama_vocab_get_text(got, id);
            }
        }
    }
}

TEST_P(FamilyFixture, TokenizesAsTheVocabularyFileAndItsExpectedIds) {
    const family &f = GetParam();
    const std::vector<expected_tokenization> cases = expected_tokenizations(f);
    if (cases.empty()) GTEST_SKIP() << f.vocabulary << " has no .inp/.out beside it";
    const loaded_model &original = *cached_model(f.vocabulary);
    const loaded_model &fixture = *cached_model(f.fixture("q8_0"), false);
    ASSERT_NE(original.model, nullptr);
    ASSERT_NE(fixture.model, nullptr);
    for (const expected_tokenization &c : cases) {
        SCOPED_TRACE("text: \"" + c.text + "\"");
        EXPECT_EQ(reference_tokenize(fixture.vocab(), c.text, false, false), c.ids);
        EXPECT_EQ(reference_tokenize(original.vocab(), c.text, false, false), c.ids);
        // The start-token rule and special-token parsing are the file's too.
        EXPECT_EQ(reference_tokenize(fixture.vocab(), c.text, true, true),
                  reference_tokenize(original.vocab(), c.text, true, true));
    }
}

INSTANTIATE_TEST_SUITE_P(Vocabularies, FamilyFixture, ::testing::ValuesIn(families()), family_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FamilyFixture);

}  // namespace
