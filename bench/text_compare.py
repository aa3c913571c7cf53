#!/usr/bin/env python3
"""vl-eval perplexity and vl-eval kld side by side with llama-perplexity on
the benchmark fixture, in one run, the programs taking turns:

  time    vl-eval perplexity against llama-perplexity -f at --ctx 512 and
          4096 (and what else --time-ctx names): the best of --runs runs of
          each whole process over about --tokens tokens (at least two
          chunks), its time per token, the ratio, and both perplexities,
          which must agree
  memory  the peak resident memory of each program over one chunk at --ctx
          4096, 16384 and 32768 (and what else --memory-ctx names), the text
          holding two chunks as llama-perplexity requires
  kld     the fixture in F32 as the reference against its Q8_0 and Q4_0
          quantizations (llama-quantize): every statistic of llama-perplexity
          --kl-divergence against vl-eval kld's to 4 significant digits; the
          time of vl-eval kld (both models in one process) against
          llama-perplexity's two runs (the base file, then the comparison);
          the base file's size, which vl-eval kld does without

  python3 bench/text_compare.py --vl-eval build/release/tools/eval/vl-eval \\
      --model build/release/fixtures/bench.gguf --make-fixture build/release/tools/vl-make-fixture [--only time,memory,kld]
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

from compare_support import WORDS, taking_turns, timed


def story_text(rng, n_words):
    """Plain sentences of n_words words or a few more."""
    out, words = [], 0
    while words < n_words:
        k = rng.randint(6, 14)
        s = " ".join(rng.choice(WORDS) for _ in range(k))
        out.append(s[0].upper() + s[1:] + ".")
        words += k
    return "\n".join(" ".join(out[i:i + 5]) for i in range(0, len(out), 5)) + "\n"


def write_text(path, tokens):
    """A text of about `tokens` tokens of the fixture (two tokens a word)."""
    with open(path, "w") as f:
        f.write(story_text(random.Random(7), tokens // 2 + 64))
    return path


def peak_memory(argv, log):
    """Runs argv to the end; its peak resident memory in MiB."""
    with open(log, "w") as out:
        p = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT)
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        sys.exit("%s exited with %d (log: %s)" % (argv[0], p.returncode, log))
    return usage.ru_maxrss / 1024.0


def final_perplexity(log):
    with open(log, errors="replace") as f:
        m = re.search(r"Final estimate: PPL = ([0-9.]+)", f.read())
    return float(m.group(1)) if m else None


LOG_LINE = re.compile(r"^\d+\.\d+\.\d+\.\d+ [A-Z] ")
STATISTIC = re.compile(r"^([^:\n]+?)\s*:\s*(-?[0-9.]+)(?:%| ± (-?[0-9.]+))?", re.M)


def statistics(log):
    with open(log, errors="replace") as f:
        text = "\n".join(line for line in f.read().splitlines() if not LOG_LINE.match(line))
    start = text.find("====== Perplexity statistics")
    if start < 0:
        return None
    # Each value with its printed decimals: equal to 4 significant digits, or
    # to the last digit printed, is what "the same" means.
    return {m.group(1).strip(): (float(m.group(2)), len(m.group(2).partition(".")[2]))
            for m in STATISTIC.finditer(text[start:])}


def disagreement(ours, theirs):
    """The statistics whose values differ by more than 4 significant digits
    and more than one unit of the last digit printed; and the largest
    difference in units of that allowance."""
    off, worst = [], 0.0
    for k, (v, decimals) in theirs.items():
        o = ours.get(k, (float("nan"), 0))[0]
        allowed = max(5e-4 * abs(v), 10.0 ** -decimals)
        d = abs(o - v) / allowed if o == o else float("inf")
        worst = max(worst, d)
        if d > 1:
            off.append(k)
    return off, worst


def complete(argv, log, read):
    """read(log), running argv again while it gives None: llama-perplexity
    writing into a file sometimes loses the end of its output at exit."""
    for _ in range(3):
        value = read(log)
        if value is not None:
            return value
        timed(argv, log)
    sys.exit("%s lost the end of its output three times (log: %s)" % (argv[0], log))


def load():
    return os.getloadavg()[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--vl-eval", required=True)
    ap.add_argument("--model", required=True, help="the benchmark fixture (its Q8_0 file)")
    ap.add_argument("--make-fixture", required=True, help="vl-make-fixture, for the fixture in F32")
    ap.add_argument("--perplexity", default=shutil.which("llama-perplexity") or "llama-perplexity")
    ap.add_argument("--quantize", default=shutil.which("llama-quantize") or "llama-quantize")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--runs", type=int, default=2, help="turns of each timed pair")
    ap.add_argument("--tokens", type=int, default=8192, help="tokens of each timed perplexity run")
    ap.add_argument("--time-ctx", default="512,4096")
    ap.add_argument("--memory-ctx", default="4096,16384,32768")
    ap.add_argument("--kld-ctx", type=int, default=512)
    ap.add_argument("--kld-chunks", type=int, default=8)
    ap.add_argument("--only", default="time,memory,kld")
    ap.add_argument("--work", default="build/release/text-compare")
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    path = lambda name: os.path.join(a.work, name)
    only = set(a.only.split(","))
    t = str(a.threads)
    print("load average before: %.2f" % load())

    if "time" in only:
        rows = []
        for ctx in map(int, a.time_ctx.split(",")):
            chunks = max(2, a.tokens // ctx)
            text = write_text(path("time-%d.txt" % ctx), (chunks + 1) * ctx)
            lp = [a.perplexity, "-m", a.model, "-f", text, "-c", str(ctx), "-t", t, "--chunks", str(chunks)]
            vl = [a.vl_eval, "perplexity", "-m", a.model, "-f", text, "-c", str(ctx), "-t", t, "--chunks",
                  str(chunks), "-q"]
            logs = (path("time-%d.llama.log" % ctx), path("time-%d.vl.log" % ctx))
            before = load()
            t_lp, t_vl = map(min, taking_turns(a.runs, [lambda r: timed(lp, logs[0]), lambda r: timed(vl, logs[1])]))
            rows.append((ctx, chunks, t_lp, t_vl, complete(lp, logs[0], final_perplexity), final_perplexity(logs[1]),
                         before, load()))
        print("\nperplexity time: the best of %d turns, %d threads" % (a.runs, a.threads))
        print("%8s %7s %16s %12s %8s %14s %14s %12s" % ("ctx", "chunks", "llama-ppl ms/tok", "vl-eval", "ratio",
                                                        "PPL llama-ppl", "PPL vl-eval", "load"))
        for ctx, chunks, t_lp, t_vl, p_lp, p_vl, l0, l1 in rows:
            n = chunks * ctx
            print("%8d %7d %16.3f %12.3f %8.2f %14.4f %14.4f %5.2f-%5.2f" % (
                ctx, chunks, 1e3 * t_lp / n, 1e3 * t_vl / n, t_lp / t_vl, p_lp, p_vl, l0, l1))
        print("ratio: llama-perplexity's time over vl-eval's (above 1: vl-eval is faster)")

    if "memory" in only:
        rows = []
        for ctx in map(int, a.memory_ctx.split(",")):
            text = write_text(path("memory-%d.txt" % ctx), 2 * ctx + ctx // 4)
            lp = [a.perplexity, "-m", a.model, "-f", text, "-c", str(ctx), "-t", t, "--chunks", "1"]
            vl = [a.vl_eval, "perplexity", "-m", a.model, "-f", text, "-c", str(ctx), "-t", t, "--chunks", "1", "-q"]
            m_lp = peak_memory(lp, path("memory-%d.llama.log" % ctx))
            m_vl = peak_memory(vl, path("memory-%d.vl.log" % ctx))
            rows.append((ctx, m_lp, m_vl, complete(lp, path("memory-%d.llama.log" % ctx), final_perplexity),
                         final_perplexity(path("memory-%d.vl.log" % ctx))))
        print("\npeak resident memory over one chunk, MiB")
        print("%8s %14s %10s %8s %14s %14s" % ("ctx", "llama-ppl", "vl-eval", "ratio", "PPL llama-ppl", "PPL vl-eval"))
        for ctx, m_lp, m_vl, p_lp, p_vl in rows:
            print("%8d %14.0f %10.0f %8.2f %14.4f %14.4f" % (ctx, m_lp, m_vl, m_vl / m_lp, p_lp or float("nan"),
                                                            p_vl or float("nan")))
        print("ratio: vl-eval's peak over llama-perplexity's (at most 1.10 wanted)")

    if "kld" in only:
        f32 = path("bench-f32.gguf")
        if not os.path.exists(f32):
            timed([a.make_fixture, f32, "--layers", "24", "--embd", "896", "--heads", "14", "--kv-heads", "2",
                   "--ff", "2432", "--vocab", "32000", "--type", "f32"])
        quants = {}
        for q in ("q8_0", "q4_0"):
            quants[q] = path("bench-%s.gguf" % q)
            if not os.path.exists(quants[q]):
                timed([a.quantize, f32, quants[q], q, t], path("quantize-%s.log" % q))
        ctx = a.kld_ctx
        text = write_text(path("kld.txt"), (a.kld_chunks + 1) * ctx)
        base = path("f32.kld")
        lp_base = [a.perplexity, "-m", f32, "-f", text, "-c", str(ctx), "-t", t, "--chunks", str(a.kld_chunks),
                   "--kl-divergence-base", base]
        before = load()
        t_base = timed(lp_base, path("kld-base.llama.log"))
        base_bytes = os.path.getsize(base)
        rows = []
        for q, model in quants.items():
            lp = [a.perplexity, "-m", model, "-c", str(ctx), "-t", t, "--kl-divergence-base", base,
                  "--kl-divergence"]
            vl = [a.vl_eval, "kld", "-m", model, "--reference", f32, "-f", text, "-c", str(ctx), "-t", t,
                  "--chunks", str(a.kld_chunks), "-q"]
            logs = (path("kld-%s.llama.log" % q), path("kld-%s.vl.log" % q))
            t_lp, t_vl = map(min, taking_turns(a.runs, [lambda r: timed(lp, logs[0]), lambda r: timed(vl, logs[1])]))
            theirs = complete(lp, logs[0], statistics)
            ours = statistics(logs[1])
            off, worst = disagreement(ours, theirs)
            rows.append((q, t_lp, t_vl, worst, off, theirs, ours))
        after = load()
        print("\nKLD of the fixture's quantizations against it in F32 (reference), %d chunks of %d" %
              (a.kld_chunks, ctx))
        print("llama-perplexity's base run: %.1f s; its base file: %.1f MiB (vl-eval kld needs none)" %
              (t_base, base_bytes / 2**20))
        print("%6s %12s %12s %12s %8s %10s %s" % ("quant", "llama base s", "+compare s", "vl-eval s", "ratio",
                                                 "same", "largest difference"))
        for q, t_lp, t_vl, worst, off, theirs, ours in rows:
            same = "%d/%d" % (len(theirs) - len(off), len(theirs))
            print("%6s %12.1f %12.1f %12.1f %8.2f %10s %.2f%s" % (q, t_base, t_lp, t_vl, (t_base + t_lp) / t_vl,
                                                                 same, worst, (" (" + ", ".join(off) + ")") if off else ""))
        print("ratio: llama-perplexity's two runs over vl-eval kld's one (above 1: vl-eval is faster); same:")
        print("statistics equal to 4 significant digits or to the last digit printed; largest difference in")
        print("units of that allowance (at most 1 wanted)")
        for q, _, _, _, _, theirs, ours in rows:
            print("\n%s: statistic, llama-perplexity, vl-eval" % q)
            for k, (v, _) in theirs.items():
                print("  %-32s %16.6f %16.6f" % (k, v, ours.get(k, (float("nan"), 0))[0]))
        print("load average during kld: %.2f, %.2f" % (before, after))
    print("\nload average after: %.2f" % load())


if __name__ == "__main__":
    main()
