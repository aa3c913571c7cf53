#!/usr/bin/env python3
"""What the start token changes in a rolling (perplexity) task.

The harness's HF model (lm_eval 0.4.13) tokenizes a rolling document with the
tokenizer's defaults, so that where the vocabulary adds a start token its
first window scores that start token after the prefix token, which is the
same start token; the harness model `vorlenta` scores the document's own
tokens after the prefix token. This prints, for a model and a set of
documents, word_perplexity and bits_per_byte as the harness aggregates them
both ways, from the same harness model's scorer, and their ratio.

  python3 bench/rolling_start_token.py [--model GGUF] [--docs FILE.jsonl]

FILE.jsonl holds one {"text": ...} per line; the default is a few short
children's stories, the kind stories260K (the default model) was trained on.
"""
import argparse
import json
import math
import os
import re
import sys

from lm_eval import utils as harness_utils

from vorlenta_llama_shim.harness import HarnessModel

STORIES = [
    "Once upon a time, there was a little girl named Lily. She loved to play outside in the sun.",
    "Tom had a big red ball. He liked to throw it to his dog. The dog ran fast and brought the ball back. "
    "Tom was happy and they played all day until the sun went down.",
    "One day, a little boy named Ben went to the park with his mom. He saw a big tree and wanted to climb it. "
    "His mom said, \"Be careful, Ben!\" Ben climbed up high and saw a bird in a nest.",
    "Sue had a small cat. The cat was soft and white. Every night the cat slept on Sue's bed, and Sue "
    "was never scared of the dark.",
    "There was a big bear who lived in the woods. The bear was hungry, so he looked for honey. He found a "
    "tree full of bees and ate the sweet honey. Then he went home to sleep.",
    "Mia and her friend Max liked to paint. They painted a red sun, a blue sky and a green tree. Their "
    "teacher smiled and put the picture on the wall.",
]


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--model", default=os.path.join(os.path.dirname(root), "shared/models/stories260K.gguf"))
    ap.add_argument("--docs", help="JSON lines with a text each (default: a few short stories)")
    ap.add_argument("--threads", type=int, default=1)
    a = ap.parse_args()
    docs = STORIES
    if a.docs:
        with open(a.docs, encoding="utf-8") as f:
            docs = [json.loads(line)["text"] for line in f if line.strip()]
    model = HarnessModel(model=a.model, threads=a.threads)
    rt = model._runtime
    if rt.start_token is None:
        print("%s adds no start token: both ways tokenize alike" % os.path.basename(a.model))
        return 0

    def defaults_windows(text):
        # The harness's HF model: the tokenizer's defaults, the start token first.
        windows = harness_utils.get_rolling_token_windows(
            token_list=rt.tokenize(text).tolist(), prefix_token=model.prefix_token_id,
            max_seq_len=model.max_length, context_len=1,
        )
        return list(map(harness_utils.make_disjoint_window, windows))

    words = sum(len(re.split(r"\s+", d)) for d in docs)
    size = sum(len(d.encode("utf-8")) for d in docs)
    print("model %s, %d documents, %d words, %d bytes, max_length %d"
          % (os.path.basename(a.model), len(docs), words, size, model.max_length))
    print("%-34s %16s %14s" % ("tokens scored", "word_perplexity", "bits_per_byte"))
    results = {}
    for name, windows_of in (("the text's (vorlenta)", model.rolling_windows),
                             ("start token first (HF defaults)", defaults_windows)):
        pairs = [w for d in docs for w in windows_of(d)]
        model._size_window(pairs)
        total = sum(lp for lp, _ in model._score(pairs, True, ""))
        results[name] = (math.exp(-total / words), -total / size / math.log(2))
        print("%-34s %16.4f %14.4f" % (name, *results[name]))
    ours, theirs = results.values()
    print("%-34s %15.4fx %13.4fx" % ("HF defaults / vorlenta", theirs[0] / ours[0], theirs[1] / ours[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
