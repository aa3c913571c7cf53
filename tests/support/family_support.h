// The real model families of the build: the fixture models CMake generated
// from every llama.cpp vocabulary file (ggml-vocab-NAME.gguf) it found in the
// shared models folder, and what llama.cpp's own test files expect of them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <llama.h>

#include "vorlenta_llama_shim.h"

namespace vl_test {

struct family {
    std::string name;        // NAME of ggml-vocab-NAME.gguf
    std::string vocabulary;  // that vocabulary-only file

    // The family's fixture model: type "f32" or "q8_0".
    std::string fixture(const std::string &type = "f32") const;
};

// gtest prints a family as its name.
void PrintTo(const family &f, std::ostream *out);

// Every family of the build, in name order (empty when none was found).
std::vector<family> families();

// A test parameter's name: the family's, with '_' for anything but letters
// and digits.
std::string family_name(const ::testing::TestParamInfo<family> &info);

// One text of VOCAB.gguf.inp and the ids VOCAB.gguf.out gives for it,
// tokenized with neither the start token nor special-token parsing.
struct expected_tokenization {
    std::string text;
    std::vector<llama_token> ids;
};

// The family's expected tokenizations; empty when the two files are absent.
// Files that do not pair up fail the calling test.
std::vector<expected_tokenization> expected_tokenizations(const family &f);

// A model file loaded with llama.cpp directly: vocabulary only (which opens
// the tensor-less vocabulary files too) or whole.
struct loaded_model {
    explicit loaded_model(const std::string &path, bool vocab_only = true);
    ~loaded_model();
    loaded_model(const loaded_model &) = delete;
    loaded_model &operator=(const loaded_model &) = delete;

    const llama_vocab *vocab() const;
    // The chat template, "" when the model has none.
    std::string chat_template() const;
    // The value of a metadata key as llama.cpp renders it, "" when absent.
    std::string meta(const std::string &key) const;

    llama_model *model = nullptr;
};

// The model at path loaded once per test program and kept until its tests
// end: a large vocabulary takes seconds to load under valgrind.
const loaded_model *cached_model(const std::string &path, bool vocab_only = true);

// A runtime on the model at path with the test configuration, opened once
// per test program like cached_model (NULL, with a failure, if it cannot).
vl_llama_runtime *cached_runtime(const std::string &path);

// llama.cpp's own tokens for text.
std::vector<llama_token> reference_tokenize(const llama_vocab *vocab, const std::string &text,
                                            bool add_special, bool parse_special);

// log softmax(row)[token] in double precision over the whole row.
double reference_log_prob(const std::vector<float> &row, uint32_t token);

}  // namespace vl_test
