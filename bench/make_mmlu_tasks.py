#!/usr/bin/env python3
"""Writes an MMLU-shaped task file and a few-shot preamble for vl-eval.

    make_mmlu_tasks.py OUT.jsonl PREAMBLE.txt [--questions N] [--shots K] [--seed S]

Questions are made of common words (the benchmark fixture model's weights
are random, so only their length and shape matter): four choices, the answer
as a letter, and a preamble of K solved examples in the layout vl-eval
renders MMLU items in, so that every item shares the preamble's tokens.
"""
import argparse
import json
import random

WORDS = ("time year people way day man thing woman life child world school state family "
         "student group country problem hand part place case week company system program "
         "question work government number night point home water room mother area money "
         "story fact month lot right study book eye job word business issue side kind head "
         "house service friend father power hour game line end member law car city").split()


def sentence(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n)).capitalize()


def question(rng):
    return {"question": sentence(rng, rng.randint(12, 24)) + "?",
            "choices": [sentence(rng, rng.randint(2, 6)) for _ in range(4)],
            "answer": "ABCD"[rng.randrange(4)]}


def render(q):
    lines = [q["question"]] + [f"{l}. {c}" for l, c in zip("ABCD", q["choices"])]
    return "\n".join(lines) + "\nAnswer: " + q["answer"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out")
    parser.add_argument("preamble")
    parser.add_argument("--questions", type=int, default=24)
    parser.add_argument("--shots", type=int, default=5)
    parser.add_argument("--seed", type=int, default=13)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    with open(args.preamble, "w") as f:
        f.write("The following are multiple choice questions (with answers) about general knowledge.\n\n")
        for _ in range(args.shots):
            f.write(render(question(rng)) + "\n\n")
    with open(args.out, "w") as f:
        for i in range(args.questions):
            q = question(rng)
            q["id"] = f"q{i}"
            f.write(json.dumps(q) + "\n")


if __name__ == "__main__":
    main()
