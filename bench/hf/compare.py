#!/usr/bin/env python3
"""The harness's model `hf` (transformers, float32) against the model
`vorlenta` on the same random-weight Llama, through the harness's own
command line.

Two tasks of generated text: a multiple-choice task (contexts of about 8 to
300 tokens, four answers of 1 to about 40 tokens) and an MMLU-shaped one
(five solved examples before every question, answers " A".." D"). Each runs
with --model hf on the transformers model, and with --model vorlenta on its
F32 and Q8_0 GGUF conversions, with llama.cpp's default options and with
exact=true; with --blas, the vorlenta runs again with ggml's BLAS backend
loaded. For every run it prints the largest and mean difference of each
request's log-likelihood from hf's, the questions whose pick (largest
log-likelihood, acc; per character, acc_norm) differs from hf's, the time
spent scoring (the model's loglikelihood calls) and the whole process's time,
and the scoring speed relative to hf.

    compare.py --model-dir DIR [--threads 2] [--runs 1] [--blas libggml-blas.so]

DIR is make_model.py's output. Run it with the interpreter that has lm_eval
and transformers (./dev bench hf does).
"""
import argparse
import glob
import json
import os
import random
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]

from compare_support import harness_env, task_yaml, taking_turns, timed, use_checkout_package  # noqa: E402
from text import passage, sentence  # noqa: E402

use_checkout_package()

MC_YAML = """output_type: multiple_choice
doc_to_text: "{{context}}"
doc_to_choice: "{{choices}}"
doc_to_target: answer
metric_list:
  - metric: acc
  - metric: acc_norm
"""

MMLU_YAML = """output_type: multiple_choice
description: "The following are multiple choice questions (with answers) about general knowledge.\\n\\n"
doc_to_text: "{{question}}\\nA. {{choices[0]}}\\nB. {{choices[1]}}\\nC. {{choices[2]}}\\nD. {{choices[3]}}\\nAnswer:"
doc_to_choice: ["A", "B", "C", "D"]
doc_to_target: answer
metric_list:
  - metric: acc
"""
TASKS = ("vl_hf_mc", "vl_hf_mmlu")


def answer(rng):
    """A continuation of 1 to about 40 tokens: the start of a sentence."""
    words = sentence(rng).split()
    return " ".join(words[: rng.randint(1, len(words))])


def write_tasks(folder, mc_items, questions, shots, seed):
    rng = random.Random(seed)
    mc = [{"context": passage(rng, rng.choice([1, 1, 2, 3, 5, 8, 12, 18])),
           "choices": [answer(rng) for _ in range(4)], "answer": rng.randrange(4)}
          for _ in range(mc_items)]
    mmlu = [{"question": sentence(rng), "choices": [answer(rng) for _ in range(4)],
             "answer": rng.randrange(4)} for _ in range(shots + questions)]
    files = {}
    for name, docs in (("mc", mc), ("train", mmlu[:shots]), ("test", mmlu[shots:])):
        files[name] = os.path.join(folder, name + ".jsonl")
        with open(files[name], "w") as f:
            f.writelines(json.dumps(d) + "\n" for d in docs)
    with open(os.path.join(folder, "vl_hf_mc.yaml"), "w") as f:
        f.write(task_yaml("vl_hf_mc", {"test": files["mc"]}, MC_YAML))
    with open(os.path.join(folder, "vl_hf_mmlu.yaml"), "w") as f:
        f.write(task_yaml("vl_hf_mmlu", {"train": files["train"], "test": files["test"]}, MMLU_YAML))


class Run:
    """One configuration: its harness arguments, environment and results."""

    def __init__(self, label, model, model_args, env=None):
        self.label, self.model, self.model_args, self.env = label, model, model_args, env or {}
        self.times = {task: [] for task in TASKS}  # (scoring, whole process) seconds a run
        self.samples = {}

    def once(self, work, shots, threads):
        """Both tasks, each a harness process of its own; returns the
        process time of both."""
        out = tempfile.mkdtemp(prefix="run-", dir=work)
        seconds_file = os.path.join(out, "scoring-seconds")
        env = harness_env(work, TRANSFORMERS_OFFLINE="1", OMP_NUM_THREADS=str(threads),
                          VL_BENCH_SCORING_SECONDS=seconds_file, **self.env)
        total = 0.0
        for task, fewshot in (("vl_hf_mc", "0"), ("vl_hf_mmlu", str(shots))):
            argv = [sys.executable, os.path.join(HERE, "timed_harness.py"), "--model", self.model,
                    "--model_args", self.model_args, "--include_path", work, "--tasks", task,
                    "--num_fewshot", fewshot, "--output_path", os.path.join(out, task), "--log_samples"]
            if self.model == "hf":
                argv += ["--batch_size", "1", "--device", "cpu"]
            process = timed(argv, log=os.path.join(out, task + ".log"), env=env, cwd=work)
            with open(seconds_file) as f:
                self.times[task].append((float(f.read()), process))
            total += process
        for task in TASKS:
            (path,) = glob.glob(os.path.join(out, task, "**", "samples_%s_*.jsonl" % task), recursive=True)
            with open(path) as f:
                self.samples[task] = {s["doc_id"]: s for s in map(json.loads, f)}
        print("  %s: %.1f s" % (self.label, total), file=sys.stderr)
        return total

    def best(self, task):
        """The shortest scoring time and the shortest whole-process time."""
        return min(s for s, _ in self.times[task]), min(p for _, p in self.times[task])


def log_likelihoods(sample):
    return [float(r[0][0]) for r in sample["resps"]]


def picks(sample):
    """The answer acc picks (largest log-likelihood) and acc_norm picks (per
    character of the answer), the first of equal ones, as the harness does."""
    lls = log_likelihoods(sample)
    lengths = [len(a["arg_1"]) for a in sample["arguments"].values()]
    norm = [ll / n for ll, n in zip(lls, lengths)]
    return max(range(len(lls)), key=lambda i: (lls[i], -i)), max(range(len(norm)), key=lambda i: (norm[i], -i))


def compare(run, reference, task):
    diffs, acc, acc_norm = [], 0, 0
    for doc_id, sample in reference.samples[task].items():
        other = run.samples[task][doc_id]
        diffs += [abs(a - b) for a, b in zip(log_likelihoods(other), log_likelihoods(sample))]
        mine, theirs = picks(other), picks(sample)
        acc += mine[0] != theirs[0]
        acc_norm += mine[1] != theirs[1]
    return max(diffs), sum(diffs) / len(diffs), len(diffs), acc, acc_norm


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--model-dir", required=True, help="make_model.py's output folder")
    ap.add_argument("--threads", type=int, default=2, help="threads of every model (default 2)")
    ap.add_argument("--mc-items", type=int, default=50, help="multiple-choice items (default 50)")
    ap.add_argument("--questions", type=int, default=100, help="MMLU-shaped questions (default 100)")
    ap.add_argument("--shots", type=int, default=5, help="solved examples before each question (default 5)")
    ap.add_argument("--runs", type=int, default=1, help="timed runs of each, best kept (default 1)")
    ap.add_argument("--blas", help="ggml's BLAS backend (libggml-blas.so): vorlenta runs with it too")
    ap.add_argument("--seed", type=int, default=5, help="seed of the generated items")
    args = ap.parse_args()
    if min(args.threads, args.mc_items, args.questions, args.runs) < 1 or args.shots < 0:
        ap.error("--threads, --mc-items, --questions and --runs must be positive, --shots non-negative")
    model_dir = os.path.abspath(args.model_dir)
    for name in ("hf/config.json", "model-f32.gguf", "model-q8_0.gguf"):
        if not os.path.isfile(os.path.join(model_dir, name)):
            sys.exit("%s: no %s (make it with bench/hf/make_model.py)" % (model_dir, name))
    if args.blas and not os.path.isfile(args.blas):
        sys.exit("no such file: %s" % args.blas)

    work = tempfile.mkdtemp(prefix="vl-bench-hf-")
    write_tasks(work, args.mc_items, args.questions, args.shots, args.seed)
    t = args.threads
    runs = [Run("hf (transformers float32)", "hf",
                "pretrained=%s/hf,dtype=float32,add_bos_token=True" % model_dir)]
    backends = [("", {})] + ([(" +BLAS", {"GGML_BACKEND_PATH": os.path.abspath(args.blas)})] if args.blas else [])
    for file in ("f32", "q8_0"):
        for suffix, env in backends:
            for exact in (False, True):
                runs.append(Run(
                    "vorlenta %s %s%s" % (file.upper(), "exact" if exact else "default", suffix), "vorlenta",
                    "model=%s/model-%s.gguf,n_ctx=2048,threads=%d%s" % (
                        model_dir, file, t, ",exact=true" if exact else ""), env))

    load = [os.getloadavg()[0]]
    taking_turns(args.runs, [lambda _, run=run: run.once(work, args.shots, t) for run in runs])
    load.append(os.getloadavg()[0])

    hf = runs[0]
    n_mc, n_mmlu = len(hf.samples["vl_hf_mc"]), len(hf.samples["vl_hf_mmlu"])
    print("items: %d multiple-choice (4 answers each), %d MMLU-shaped %d-shot (4 answers each); "
          "threads %d; best of %d; load average %.2f before, %.2f after"
          % (n_mc, n_mmlu, args.shots, t, args.runs, load[0], load[1]))
    for task, title in (("vl_hf_mc", "multiple choice"), ("vl_hf_mmlu", "MMLU-shaped, %d-shot" % args.shots)):
        print()
        print("%s: log-likelihood of every request against hf's" % title)
        print()
        print("| run | largest difference | mean difference | acc picks differ | acc_norm picks differ "
              "| scoring s | x hf | whole process s |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|")
        for run in runs:
            seconds, process = run.best(task)
            if run is hf:
                cells = ["-", "-", "-", "-"]
            else:
                largest, mean, _, acc, acc_norm = compare(run, hf, task)
                cells = ["%.2e" % largest, "%.2e" % mean, "%d" % acc, "%d" % acc_norm]
            print("| %s | %s | %.2f | %.2f | %.1f |" % (
                run.label, " | ".join(cells), seconds, hf.best(task)[0] / seconds, process))


if __name__ == "__main__":
    main()
