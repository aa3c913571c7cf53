// Writes small deterministic GGUF models for the tests and the benchmark.
//
//   vl-make-fixture OUT.gguf [--variant chatml|plain|bert] [--layers N]
//                   [--embd N] [--ff N] [--heads N] [--kv-heads N]
//                   [--vocab N] [--type f32|f16|q8_0] [--seed N]
//                   [--vocabulary VOCAB.gguf]
//
// The same arguments always give the same bytes: weights come from a seeded
// integer generator, and the vocabulary is built in a fixed order.
//
// With --vocabulary the model is a real family's instead: every tokenizer.*
// key of VOCAB.gguf (a vocabulary-only file such as llama.cpp's
// ggml-vocab-*.gguf: tokens, merges or scores, token types, special-token
// ids, start and end rules, pre-tokenizer, chat template) is copied as it is,
// the embedding and output rows cover the whole vocabulary, the trained
// context length is the file's (2048 where it states none), and the layers
// are those of the file's own architecture when it is one written here
// (llama, qwen2, phi3), else llama's: the tokenizer does not depend on it.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include <ggml.h>
#include <gguf.h>

namespace {

struct options {
    std::string out;
    std::string variant = "chatml";
    int layers = 2;
    int embd = 64;
    int ff = 128;
    int heads = 4;
    int kv_heads = 2;
    int vocab = 0;  // 0: just the base vocabulary
    ggml_type type = GGML_TYPE_F32;
    std::uint64_t seed = 1;
    std::string vocabulary;  // a GGUF file whose tokenizer the model takes
};

const char *chatml_template =
    "{% for message in messages %}{{'<|im_start|>' + message['role'] + '\n' + message['content'] + "
    "'<|im_end|>' + '\n'}}{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\n' }}"
    "{% endif %}";

// SentencePiece token types as llama.cpp reads them.
enum token_type : std::int32_t { normal = 1, unknown = 2, control = 3, byte = 6 };

struct vocabulary {
    std::vector<std::string> pieces;
    std::vector<float> scores;
    std::vector<std::int32_t> types;
    std::unordered_set<std::string> known;

    bool has(const std::string &piece) const { return known.count(piece) != 0; }
    void add(const std::string &piece, token_type type) {
        scores.push_back(-static_cast<float>(pieces.size()) / 64.0f);
        pieces.push_back(piece);
        types.push_back(type);
        known.insert(piece);
    }
    // A word and every piece the merger passes through on the way to it.
    void add_word(const std::string &word) {
        for (std::size_t n = 2; n <= word.size(); ++n) {
            std::string piece = word.substr(0, n);
            if (!has(piece)) add(piece, normal);
        }
    }
};

const std::string space = "\xe2\x96\x81";  // U+2581, SentencePiece's word boundary

vocabulary make_vocabulary(int target) {
    vocabulary v;
    v.add("<unk>", unknown);
    v.add("<s>", control);
    v.add("</s>", control);
    for (int b = 0; b < 256; ++b) {
        char name[8];
        std::snprintf(name, sizeof name, "<0x%02X>", b);
        v.add(name, byte);
    }
    v.add("<|im_start|>", control);
    v.add("<|im_end|>", control);
    v.add(space, normal);
    for (int c = 0x21; c < 0x7f; ++c) v.add(std::string(1, static_cast<char>(c)), normal);
    for (int c = 'a'; c <= 'z'; ++c) v.add(space + static_cast<char>(c), normal);
    for (int c = 'A'; c <= 'Z'; ++c) v.add(space + static_cast<char>(c), normal);
    const char *words[] = {"system", "user", "assistant", "You", "are", "a", "terse", "helpful",
                           "Say", "hi", "hello", "the", "The", "What", "is", "capital", "of",
                           "France", "Paris", "London", "Berlin", "Rome", "Madrid", "answer",
                           "Answer", "yes", "no", "Once", "upon", "time", "there", "was",
                           "little", "girl", "boy", "cat", "dog", "and", "to", "in", "it"};
    for (const char *w : words) {
        v.add_word(w);
        v.add_word(space + w);
    }
    // Pad to the requested size with letter strings, shortest first, so that
    // every piece's own prefix is already present.
    std::vector<std::string> level = {""};
    while (static_cast<int>(v.pieces.size()) < target) {
        std::vector<std::string> next;
        for (const std::string &s : level)
            for (char c = 'a'; c <= 'z'; ++c) next.push_back(s + c);
        for (const std::string &s : next) {
            for (const std::string &piece : {s, space + s}) {
                if (static_cast<int>(v.pieces.size()) >= target) break;
                if (piece.size() > 1 && !v.has(piece)) v.add(piece, normal);
            }
        }
        level.swap(next);
    }
    return v;
}

// splitmix64: a fixed, portable sequence for the weights.
struct generator {
    std::uint64_t state;
    float next(float scale) {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        double unit = static_cast<double>(z >> 11) / 9007199254740992.0;  // [0, 1)
        return static_cast<float>((unit * 2.0 - 1.0) * scale);
    }
};

struct writer {
    gguf_context *gguf = gguf_init_empty();
    std::vector<ggml_context *> contexts;  // must outlive gguf_write_to_file
    generator gen;
    ggml_type matrix_type;

    ~writer() {
        for (ggml_context *c : contexts) ggml_free(c);
        gguf_free(gguf);
    }

    // One tensor of ne0 x ne1 values; one-dimensional tensors stay F32.
    void tensor(const std::string &name, std::int64_t ne0, std::int64_t ne1, float scale,
                float offset = 0.0f) {
        const bool matrix = ne1 > 1;
        const ggml_type type = matrix ? matrix_type : GGML_TYPE_F32;
        ggml_init_params params{ggml_tensor_overhead() + ggml_row_size(type, ne0) * ne1 + 64,
                                nullptr, false};
        ggml_context *c = ggml_init(params);
        contexts.push_back(c);
        ggml_tensor *t = matrix ? ggml_new_tensor_2d(c, type, ne0, ne1) : ggml_new_tensor_1d(c, type, ne0);
        ggml_set_name(t, name.c_str());
        std::vector<float> values(static_cast<std::size_t>(ne0 * ne1));
        for (float &x : values) x = offset + gen.next(scale);
        if (type == GGML_TYPE_F32) {
            std::memcpy(t->data, values.data(), values.size() * sizeof(float));
        } else if (type == GGML_TYPE_F16) {
            ggml_fp32_to_fp16_row(values.data(), static_cast<ggml_fp16_t *>(t->data),
                                  static_cast<std::int64_t>(values.size()));
        } else {
            ggml_quantize_chunk(type, values.data(), t->data, 0, ne1, ne0, nullptr);
        }
        gguf_add_tensor(gguf, t);
    }
};

void write_tokenizer(writer &w, const vocabulary &v, bool with_template) {
    std::vector<const char *> pieces;
    for (const std::string &p : v.pieces) pieces.push_back(p.c_str());
    gguf_set_val_str(w.gguf, "tokenizer.ggml.model", "llama");
    gguf_set_arr_str(w.gguf, "tokenizer.ggml.tokens", pieces.data(), pieces.size());
    gguf_set_arr_data(w.gguf, "tokenizer.ggml.scores", GGUF_TYPE_FLOAT32, v.scores.data(), v.scores.size());
    gguf_set_arr_data(w.gguf, "tokenizer.ggml.token_type", GGUF_TYPE_INT32, v.types.data(), v.types.size());
    gguf_set_val_u32(w.gguf, "tokenizer.ggml.unknown_token_id", 0);
    gguf_set_val_u32(w.gguf, "tokenizer.ggml.bos_token_id", 1);
    gguf_set_val_u32(w.gguf, "tokenizer.ggml.eos_token_id", 2);
    gguf_set_val_bool(w.gguf, "tokenizer.ggml.add_bos_token", true);
    gguf_set_val_bool(w.gguf, "tokenizer.ggml.add_eos_token", false);
    if (with_template) gguf_set_val_str(w.gguf, "tokenizer.chat_template", chatml_template);
}

// A decoder of one of the architectures llama.cpp builds the same way up to
// their attention and feed-forward tensors: llama (separate q, k, v and a
// gated feed-forward), qwen2 (the same with q, k and v biases) and phi3 (q, k
// and v in one matrix, gate and up in one).
void write_decoder(writer &w, const options &o, const std::string &arch, int n_vocab,
                   const std::string &name, std::uint32_t trained = 2048) {
    const int head_dim = o.embd / o.heads;
    const int kv_dim = head_dim * o.kv_heads;
    auto key = [&](const char *k) { return arch + "." + k; };
    gguf_set_val_str(w.gguf, "general.architecture", arch.c_str());
    gguf_set_val_str(w.gguf, "general.name", name.c_str());
    gguf_set_val_u32(w.gguf, key("context_length").c_str(), trained);
    gguf_set_val_u32(w.gguf, key("embedding_length").c_str(), o.embd);
    gguf_set_val_u32(w.gguf, key("block_count").c_str(), o.layers);
    gguf_set_val_u32(w.gguf, key("feed_forward_length").c_str(), o.ff);
    gguf_set_val_u32(w.gguf, key("attention.head_count").c_str(), o.heads);
    gguf_set_val_u32(w.gguf, key("attention.head_count_kv").c_str(), o.kv_heads);
    gguf_set_val_u32(w.gguf, key("rope.dimension_count").c_str(), head_dim);
    gguf_set_val_f32(w.gguf, key("attention.layer_norm_rms_epsilon").c_str(), 1e-5f);
    gguf_set_val_u32(w.gguf, key("vocab_size").c_str(), n_vocab);

    const float s = 1.0f / std::sqrt(static_cast<float>(o.embd));
    const float s_ff = 1.0f / std::sqrt(static_cast<float>(o.ff));
    w.tensor("token_embd.weight", o.embd, n_vocab, 1.0f);
    w.tensor("output_norm.weight", o.embd, 1, 0.1f, 1.0f);
    w.tensor("output.weight", o.embd, n_vocab, 4.0f * s);
    for (int l = 0; l < o.layers; ++l) {
        const std::string b = "blk." + std::to_string(l) + ".";
        w.tensor(b + "attn_norm.weight", o.embd, 1, 0.1f, 1.0f);
        if (arch == "phi3") {
            w.tensor(b + "attn_qkv.weight", o.embd, o.embd + 2 * kv_dim, s);
        } else {
            w.tensor(b + "attn_q.weight", o.embd, o.embd, s);
            w.tensor(b + "attn_k.weight", o.embd, kv_dim, s);
            w.tensor(b + "attn_v.weight", o.embd, kv_dim, s);
        }
        if (arch == "qwen2") {
            w.tensor(b + "attn_q.bias", o.embd, 1, 0.1f);
            w.tensor(b + "attn_k.bias", kv_dim, 1, 0.1f);
            w.tensor(b + "attn_v.bias", kv_dim, 1, 0.1f);
        }
        w.tensor(b + "attn_output.weight", o.embd, o.embd, s);
        w.tensor(b + "ffn_norm.weight", o.embd, 1, 0.1f, 1.0f);
        if (arch == "phi3") {
            w.tensor(b + "ffn_up.weight", o.embd, 2 * o.ff, s);
        } else {
            w.tensor(b + "ffn_gate.weight", o.embd, o.ff, s);
            w.tensor(b + "ffn_up.weight", o.embd, o.ff, s);
        }
        w.tensor(b + "ffn_down.weight", o.ff, o.embd, s_ff);
    }
}

// A vocabulary-only GGUF file, open for reading its keys.
struct source_file {
    gguf_context *gguf = nullptr;
    explicit source_file(const std::string &path) {
        gguf_init_params params{true, nullptr};
        gguf = gguf_init_from_file(path.c_str(), params);
    }
    ~source_file() {
        if (gguf != nullptr) gguf_free(gguf);
    }
    source_file(const source_file &) = delete;
    source_file &operator=(const source_file &) = delete;

    std::string text(const std::string &key) const {
        const std::int64_t id = gguf_find_key(gguf, key.c_str());
        if (id < 0 || gguf_get_kv_type(gguf, id) != GGUF_TYPE_STRING) return "";
        return gguf_get_val_str(gguf, id);
    }
    std::uint32_t count(const std::string &key, std::uint32_t otherwise) const {
        const std::int64_t id = gguf_find_key(gguf, key.c_str());
        if (id < 0 || gguf_get_kv_type(gguf, id) != GGUF_TYPE_UINT32) return otherwise;
        return gguf_get_val_u32(gguf, id);
    }
};

bool is_tokenizer_key(const std::string &key) { return key.rfind("tokenizer.", 0) == 0; }

// Copies every tokenizer.* key of the source, of whatever type, in its order.
void copy_tokenizer(writer &w, const source_file &source) {
    gguf_context *keys = gguf_init_empty();
    gguf_set_kv(keys, source.gguf);
    for (std::int64_t i = 0; i < gguf_get_n_kv(source.gguf); ++i) {
        const std::string key = gguf_get_key(source.gguf, i);
        if (!is_tokenizer_key(key)) gguf_remove_key(keys, key.c_str());
    }
    gguf_set_kv(w.gguf, keys);
    gguf_free(keys);
}

const char *const written_architectures[] = {"llama", "qwen2", "phi3"};

// The model of a real family's vocabulary; false, with the reason printed,
// when the file is no vocabulary.
bool write_family(writer &w, const options &o) {
    const source_file source(o.vocabulary);
    if (source.gguf == nullptr) {
        std::fprintf(stderr, "vl-make-fixture: %s: not a readable GGUF file\n", o.vocabulary.c_str());
        return false;
    }
    const std::int64_t tokens = gguf_find_key(source.gguf, "tokenizer.ggml.tokens");
    if (tokens < 0 || gguf_get_kv_type(source.gguf, tokens) != GGUF_TYPE_ARRAY ||
        gguf_get_arr_type(source.gguf, tokens) != GGUF_TYPE_STRING ||
        gguf_get_arr_n(source.gguf, tokens) == 0 ||
        gguf_get_arr_n(source.gguf, tokens) > static_cast<std::size_t>(INT32_MAX)) {
        std::fprintf(stderr, "vl-make-fixture: %s: no tokenizer.ggml.tokens list of token texts\n",
                     o.vocabulary.c_str());
        return false;
    }
    const int n_vocab = static_cast<int>(gguf_get_arr_n(source.gguf, tokens));
    const std::string source_arch = source.text("general.architecture");
    std::string arch = "llama";
    for (const char *known : written_architectures)
        if (source_arch == known) arch = known;
    std::string name = source.text("general.name");
    // The family's trained context length, where the file states it.
    const std::uint32_t trained = source.count(source_arch + ".context_length", 2048);
    write_decoder(w, o, arch, n_vocab, "vorlenta fixture" + (name.empty() ? "" : " (" + name + ")"),
                  trained > 0 ? trained : 2048);
    copy_tokenizer(w, source);
    return true;
}

// A small encoder: llama.cpp gives its context no sequence memory.
void write_bert(writer &w, const options &o, int n_vocab) {
    gguf_set_val_str(w.gguf, "general.architecture", "bert");
    gguf_set_val_str(w.gguf, "general.name", "vorlenta fixture encoder");
    gguf_set_val_u32(w.gguf, "bert.context_length", 512);
    gguf_set_val_u32(w.gguf, "bert.embedding_length", o.embd);
    gguf_set_val_u32(w.gguf, "bert.block_count", o.layers);
    gguf_set_val_u32(w.gguf, "bert.feed_forward_length", o.ff);
    gguf_set_val_u32(w.gguf, "bert.attention.head_count", o.heads);
    gguf_set_val_f32(w.gguf, "bert.attention.layer_norm_epsilon", 1e-12f);
    gguf_set_val_bool(w.gguf, "bert.attention.causal", false);
    gguf_set_val_u32(w.gguf, "bert.pooling_type", 1);
    gguf_set_val_u32(w.gguf, "tokenizer.ggml.token_type_count", 2);

    const float s = 1.0f / std::sqrt(static_cast<float>(o.embd));
    w.tensor("token_embd.weight", o.embd, n_vocab, 1.0f);
    w.tensor("token_types.weight", o.embd, 2, 0.1f);
    w.tensor("position_embd.weight", o.embd, 512, 0.1f);
    w.tensor("token_embd_norm.weight", o.embd, 1, 0.1f, 1.0f);
    w.tensor("token_embd_norm.bias", o.embd, 1, 0.1f);
    for (int l = 0; l < o.layers; ++l) {
        const std::string b = "blk." + std::to_string(l) + ".";
        for (const char *m : {"attn_q", "attn_k", "attn_v", "attn_output"}) {
            w.tensor(b + m + ".weight", o.embd, o.embd, s);
            w.tensor(b + m + ".bias", o.embd, 1, 0.1f);
        }
        w.tensor(b + "attn_output_norm.weight", o.embd, 1, 0.1f, 1.0f);
        w.tensor(b + "attn_output_norm.bias", o.embd, 1, 0.1f);
        w.tensor(b + "ffn_up.weight", o.embd, o.ff, s);
        w.tensor(b + "ffn_up.bias", o.ff, 1, 0.1f);
        w.tensor(b + "ffn_down.weight", o.ff, o.embd, s);
        w.tensor(b + "ffn_down.bias", o.embd, 1, 0.1f);
        w.tensor(b + "layer_output_norm.weight", o.embd, 1, 0.1f, 1.0f);
        w.tensor(b + "layer_output_norm.bias", o.embd, 1, 0.1f);
    }
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: vl-make-fixture OUT.gguf [--variant chatml|plain|bert] [--layers N] [--embd N]\n"
                 "       [--ff N] [--heads N] [--kv-heads N] [--vocab N] [--type f32|f16|q8_0] [--seed N]\n"
                 "       [--vocabulary VOCAB.gguf]\n");
    std::exit(2);
}

options parse(int argc, char **argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == "--variant") o.variant = value();
        else if (a == "--layers") o.layers = std::atoi(value().c_str());
        else if (a == "--embd") o.embd = std::atoi(value().c_str());
        else if (a == "--ff") o.ff = std::atoi(value().c_str());
        else if (a == "--heads") o.heads = std::atoi(value().c_str());
        else if (a == "--kv-heads") o.kv_heads = std::atoi(value().c_str());
        else if (a == "--vocab") o.vocab = std::atoi(value().c_str());
        else if (a == "--seed") o.seed = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--vocabulary") o.vocabulary = value();
        else if (a == "--type") {
            std::string t = value();
            if (t == "f32") o.type = GGML_TYPE_F32;
            else if (t == "f16") o.type = GGML_TYPE_F16;
            else if (t == "q8_0") o.type = GGML_TYPE_Q8_0;
            else usage();
        } else if (!a.empty() && a[0] != '-' && o.out.empty()) o.out = a;
        else usage();
    }
    if (o.out.empty() || o.layers < 1 || o.embd < 1 || o.heads < 1 || o.kv_heads < 1 ||
        o.embd % o.heads != 0 || o.heads % o.kv_heads != 0 ||
        (o.variant != "chatml" && o.variant != "plain" && o.variant != "bert"))
        usage();
    return o;
}

}  // namespace

int main(int argc, char **argv) {
    const options o = parse(argc, argv);
    writer w;
    w.gen.state = o.seed;
    w.matrix_type = o.type;
    if (!o.vocabulary.empty()) {
        if (!write_family(w, o)) return 1;
    } else {
        const vocabulary v = make_vocabulary(o.vocab);
        const int n_vocab = static_cast<int>(v.pieces.size());
        write_tokenizer(w, v, o.variant == "chatml");
        if (o.variant == "bert") write_bert(w, o, n_vocab);
        else write_decoder(w, o, "llama", n_vocab, "vorlenta fixture");
    }

    if (!gguf_write_to_file(w.gguf, o.out.c_str(), false)) {
        std::fprintf(stderr, "vl-make-fixture: cannot write %s\n", o.out.c_str());
        return 1;
    }
    return 0;
}
