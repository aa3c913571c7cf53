#!/usr/bin/env python3
"""Makes the model of the benchmark against transformers, in OUT:

  hf/                 a Llama with random weights, made in transformers
                      (float32, safetensors), and a SentencePiece tokenizer
                      trained on generated text;
  model-f32.gguf      hf/ converted with Debian's convert_hf_to_gguf.py;
  model-q8_0.gguf     the same, its matrices in Q8_0.

    make_model.py OUT [--layers 8] [--hidden 512] [--vocab 8000] [--seed 1]

Everything is deterministic for a seed. The weights are drawn wider than
transformers' default (--init-std 0.08, not 0.02), so that the model's
next-token distributions are peaked like a trained model's instead of nearly
flat, and near-ties between answers are as rare as they are in real use.
"""
import argparse
import os
import random
import subprocess
import sys

from text import corpus_lines

CONVERTER = "/usr/share/doc/llama.cpp-tools/scripts/convert_hf_to_gguf.py"


def train_tokenizer(folder, lines, vocab):
    import sentencepiece

    corpus = os.path.join(folder, "corpus.txt")
    with open(corpus, "w") as f:
        f.writelines(line + "\n" for line in lines)
    # Llama's own SentencePiece settings: BPE, byte fallback, digits split,
    # no normalisation, a dummy prefix space, <unk> <s> </s> as ids 0 1 2.
    sentencepiece.SentencePieceTrainer.train(
        input=corpus, model_prefix=os.path.join(folder, "tokenizer"), vocab_size=vocab,
        model_type="bpe", byte_fallback=True, split_digits=True, character_coverage=1.0,
        normalization_rule_name="identity", remove_extra_whitespaces=False,
        add_dummy_prefix=True, unk_id=0, bos_id=1, eos_id=2, pad_id=-1,
        num_threads=2, minloglevel=2, input_sentence_size=0, shuffle_input_sentence=False,
    )
    os.remove(corpus)
    os.remove(os.path.join(folder, "tokenizer.vocab"))


def make_hf_model(folder, args):
    import torch
    from transformers import LlamaConfig, LlamaForCausalLM, LlamaTokenizer

    config = LlamaConfig(
        vocab_size=args.vocab, hidden_size=args.hidden, intermediate_size=args.ff,
        num_hidden_layers=args.layers, num_attention_heads=args.heads,
        num_key_value_heads=args.kv_heads, max_position_embeddings=2048, rms_norm_eps=1e-5,
        initializer_range=args.init_std, tie_word_embeddings=False, bos_token_id=1,
        eos_token_id=2, torch_dtype="float32",
    )
    torch.manual_seed(args.seed)
    model = LlamaForCausalLM(config).to(torch.float32).eval()
    model.save_pretrained(folder, safe_serialization=True)
    # Read from tokenizer.model alone, the tokenizer is converted from the
    # SentencePiece model; saved, it is what AutoTokenizer finds beside it.
    tokenizer = LlamaTokenizer.from_pretrained(folder, legacy=False, add_bos_token=True,
                                               add_eos_token=False)
    if len(tokenizer) != args.vocab:
        sys.exit("transformers read %d tokens from tokenizer.model, not %d" % (len(tokenizer), args.vocab))
    tokenizer.save_pretrained(folder)


def convert(folder, out, outtype):
    done = subprocess.run([sys.executable, CONVERTER, folder, "--outtype", outtype, "--outfile", out],
                          capture_output=True, text=True)
    if done.returncode != 0 or not os.path.isfile(out):
        sys.exit("%s failed:\n%s" % (CONVERTER, done.stderr[-3000:]))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("out", help="folder to write the model into")
    ap.add_argument("--layers", type=int, default=8)
    ap.add_argument("--hidden", type=int, default=512)
    ap.add_argument("--ff", type=int, default=1408)
    ap.add_argument("--heads", type=int, default=8)
    ap.add_argument("--kv-heads", type=int, default=4)
    ap.add_argument("--vocab", type=int, default=8000)
    ap.add_argument("--init-std", type=float, default=0.08)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    hf = os.path.join(args.out, "hf")
    os.makedirs(hf, exist_ok=True)
    train_tokenizer(hf, corpus_lines(random.Random(args.seed), 20000), args.vocab)
    make_hf_model(hf, args)
    for outtype in ("f32", "q8_0"):
        convert(hf, os.path.join(args.out, "model-%s.gguf" % outtype), outtype)


if __name__ == "__main__":
    main()
