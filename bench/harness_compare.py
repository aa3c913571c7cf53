#!/usr/bin/env python3
"""The evaluation harness (lm_eval) through the model `vorlenta` against
vl-eval, on the same multiple-choice items.

Generates an MMLU-shaped task of the harness: --shots few-shot examples
(always the same first ones, so every question shares the preamble) before
each of --questions questions of about 80 tokens, answers " A".." D". Then:

  harness   python3 -m vorlenta_llama_shim.harness on the task, the whole
            process (imports, task building, model loading, scoring,
            metrics, writing results);
  model     the `vorlenta` model alone, in this process, on the requests the
            harness logged: the library's scoring plus this package's
            tokenization and grouping, model loading excluded;
  vl-eval   vl-eval --prompt raw on the very contexts the harness built
            (taken from its logged samples), the whole process.

Prints the best of --runs wall times of each (the programs taking turns, so
that other load falls alike on both), the harness's overhead on top of the
library, and checks that both pick the same answer for every question.

  VL_LLAMA_SHIM_LIBRARY=build/release/libvorlenta_llama_shim.so \\
  python3 bench/harness_compare.py --vl-eval build/release/tools/eval/vl-eval \\
      --model build/release/fixtures/bench.gguf [--threads 1] [--runs 3]

Run it with the interpreter that has lm_eval (./dev bench harness does).
"""
import argparse
import json
import os
import random
import sys
import tempfile
import time

from compare_support import WORDS, harness_env, task_yaml, taking_turns, timed, use_checkout_package

use_checkout_package()

TASK_YAML = """output_type: multiple_choice
doc_to_text: "Question: {{{{question}}}}\\nA. {{{{choices[0]}}}}\\nB. {{{{choices[1]}}}}\\nC. {{{{choices[2]}}}}\\nD. {{{{choices[3]}}}}\\nAnswer:"
doc_to_choice: ["A", "B", "C", "D"]
doc_to_target: answer
metric_list:
  - metric: acc
    aggregation: mean
    higher_is_better: true
"""


def sentence(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n)).capitalize()


def write_task(folder, shots, questions, seed):
    rng = random.Random(seed)
    docs = [
        {
            "question": sentence(rng, 14) + "?",
            "choices": [sentence(rng, rng.randint(2, 6)) for _ in range(4)],
            "answer": rng.randrange(4),
        }
        for _ in range(shots + questions)
    ]
    paths = {}
    for split, part in (("train", docs[:shots]), ("test", docs[shots:])):
        paths[split] = os.path.join(folder, split + ".jsonl")
        with open(paths[split], "w") as f:
            f.writelines(json.dumps(d) + "\n" for d in part)
    with open(os.path.join(folder, "vl_bench_mc.yaml"), "w") as f:
        f.write(task_yaml("vl_bench_mc", paths, TASK_YAML.format()))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--vl-eval", required=True, help="the vl-eval program")
    ap.add_argument("--model", required=True, help="GGUF model file")
    ap.add_argument("--questions", type=int, default=48, help="questions (default 48)")
    ap.add_argument("--shots", type=int, default=5, help="few-shot examples (default 5)")
    ap.add_argument("--threads", type=int, default=1, help="threads (default 1)")
    ap.add_argument("--ctx", type=int, default=2048, help="context window (default 2048)")
    ap.add_argument("--runs", type=int, default=3, help="timed runs of each, best kept (default 3)")
    ap.add_argument("--seed", type=int, default=7, help="seed of the generated items")
    args = ap.parse_args()
    if args.questions < 1 or args.shots < 0 or args.runs < 1:
        ap.error("--questions and --runs must be positive, --shots non-negative")
    for path in (args.vl_eval, args.model):
        if not os.path.isfile(path):
            sys.exit("no such file: %s" % path)

    work = tempfile.mkdtemp(prefix="vl-harness-bench-")
    write_task(work, args.shots, args.questions, args.seed)
    env = harness_env(work)
    model_args = "model=%s,n_ctx=%d,n_batch=%d,threads=%d" % (
        os.path.abspath(args.model), args.ctx, args.ctx, args.threads)

    def harness(out):
        return timed([sys.executable, "-m", "vorlenta_llama_shim.harness", "--model", "vorlenta",
                      "--model_args", model_args, "--include_path", work, "--tasks", "vl_bench_mc",
                      "--num_fewshot", str(args.shots), "--output_path", out, "--log_samples"],
                     env=env, cwd=work)

    # A first, untimed run builds the harness's data cache and logs the
    # requests, from which vl-eval's items are written.
    harness(os.path.join(work, "first"))
    samples_path = next(
        os.path.join(d, f) for d, _, fs in os.walk(os.path.join(work, "first"))
        for f in fs if f.startswith("samples_"))
    samples = [json.loads(line) for line in open(samples_path)]
    samples.sort(key=lambda s: s["doc_id"])
    items = os.path.join(work, "items.jsonl")
    with open(items, "w") as f:
        for s in samples:
            args_list = [tuple(a.values()) for a in s["arguments"].values()]
            f.write(json.dumps({"id": "q%d" % s["doc_id"], "context": args_list[0][0],
                                "choices": [c[1:] for _, c in args_list],
                                "answer": s["doc"]["answer"]}) + "\n")

    vl_out = os.path.join(work, "vl-eval.jsonl")

    def vl_eval():
        if os.path.exists(vl_out):
            os.remove(vl_out)
        return timed([args.vl_eval, "-m", args.model, "-t", items, "--format", "generic",
                      "--prompt", "raw", "--threads", str(args.threads), "--ctx", str(args.ctx),
                      "-q", "-o", vl_out])

    from lm_eval.api.instance import Instance
    from vorlenta_llama_shim.harness import HarnessModel

    requests = [Instance(request_type="loglikelihood", doc={}, arguments=a, idx=i)
                for s in samples for i, a in enumerate(tuple(x.values()) for x in s["arguments"].values())]
    lm = HarnessModel(model=args.model, n_ctx=args.ctx, n_batch=args.ctx, threads=args.threads)

    def model_only():
        start = time.perf_counter()
        lm.loglikelihood(requests, disable_tqdm=True)
        return time.perf_counter() - start

    times = dict(zip(("harness", "vl-eval", "model"), taking_turns(args.runs, [
        lambda r: harness(os.path.join(work, "run%d" % r)), lambda r: vl_eval(), lambda r: model_only()])))
    best = {k: min(v) for k, v in times.items()}

    # Both must pick the same answer to every question.
    picks_vl = {}
    for line in open(vl_out):
        item = json.loads(line)
        if "evaluation" not in item:  # the run's header line
            picks_vl[item["id"]] = item["pick"]["acc"]
    same = 0
    for s in samples:
        lps = [float(r[0][0]) for r in s["resps"]]
        same += picks_vl["q%d" % s["doc_id"]] == max(range(len(lps)), key=lambda i: (lps[i], -i))
    tokens = len(lm.tok_encode(samples[0]["arguments"]["gen_args_0"]["arg_0"]))

    n = len(samples)
    print("items: %d questions, %d-shot preamble shared (first context %d tokens), 4 answers each, "
          "%d requests" % (n, args.shots, tokens, len(requests)))
    print("model: %s; threads %d, context %d; best of %d runs" % (args.model, args.threads, args.ctx, args.runs))
    print()
    print("| run | seconds | ms per question |")
    print("|-----|--------:|----------------:|")
    for key, label in (("harness", "harness command line, whole process"),
                       ("model", "the vorlenta model alone (loaded)"),
                       ("vl-eval", "vl-eval --prompt raw, whole process")):
        print("| %s | %.2f | %.1f |" % (label, best[key], 1000 * best[key] / n))
    print()
    print("harness overhead over vl-eval: %.2f s (%.1fx vl-eval's time)"
          % (best["harness"] - best["vl-eval"], best["harness"] / best["vl-eval"]))
    print("harness overhead over its own model's scoring: %.2f s"
          % (best["harness"] - best["model"]))
    print("same answer picked (acc): %d of %d questions" % (same, n))
    print("all timings (s): " + "; ".join("%s %s" % (k, ", ".join("%.2f" % t for t in v))
                                          for k, v in times.items()))
    if same != n:
        sys.exit("the harness and vl-eval picked different answers")


if __name__ == "__main__":
    main()
