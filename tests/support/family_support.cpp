#include "support/family_support.h"

#include <cctype>
#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "runtime/backend.h"
#include "support/llama_wraps.h"
#include "support/test_support.h"

namespace vl_test {

std::string family::fixture(const std::string &type) const {
    return std::string(VL_FIXTURE_DIR) + "/family-" + name + "-" + type + ".gguf";
}

void PrintTo(const family &f, std::ostream *out) { *out << f.name; }

std::vector<family> families() {
    std::vector<family> found;
    std::ifstream list(VL_FAMILY_LIST);
    std::string line;
    while (std::getline(list, line)) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        found.push_back(family{line.substr(0, tab), line.substr(tab + 1)});
    }
    return found;
}

std::string family_name(const ::testing::TestParamInfo<family> &info) {
    std::string name = info.param.name;
    for (char &c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

namespace {

std::string whole_file(const std::string &path, bool &found) {
    std::ifstream in(path, std::ios::binary);
    found = static_cast<bool>(in);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::vector<expected_tokenization> expected_tokenizations(const family &f) {
    bool have_inp = false, have_out = false;
    const std::string inp = whole_file(f.vocabulary + ".inp", have_inp);
    const std::string out = whole_file(f.vocabulary + ".out", have_out);
    std::vector<expected_tokenization> cases;
    if (!have_inp || !have_out) return cases;

    // Texts each end with this separator; the ids are one line per text.
    const std::string separator = "\n__ggml_vocab_test__\n";
    for (std::size_t at = 0; at < inp.size();) {
        const std::size_t end = inp.find(separator, at);
        if (end == std::string::npos) break;
        cases.push_back({inp.substr(at, end - at), {}});
        at = end + separator.size();
    }
    std::istringstream lines(out);
    std::string line;
    std::size_t n = 0;
    for (; std::getline(lines, line); ++n) {
        if (n >= cases.size()) break;
        std::istringstream ids(line);
        for (long id; ids >> id;) cases[n].ids.push_back(static_cast<llama_token>(id));
    }
    EXPECT_EQ(n, cases.size()) << f.vocabulary << ".out has one line of ids per text of .inp";
    EXPECT_FALSE(cases.empty()) << f.vocabulary << ".inp holds no text";
    return cases;
}

loaded_model::loaded_model(const std::string &path, bool vocab_only) {
    vl::init_backend_once();
    llama_model_params params = llama_model_default_params();
    params.vocab_only = vocab_only;
    params.n_gpu_layers = 0;
    model = real::llama_model_load_from_file(path.c_str(), params);
    EXPECT_NE(model, nullptr) << "llama.cpp cannot load " << path;
}

loaded_model::~loaded_model() {
    if (model != nullptr) real::llama_model_free(model);
}

const llama_vocab *loaded_model::vocab() const { return real::llama_model_get_vocab(model); }

std::string loaded_model::chat_template() const {
    const char *tmpl = real::llama_model_chat_template(model, nullptr);
    return tmpl == nullptr ? "" : tmpl;
}

std::string loaded_model::meta(const std::string &key) const {
    const int32_t n = llama_model_meta_val_str(model, key.c_str(), nullptr, 0);
    if (n < 0) return "";
    std::string value(static_cast<std::size_t>(n) + 1, '\0');
    llama_model_meta_val_str(model, key.c_str(), value.data(), value.size());
    value.resize(static_cast<std::size_t>(n));
    return value;
}

namespace {

struct model_cache {
    std::map<std::pair<std::string, bool>, std::unique_ptr<loaded_model>> models;
    std::map<std::string, runtime_ptr> runtimes;
};

model_cache &cache() {
    static model_cache c;
    return c;
}

// Frees what the cache holds once the last test has run, while llama.cpp is
// still whole.
class cache_release : public ::testing::EmptyTestEventListener {
    void OnTestProgramEnd(const ::testing::UnitTest &) override {
        cache().runtimes.clear();
        cache().models.clear();
    }
};

struct release_installer {
    release_installer() { ::testing::UnitTest::GetInstance()->listeners().Append(new cache_release); }
};
const release_installer install_release;

}  // namespace

const loaded_model *cached_model(const std::string &path, bool vocab_only) {
    std::unique_ptr<loaded_model> &slot = cache().models[{path, vocab_only}];
    if (slot == nullptr) slot = std::make_unique<loaded_model>(path, vocab_only);
    return slot.get();
}

vl_llama_runtime *cached_runtime(const std::string &path) {
    runtime_ptr &slot = cache().runtimes[path];
    if (slot == nullptr) slot = open_runtime(path);
    return slot.get();
}

std::vector<llama_token> reference_tokenize(const llama_vocab *vocab, const std::string &text,
                                            bool add_special, bool parse_special) {
    const int32_t length = static_cast<int32_t>(text.size());
    int32_t n = real::llama_tokenize(vocab, text.data(), length, nullptr, 0, add_special, parse_special);
    std::vector<llama_token> ids(static_cast<std::size_t>(n < 0 ? -n : n));
    if (!ids.empty())
        n = real::llama_tokenize(vocab, text.data(), length, ids.data(), static_cast<int32_t>(ids.size()),
                                 add_special, parse_special);
    EXPECT_GE(n, 0) << "llama.cpp cannot tokenize " << text;
    ids.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return ids;
}

double reference_log_prob(const std::vector<float> &row, uint32_t token) {
    double maximum = -INFINITY;
    for (float x : row) maximum = std::fmax(maximum, static_cast<double>(x));
    double sum = 0.0;
    for (float x : row) sum += std::exp(static_cast<double>(x) - maximum);
    return static_cast<double>(row.at(token)) - maximum - std::log(sum);
}

}  // namespace vl_test
