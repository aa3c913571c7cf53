#!/usr/bin/env python3
"""Generation through the evaluation harness: the model `vorlenta` against
llama-server, on the same gsm8k-shaped task.

Writes a task of the harness shaped like gsm8k: a --shots few-shot preamble
(worked examples, always the same first ones, so every question shares it)
before each of --questions questions, greedy, at most --max-tokens new
tokens, stopping at "Question:". Then, taking turns:

  vorlenta   python3 -m vorlenta_llama_shim.harness --model vorlenta with
             --sequences - 1 prompts side by side after the retained
             preamble (n_seq_max 8, the model's default: seven); the whole
             process (imports, model loading, metrics);
  server     python3 -m lm_eval --model local-completions against
             llama-server on 127.0.0.1 with 4 parallel slots and prompt
             caching, 4 requests in flight; the whole harness process (the
             server is started once, before, and its loading is not timed).

Same model, threads and window. Prints the best of --runs wall times of each
with the load average before and after, and compares the generated text
question by question, listing those that differ.

  VL_LLAMA_SHIM_LIBRARY=build/release/libvorlenta_llama_shim.so \\
  python3 bench/generate_compare.py --model build/release/fixtures/bench.gguf \\
      --server /usr/bin/llama-server [--threads 2] [--runs 2]

Run it with the interpreter that has lm_eval (./dev bench generate does).

With --sweep 2,8,16,33 it times instead the library's generation alone
(Runtime.generate after the retained preamble, no harness, no server) at each
n_seq_max, and prints the tokens it made per second at each: how much running
more prompts side by side gains on this machine and model.
"""
import argparse
import json
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from compare_support import harness_env, task_yaml, taking_turns, timed, use_checkout_package

use_checkout_package()

NAMES = "Tom Lily Ben Sue Max Anna Sam Mia Leo Zoe".split()
THINGS = "apples balls books cookies flowers marbles pencils shells stickers toys".split()

TASK_YAML = """doc_to_text: "Question: {{{{question}}}}\\nAnswer:"
doc_to_target: "{{{{answer}}}}"
generation_kwargs:
  until: ["Question:", "</s>", "<|im_end|>"]
  do_sample: false
  temperature: 0.0
  max_gen_toks: {max_tokens}
metric_list:
  - metric: exact_match
    aggregation: mean
    higher_is_better: true
"""


def problem(rng, steps):
    """A word problem with its worked answer, gsm8k's layout."""
    name, thing = rng.choice(NAMES), rng.choice(THINGS)
    total = rng.randint(3, 20)
    question = "%s has %d %s." % (name, total, thing)
    work = []
    for _ in range(steps):
        n = rng.randint(1, 9)
        if rng.random() < 0.5:
            question += " Then %s gets %d more %s from a friend at the market." % (name, n, thing)
            work.append("%s gets %d more, so %d + %d = %d %s." % (name, n, total, n, total + n, thing))
            total += n
        else:
            n = min(n, total)
            question += " Then %s gives %d %s to a neighbour who lives next door." % (name, n, thing)
            work.append("%s gives away %d, so %d - %d = %d %s." % (name, n, total, n, total - n, thing))
            total -= n
    question += " How many %s does %s have now?" % (thing, name)
    return {"question": question, "answer": " ".join(work) + "\n#### %d" % total}


def write_task(folder, shots, questions, max_tokens, seed):
    rng = random.Random(seed)
    paths = {}
    for split, count, steps in (("train", shots, 2), ("test", questions, 2)):
        paths[split] = os.path.join(folder, split + ".jsonl")
        with open(paths[split], "w") as f:
            f.writelines(json.dumps(problem(rng, steps)) + "\n" for _ in range(count))
    with open(os.path.join(folder, "vl_bench_gsm.yaml"), "w") as f:
        f.write(task_yaml("vl_bench_gsm", paths, TASK_YAML.format(max_tokens=max_tokens)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """llama-server on 127.0.0.1, stopped by its own pid."""

    def __init__(self, path, model, port, threads, ctx, log):
        self.port = port
        self.log = open(log, "w")
        self.process = subprocess.Popen(
            [path, "-m", model, "--host", "127.0.0.1", "--port", str(port), "-c", str(ctx), "-np", "4",
             "-t", str(threads), "-tb", str(threads), "--cache-prompt", "--no-webui"],
            stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.time() + 300
        while time.time() < deadline:
            if self.process.poll() is not None:
                sys.exit("llama-server ended (%d) before it was ready; log: %s" % (self.process.returncode, log))
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/health" % port, timeout=2) as r:
                    if r.status == 200:
                        return
            except OSError:
                pass
            time.sleep(0.5)
        self.stop()
        sys.exit("llama-server was not ready within 300 s; log: %s" % log)

    def tokenize(self, text):
        """The server's tokens of text (its /tokenize, no start token)."""
        request = urllib.request.Request(
            "http://127.0.0.1:%d/tokenize" % self.port, data=json.dumps({"content": text}).encode(),
            headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=60) as r:
            return json.load(r)["tokens"]

    def stop(self):
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.log.close()


def responses(out):
    path = next(os.path.join(d, f) for d, _, fs in os.walk(out) for f in fs if f.startswith("samples_"))
    samples = [json.loads(line) for line in open(path)]
    return {s["doc_id"]: s["resps"][0][0] for s in samples}, samples


def load():
    return "%.2f %.2f %.2f" % os.getloadavg()


def sweep(args, sizes):
    """Tokens per second of Runtime.generate alone at each n_seq_max."""
    from vorlenta_llama_shim import Runtime

    rng = random.Random(args.seed)
    shots = [problem(rng, 2) for _ in range(args.shots)]
    questions = [problem(rng, 2) for _ in range(args.questions)]
    # The harness's few-shot layout: target after a space, examples apart by a blank line.
    preamble = "".join("Question: %s\nAnswer: %s\n\n" % (s["question"], s["answer"]) for s in shots)
    print("load average before %s" % load())
    print("%-10s %10s %8s %12s" % ("n_seq_max", "seconds", "tokens", "tokens/s"))
    for n_seq_max in sizes:
        rt = Runtime(args.model, n_ctx=args.ctx, n_batch=args.ctx, n_seq_max=n_seq_max, threads=args.threads)
        try:
            prompts = [rt.tokenize(preamble + "Question: %s\nAnswer:" % q["question"]).tolist() for q in questions]
            shared = len(os.path.commonprefix(prompts))
            start = time.perf_counter()
            rt.prefill(prompts[0][:shared])
            made = rt.generate([p[shared:] for p in prompts], args.max_tokens, stop=["Question:"])
            seconds = time.perf_counter() - start
        finally:
            rt.close()
        tokens = sum(len(g.tokens) for g in made)
        print("%-10d %10.2f %8d %12.1f" % (n_seq_max, seconds, tokens, tokens / seconds), flush=True)
    print("load average after %s" % load())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--model", required=True, help="GGUF model file")
    ap.add_argument("--server", help="the llama-server program (needed unless --sweep)")
    ap.add_argument("--questions", type=int, default=32, help="questions (default 32)")
    ap.add_argument("--shots", type=int, default=5, help="worked examples before each (default 5)")
    ap.add_argument("--max-tokens", type=int, default=128, help="new tokens at most (default 128)")
    ap.add_argument("--threads", type=int, default=2, help="threads (default 2)")
    ap.add_argument("--sequences", type=int, default=8,
                    help="n_seq_max of the vorlenta model, one more than the prompts it runs side by side (default 8)")
    ap.add_argument("--ctx", type=int, default=4096, help="context window of both (default 4096)")
    ap.add_argument("--runs", type=int, default=2, help="timed runs of each, best kept (default 2)")
    ap.add_argument("--seed", type=int, default=11, help="seed of the generated problems")
    ap.add_argument("--sweep", metavar="N,N,...",
                    help="time the library's generation alone at each of these n_seq_max values instead")
    args = ap.parse_args()
    if args.questions < 1 or args.shots < 0 or args.runs < 1 or args.max_tokens < 1 or args.sequences < 2:
        ap.error("--questions, --runs and --max-tokens must be positive, --shots non-negative, --sequences 2 or more")
    if args.sweep:
        try:
            sizes = [int(n) for n in args.sweep.split(",")]
        except ValueError:
            ap.error("--sweep takes n_seq_max values apart by commas, not %r" % args.sweep)
        if not sizes or min(sizes) < 2:
            ap.error("--sweep values must be 2 or more")
        if not os.path.isfile(args.model):
            sys.exit("no such file: %s" % args.model)
        return sweep(args, sizes)
    if not args.server:
        ap.error("--server is needed unless --sweep")
    for path in (args.model, args.server):
        if not os.path.isfile(path):
            sys.exit("no such file: %s" % path)
    model = os.path.abspath(args.model)

    work = tempfile.mkdtemp(prefix="vl-generate-bench-")
    write_task(work, args.shots, args.questions, args.max_tokens, args.seed)
    env = harness_env(work)
    common = ["--include_path", work, "--tasks", "vl_bench_gsm", "--num_fewshot", str(args.shots), "--log_samples"]
    ours = [sys.executable, "-m", "vorlenta_llama_shim.harness", "--model", "vorlenta", "--model_args",
            "model=%s,n_ctx=%d,n_seq_max=%d,threads=%d" % (model, args.ctx, args.sequences, args.threads)] + common
    port = free_port()
    theirs = [sys.executable, "-m", "lm_eval", "--model", "local-completions", "--model_args",
              "base_url=http://127.0.0.1:%d/v1/completions,tokenizer_backend=None,tokenized_requests=False,"
              "num_concurrent=4,max_retries=1,timeout=3600,eos_string=</s>,model=bench" % port] + common

    load_before = load()
    server = Server(args.server, model, port, args.threads, args.ctx, os.path.join(work, "llama-server.log"))
    try:
        ours_times, server_times = taking_turns(args.runs, [
            lambda r: timed(ours + ["--output_path", os.path.join(work, "ours%d" % r)],
                            log=os.path.join(work, "ours%d.log" % r), env=env, cwd=work),
            lambda r: timed(theirs + ["--output_path", os.path.join(work, "server%d" % r)],
                            log=os.path.join(work, "server%d.log" % r), env=env, cwd=work),
        ])
        times = {"vorlenta": ours_times, "server": server_times}
        load_after = load()
        mine, samples = responses(os.path.join(work, "ours0"))
        served, _ = responses(os.path.join(work, "server0"))
        context = samples[0]["arguments"]["gen_args_0"]["arg_0"]
        preamble_tokens = len(server.tokenize(context[: context.rindex("Question:")]))
        generated = [len(server.tokenize(t)) for t in mine.values()]
    finally:
        server.stop()
    differ = sorted(d for d in mine if mine[d] != served.get(d))

    best = {k: min(v) for k, v in times.items()}
    print("task: %d questions after a %d-shot preamble of %d tokens, at most %d new tokens, stop at "
          "\"Question:\"; each answer's text about %d tokens" %
          (len(mine), args.shots, preamble_tokens, args.max_tokens, sum(generated) / len(generated)))
    print("model: %s; threads %d, window %d; vorlenta %d prompts side by side, llama-server 4 slots; "
          "best of %d runs" % (args.model, args.threads, args.ctx, args.sequences - 1, args.runs))
    print("load average before %s, after %s" % (load_before, load_after))
    print()
    print("%-44s %10s %8s" % ("", "seconds", "ratio"))
    print("%-44s %10.2f %8s" % ("vorlenta through the harness, %d side by side" % (args.sequences - 1),
                                 best["vorlenta"], "1.00x"))
    print("%-44s %10.2f %7.2fx" % ("llama-server, local-completions, 4 in flight", best["server"],
                                    best["server"] / best["vorlenta"]))
    print()
    print("same generated text: %d of %d questions (%.1f%%)" %
          (len(mine) - len(differ), len(mine), 100.0 * (len(mine) - len(differ)) / len(mine)))
    for d in differ:
        a, b = mine[d], served.get(d, "")
        at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
        print("  question %d parts at character %d: %r / %r" % (d, at, a[at : at + 30], b[at : at + 30]))


if __name__ == "__main__":
    main()
