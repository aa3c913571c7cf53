#!/usr/bin/env python3
"""vl-eval side by side with llama-perplexity on the same task files.

Generates three task sets in llama-perplexity's own formats and a text, and
runs both programs on them with the same model, thread count, context size
and batch size, in this one run, once for each thread count of --threads:

  hellaswag  contexts of about 130 tokens, 4 endings of about 16 tokens each,
             no two endings of a task starting with the same word; written in
             the HellaSwag text format and in the multiple-choice binary one
  arc        short questions of about 25 tokens with no shared preamble,
             4 answers of one to six words; binary format
  mmlu       a few-shot preamble of about 500 tokens shared by every
             question of about 80 tokens, answers A..D; binary format
  text       about --ppl-chunks chunks of --ctx tokens of plain sentences:
             llama-perplexity -f against vl-eval perplexity --text, the time
             per chunk token and both perplexities, which must agree
  winogrande sentences of about 40 tokens with a blank, two options of one
             or two words; llama-perplexity's CSV, scored by
             llama-perplexity --winogrande and vl-eval --winogrande
             llama-perplexity (the same definition): both must pick alike

With --exact, vl-eval --exact (F32 keys and values, no flash attention)
takes turns with them on the multiple-choice sets, and its time per item
and its cost over vl-eval's defaults are printed beside them. With --blas
PATH (ggml's libggml-blas.so), every command also runs with that backend
loaded (GGML_BACKEND_PATH), taking turns with its run without it, and a
last table gives each command's time both ways; the other tables are the
runs without it.

For each it prints the wall time per item of each program (the best of
--runs runs of the whole process, model loading included, the programs
taking turns so that other load on the machine falls alike on both), the
ratio, and on how many items both are right or both wrong under the same
normalisation, the mean log-probability per answer token: llama-perplexity's
running accuracy after each task gives that task's right-or-wrong, vl-eval's
results give acc_per_token's. llama-perplexity --hellaswag shuffles its tasks, so the
item-by-item comparison of the hellaswag set comes from --multiple-choice on
its binary copy, which keeps file order; both modes are timed.

  python3 bench/eval_compare.py --vl-eval build/release/tools/eval/vl-eval \\
      --model build/release/fixtures/bench.gguf [--threads 1,2] [--runs 3]
      [--sets hellaswag,arc,mmlu,text,winogrande]

--model build/release/fixtures/bench-qwen2.gguf compares them on the same
shape with Qwen2's vocabulary of 151,936 tokens.
"""
import argparse
import json
import os
import random
import re
import shutil
import struct
import sys

from compare_support import WORDS, taking_turns, timed

LETTERS = "ABCD"
SETS = ("hellaswag", "arc", "mmlu", "text", "winogrande")

# llama.cpp prints no backtrace when it aborts.
GGML_ENV = dict(os.environ, GGML_NO_BACKTRACE="1")


def sentence(rng, n_words, first=None):
    words = [rng.choice(WORDS) for _ in range(n_words)]
    if first is not None:
        words[0] = first
    text = " ".join(words)
    return text[0].upper() + text[1:] + "."


def hellaswag_tasks(rng, n):
    """(context, endings, right index); endings start with different letters,
    so no two share a first word or a first token."""
    tasks = []
    for _ in range(n):
        context = " ".join(sentence(rng, rng.randint(10, 12)) for _ in range(5))
        initials = rng.sample(sorted({w[0] for w in WORDS}), 4)
        endings = []
        for c in initials:
            first = rng.choice([w for w in WORDS if w[0] == c])
            ending = sentence(rng, 6, first)
            endings.append(ending[0].lower() + ending[1:])
        tasks.append((context, endings, rng.randrange(4)))
    return tasks


def arc_tasks(rng, n):
    """(question, 4 answers of one to six words, right index): no preamble."""
    tasks = []
    for _ in range(n):
        q = "Question: " + sentence(rng, rng.randint(8, 12))[:-1] + "?\nAnswer:"
        answers = [" ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 6))) for _ in range(4)]
        tasks.append((q, answers, rng.randrange(4)))
    return tasks


def story_text(rng, n_words):
    """Plain sentences of n_words words or a few more."""
    out, words = [], 0
    while words < n_words:
        k = rng.randint(6, 14)
        out.append(sentence(rng, k))
        words += k
    return "\n".join(" ".join(out[i:i + 5]) for i in range(0, len(out), 5)) + "\n"


def mmlu_question(rng, answer=None):
    q = "Question: " + " ".join(sentence(rng, rng.randint(6, 8)) for _ in range(2))[:-1] + "?\n"
    for letter in LETTERS:
        q += letter + ". " + " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 4))) + "\n"
    q += "Answer:"
    if answer is not None:
        q += " " + answer + "\n\n"
    return q


def mmlu_tasks(rng, n):
    """(preamble + question, answers A..D, right index): six worked examples,
    then each question."""
    preamble = "The following are multiple choice questions about general knowledge.\n\n"
    preamble += "".join(mmlu_question(rng, rng.choice(LETTERS)) for _ in range(6))
    return [(preamble + mmlu_question(rng), list(LETTERS), rng.randrange(4)) for _ in range(n)]


def winogrande_tasks(rng, n):
    """(sentence with one "_", option 1, option 2, right option 1 or 2): about
    ten words before the blank and eight after, options of one or two words
    that differ."""
    tasks = []
    for _ in range(n):
        before = sentence(rng, rng.randint(8, 12))[:-1] + " because the"
        after = " ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 10))) + "."
        first = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 2)))
        second = first
        while second == first:
            second = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 2)))
        tasks.append((before + " _ " + after, first, second, rng.randint(1, 2)))
    return tasks


def write_winogrande_csv(path, tasks):
    """llama-perplexity's Winogrande CSV (no commas in these sentences)."""
    with open(path, "w", encoding="utf-8") as f:
        for i, (text, first, second, right) in enumerate(tasks):
            f.write("%d,%s,%s,%s,%d\n" % (i, text, first, second, right))


def vl_eval_picks(results, ids, metric):
    """The option each item's metric picks (1 or 2), by id."""
    by_id = {}
    with open(results) as f:
        for line in f:
            r = json.loads(line)
            if "pick" in r:
                by_id[r["id"]] = r["pick"][metric] + 1
    missing = [i for i in ids if i not in by_id]
    if missing:
        sys.exit("eval_compare: vl-eval did not score %s (results: %s)" % (missing[0], results))
    return [by_id[i] for i in ids]


def write_hellaswag_text(path, tasks):
    with open(path, "w", encoding="utf-8") as f:
        for context, endings, right in tasks:
            f.write("\n".join([context, str(right)] + endings) + "\n")


def write_multiple_choice_binary(path, tasks):
    def string(s):
        b = s.encode("utf-8")
        return struct.pack("<I", len(b)) + b

    def answers(texts, labels):
        return (struct.pack("<I", len(texts)) + b"".join(string(t) for t in texts) +
                b"".join(struct.pack("<i", l) for l in labels))

    bodies = [string(q) + answers(a, [int(i == right) for i in range(len(a))]) + answers([], [])
              for q, a, right in tasks]
    offsets, pos = [], 4 + 4 * len(tasks)
    for b in bodies:
        offsets.append(pos)
        pos += len(b)
    with open(path, "wb") as f:
        f.write(struct.pack("<I", len(tasks)) + b"".join(struct.pack("<I", o) for o in offsets))
        f.write(b"".join(bodies))


def task_lines(log, pattern, n):
    """The lines llama-perplexity prints after each of tasks 1..n, as matches
    of pattern (whose first group is the task's number), in task order;
    None when the log lacks some."""
    found = {}
    with open(log, errors="replace") as f:
        for line in f:
            m = re.match(pattern, line)
            if m:
                found[int(m.group(1))] = m
    if sorted(found) != list(range(1, n + 1)):
        return None
    return [found[i] for i in range(1, n + 1)]


def perplexity_right(log, n):
    """Each task's right-or-wrong from llama-perplexity's running accuracy
    ("TASK<tab>PERCENT" after every task); None when the log lacks some."""
    lines = task_lines(log, r"^(\d+)\t([0-9.]+)%?(\t|$)", n)
    if lines is None:
        return None
    right, done = [], 0
    for i, m in enumerate(lines, 1):
        correct = round(float(m.group(2)) * i / 100.0)
        right.append(correct - done == 1)
        done = correct
    return right


def perplexity_winogrande_picks(log, n):
    """Each task's pick (1 or 2) from llama-perplexity --winogrande's line
    after it ("TASK<tab>ACCURACY<tab>SCORE1 SCORE2 PICK ANSWER"); None when
    the log lacks some."""
    lines = task_lines(log, r"^(\d+)\t[0-9.]+\t\s*\S+\s+\S+\s+([12])\s+[12]\s*$", n)
    return None if lines is None else [int(m.group(2)) for m in lines]


def vl_eval_right(results, ids):
    """acc_per_token's right-or-wrong of each item, by id, and the answer
    tokens of all items."""
    by_id = {}
    with open(results) as f:
        for line in f:
            r = json.loads(line)
            if "evaluation" not in r:  # the run's header line
                by_id[r["id"]] = r
    right, answers, answer_tokens = [], 0, 0
    for i in ids:
        r = by_id.get(i)
        if r is None or "correct" not in r:
            sys.exit("eval_compare: vl-eval did not score %s (results: %s)" % (i, results))
        right.append(bool(r["correct"]["acc_per_token"]))
        answers += len(r["answers"])
        answer_tokens += sum(a["tokens"] for a in r["answers"])
    return right, answers, answer_tokens


def final_perplexity(log):
    """The "Final estimate: PPL = P +/- U" of either program's output, or None."""
    with open(log, errors="replace") as f:
        m = re.search(r"Final estimate: PPL = ([0-9.]+) \+/- ([0-9.]+)", f.read())
    return None if m is None else (float(m.group(1)), float(m.group(2)))


def complete(cmd, log, read):
    """read(log), running cmd again untimed while it gives None: llama-perplexity
    logs through a thread that at times loses the last lines when the process
    exits (seen with small models), which its exit status does not show."""
    for _ in range(3):
        value = read(log)
        if value is not None:
            return value
        timed(cmd, log, GGML_ENV)
    sys.exit("eval_compare: %s left an incomplete log three times (log: %s)" % (cmd[0], log))


def perplexity_chunks(log):
    """The chunk count llama-perplexity reports."""
    with open(log, errors="replace") as f:
        m = re.search(r"calculating perplexity over (\d+) chunks", f.read())
    if m is None:
        sys.exit("eval_compare: no chunk count in %s" % log)
    return int(m.group(1))


def perplexity_tokens(summary, answers, answer_tokens, n):
    """Tokens llama-perplexity decodes: each task's context once and every
    answer token after it. vl-eval's from-scratch count is, per answer, its
    context and its tokens but the last; with the same number of answers k in
    every task, the contexts add up to (from_scratch - answer_tokens + answers) / k."""
    k = answers // n
    contexts = (summary["tokens_from_scratch"] - answer_tokens + answers) // k
    return contexts + answer_tokens


def thread_counts(text):
    try:
        counts = [int(t) for t in text.split(",")]
    except ValueError:
        counts = []
    if not counts or min(counts) < 1:
        raise argparse.ArgumentTypeError("expects thread counts such as 1,2, not %r" % text)
    return counts


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--model", default=os.path.join(root, "build/release/fixtures/bench.gguf"))
    ap.add_argument("--vl-eval", default=os.path.join(root, "build/release/tools/eval/vl-eval"))
    ap.add_argument("--perplexity", default=shutil.which("llama-perplexity") or "llama-perplexity")
    ap.add_argument("--work", default=os.path.join(root, "build/release/eval-compare"),
                    help="folder for the generated files and the logs")
    # Single-token decodes gain nothing from a second thread, batches do; on
    # a machine whose cores are busy with other work, two OpenMP threads wait
    # for each other at every graph node, which costs small decodes most.
    ap.add_argument("--threads", type=thread_counts, default=[1, 2],
                    help="comma-separated thread counts; every comparison runs with each (default 1,2)")
    ap.add_argument("--ctx", type=int, default=1024,
                    help="context size and batch size of both (llama-perplexity keeps 4 sequences of it)")
    ap.add_argument("--runs", type=int, default=3, help="runs of each program; the best counts")
    ap.add_argument("--tasks", type=int, default=24, help="tasks in each generated set")
    ap.add_argument("--ppl-chunks", type=int, default=4,
                    help="about this many chunks of --ctx tokens in the generated text")
    ap.add_argument("--seed", type=int, default=15)
    ap.add_argument("--sets", type=lambda text: text.split(","), default=list(SETS),
                    help="comma-separated sets to compare (default %s)" % ",".join(SETS))
    ap.add_argument("--exact", action="store_true",
                    help="also time vl-eval --exact on the multiple-choice sets")
    ap.add_argument("--blas", metavar="PATH",
                    help="ggml's BLAS backend (libggml-blas.so): time every command with it loaded too")
    a = ap.parse_args()
    if set(a.sets) - set(SETS):
        ap.error("unknown set(s) %s; the sets are %s" % (",".join(sorted(set(a.sets) - set(SETS))), ",".join(SETS)))
    if a.blas and not os.path.isfile(a.blas):
        ap.error("--blas %s: no such file" % a.blas)

    os.makedirs(a.work, exist_ok=True)
    rng = random.Random(a.seed)
    hs = hellaswag_tasks(rng, a.tasks)
    mm = mmlu_tasks(rng, a.tasks)
    arc = arc_tasks(rng, a.tasks)
    # About two tokens a word; a little more than the chunks need.
    story = story_text(rng, (a.ppl_chunks * a.ctx + a.ctx // 4) // 2)
    # One task more than is compared: llama-perplexity never scores a file's
    # last line (it reads the file without its final newline).
    wg = winogrande_tasks(rng, a.tasks + 1)
    files = {
        "hellaswag.txt": lambda p: write_hellaswag_text(p, hs),
        "hellaswag.bin": lambda p: write_multiple_choice_binary(p, hs),
        "mmlu.bin": lambda p: write_multiple_choice_binary(p, mm),
        "arc.bin": lambda p: write_multiple_choice_binary(p, arc),
        "winogrande.csv": lambda p: write_winogrande_csv(p, wg),
    }
    for name, write in files.items():
        write(os.path.join(a.work, name))
    path = lambda name: os.path.join(a.work, name)
    with open(path("story.txt"), "w", encoding="utf-8") as f:
        f.write(story)

    n = a.tasks
    ids = ["task-%d" % i for i in range(n)]

    blas_env = dict(GGML_ENV, GGML_BACKEND_PATH=os.path.abspath(a.blas)) if a.blas else None
    blas_rows = []

    def interleaved(commands):
        """The best time of each (command, log, before) over a.runs rounds
        of them taking turns; before (when not None) runs first each time.
        With --blas each command's run with the backend comes first in a
        round, so that the outputs read afterwards are those without it."""
        def job(cmd, log, before, env):
            def run(_):
                if before:
                    before()
                return timed(cmd, log, env)
            return run
        jobs = [job(cmd, log, before, GGML_ENV) for cmd, log, before in commands]
        if blas_env:
            jobs[:0] = [job(cmd, log[: -len(".log")] + ".blas.log", before, blas_env)
                        for cmd, log, before in commands]
        best = [min(t) for t in taking_turns(a.runs, jobs)]
        if blas_env:
            k = len(commands)
            for (_, log, _), with_blas, without in zip(commands, best[:k], best[k:]):
                blas_rows.append((os.path.basename(log)[: -len(".log")], without, with_blas))
            best = best[k:]
        return best

    def remover(out):
        return lambda: os.path.exists(out) and os.remove(out)

    load_before = os.getloadavg()
    rows, ppl_rows, wg_rows = [], [], []
    for threads in a.threads:
        lp = [a.perplexity, "-m", a.model, "-t", str(threads), "-c", str(a.ctx), "-b", str(a.ctx)]
        vl = [a.vl_eval, "--model", a.model, "--prompt", "raw", "--threads", str(threads),
              "--ctx", str(a.ctx), "--quiet"]
        tag = lambda name: "%s.t%d" % (name, threads)

        def vl_command(name, fmt, exact=False):
            stem = tag(name) + (".exact" if exact else "")
            out = path(stem + ".results.jsonl")
            cmd = vl + ["--tasks", path(name), "--format", fmt, "--out", out,
                        "--summary", path(stem + ".summary.json")] + (["--exact"] if exact else [])
            return cmd, out

        def exact_run(name, fmt):
            """vl-eval --exact's turn among the commands, when asked for."""
            if not a.exact:
                return []
            cmd, out = vl_command(name, fmt, exact=True)
            return [(cmd, path(tag(name) + ".exact.vl-eval.log"), remover(out))]

        def vl_outcome(name, out):
            right, answers, answer_tokens = vl_eval_right(out, ids)
            with open(path(tag(name) + ".summary.json")) as f:
                summary = json.load(f)
            return right, (perplexity_tokens(summary, answers, answer_tokens, n), summary["tokens_decoded"])

        # HellaSwag-shaped: --hellaswag timed on the text file, --multiple-choice
        # on the binary copy for the item-by-item comparison (and timed too).
        if "hellaswag" in a.sets:
            vl_cmd, vl_out = vl_command("hellaswag.txt", "hellaswag-text")
            mc_cmd = lp + ["--multiple-choice", "-bf", path("hellaswag.bin")]
            t_hs, t_hs_mc, t_vl, *t_exact = interleaved([
                (lp + ["--hellaswag", "-f", path("hellaswag.txt"), "--hellaswag-tasks", str(n)],
                 path(tag("hellaswag.txt") + ".perplexity.log"), None),
                (mc_cmd, path(tag("hellaswag.bin") + ".perplexity.log"), None),
                (vl_cmd, path(tag("hellaswag.txt") + ".vl-eval.log"), remover(vl_out)),
            ] + exact_run("hellaswag.txt", "hellaswag-text"))
            lp_right = complete(mc_cmd, path(tag("hellaswag.bin") + ".perplexity.log"),
                                lambda log: perplexity_right(log, n))
            vl_right, tokens = vl_outcome("hellaswag.txt", vl_out)
            rows.append(("hellaswag", threads, "--hellaswag", t_hs, t_vl, lp_right, vl_right, tokens, t_exact))
            rows.append(("hellaswag", threads, "--multiple-choice", t_hs_mc, t_vl, lp_right, vl_right, tokens,
                         t_exact))
        # ARC- and MMLU-shaped, binary only.
        for name in [s for s in ("arc", "mmlu") if s in a.sets]:
            vl_cmd, vl_out = vl_command(name + ".bin", "mc-binary")
            mc_cmd = lp + ["--multiple-choice", "-bf", path(name + ".bin")]
            t_lp, t_vl, *t_exact = interleaved([
                (mc_cmd, path(tag(name + ".bin") + ".perplexity.log"), None),
                (vl_cmd, path(tag(name + ".bin") + ".vl-eval.log"), remover(vl_out)),
            ] + exact_run(name + ".bin", "mc-binary"))
            lp_right = complete(mc_cmd, path(tag(name + ".bin") + ".perplexity.log"),
                                lambda log: perplexity_right(log, n))
            vl_right, tokens = vl_outcome(name + ".bin", vl_out)
            rows.append((name, threads, "--multiple-choice", t_lp, t_vl, lp_right, vl_right, tokens, t_exact))
        # Perplexity of the text, chunks of --ctx, one chunk a decode in both.
        if "text" in a.sets:
            vl_out = path(tag("story") + ".chunks.jsonl")
            lp_cmd, lp_log = lp + ["-f", path("story.txt")], path(tag("story") + ".perplexity.log")
            vl_log = path(tag("story") + ".vl-eval.log")
            t_lp, t_vl = interleaved([
                (lp_cmd, lp_log, None),
                ([a.vl_eval, "perplexity", "--model", a.model, "--text", path("story.txt"),
                  "--threads", str(threads), "--ctx", str(a.ctx), "--batch", str(a.ctx), "--quiet",
                  "--out", vl_out], vl_log, remover(vl_out)),
            ])
            lp_final = complete(lp_cmd, lp_log, final_perplexity)
            chunks = perplexity_chunks(lp_log)
            with open(vl_out) as f:
                vl_chunks = sum(1 for line in f if '"evaluation"' not in line)  # the run's header
            if vl_chunks != chunks:
                sys.exit("eval_compare: llama-perplexity scored %d chunks, vl-eval %d" % (chunks, vl_chunks))
            vl_final = final_perplexity(vl_log)
            if vl_final is None:
                sys.exit("eval_compare: no final estimate from vl-eval (log: %s)" % vl_log)
            ppl_rows.append((threads, chunks, t_lp, t_vl, lp_final, vl_final))
        if "winogrande" in a.sets:
            # Winogrande-shaped: the same definition in both, llama-perplexity's;
            # vl-eval scores the tasks llama-perplexity scores.
            vl_cmd, vl_out = vl_command("winogrande.csv", "winogrande-csv")
            vl_cmd += ["--winogrande", "llama-perplexity", "--limit", str(n)]
            lp_cmd = lp + ["--winogrande", "-f", path("winogrande.csv")]
            lp_log = path(tag("winogrande") + ".perplexity.log")
            t_lp, t_vl = interleaved([
                (lp_cmd, lp_log, None),
                (vl_cmd, path(tag("winogrande") + ".vl-eval.log"), remover(vl_out)),
            ])
            lp_picks = complete(lp_cmd, lp_log, lambda log: perplexity_winogrande_picks(log, n))
            vl_picks = vl_eval_picks(vl_out, [str(i) for i in range(n)], "acc_per_token")
            with open(path(tag("winogrande.csv") + ".summary.json")) as f:
                vl_tokens = json.load(f)["tokens_decoded"]
            wg_rows.append((threads, t_lp, t_vl, lp_picks, vl_picks, vl_tokens))

    load = lambda l: " ".join("%.2f" % x for x in l)
    print("model %s, threads %s, context and batch %d, %d tasks a set, best of %d runs"
          % (os.path.basename(a.model), ",".join(map(str, a.threads)), a.ctx, n, a.runs))
    print("load average (1, 5, 15 min) before: %s, after: %s" % (load(load_before), load(os.getloadavg())))
    print("ms/item: wall time of the whole process (model loading included) per item;")
    print("ratio: llama-perplexity's time over vl-eval's; agree: items both got right or both wrong")
    print("(acc_per_token); right: how many each got right; tokens: what each decodes")
    print("(llama-perplexity's derived from vl-eval's counts)%s\n" % (
        "; exact: vl-eval --exact's ms/item, cost: its time over vl-eval's" if a.exact else ""))
    print("%-10s %3s %-18s %10s %10s %8s %8s %8s %8s %8s%s" % (
        "set", "thr", "llama-perplexity", "ms/item", "vl-eval", "ratio", "agree", "right", "tokens", "vl-eval",
        " %8s %7s" % ("exact", "cost") if a.exact else ""))
    for name, threads, mode, t_lp, t_vl, r_lp, r_vl, (lp_tokens, vl_tokens), t_exact in rows:
        agree = sum(x == y for x, y in zip(r_lp, r_vl))
        print("%-10s %3d %-18s %10.0f %10.0f %7.2fx %5d/%-2d %4d/%-3d %8d %8d%s" % (
            name, threads, mode, 1000 * t_lp / n, 1000 * t_vl / n, t_lp / t_vl, agree, n,
            sum(r_lp), sum(r_vl), lp_tokens, vl_tokens,
            " %8.0f %6.2fx" % (1000 * t_exact[0] / n, t_exact[0] / t_vl) if t_exact else ""))
    if ppl_rows:
        print("\nperplexity of the text: llama-perplexity -f against vl-eval perplexity --text, chunks of")
        print("%d tokens; ms/token: wall time of the whole process per chunk token; same: both final" % a.ctx)
        print("perplexities equal to 4 significant digits\n")
        print("%-10s %3s %6s %10s %10s %8s %14s %14s %5s" % (
            "set", "thr", "chunks", "ms/token", "vl-eval", "ratio", "PPL llama-ppl", "PPL vl-eval", "same"))
        for threads, chunks, t_lp, t_vl, (p_lp, u_lp), (p_vl, u_vl) in ppl_rows:
            tokens = chunks * a.ctx
            same = abs(p_lp - p_vl) <= 5e-5 * p_lp
            print("%-10s %3d %6d %10.3f %10.3f %7.2fx %14s %14s %5s" % (
                "text", threads, chunks, 1000 * t_lp / tokens, 1000 * t_vl / tokens, t_lp / t_vl,
                "%.4f+/-%.4f" % (p_lp, u_lp), "%.4f+/-%.4f" % (p_vl, u_vl), "yes" if same else "NO"))
    if wg_rows:
        print("\nWinogrande: llama-perplexity --winogrande against vl-eval --winogrande llama-perplexity,")
        print("one definition; same: items both picked alike; tokens: what vl-eval decodes\n")
        print("%-10s %3s %10s %10s %8s %8s %8s" % ("set", "thr", "ms/item", "vl-eval", "ratio", "same", "tokens"))
        for threads, t_lp, t_vl, lp_picks, vl_picks, vl_tokens in wg_rows:
            same = sum(x == y for x, y in zip(lp_picks, vl_picks))
            print("%-10s %3d %10.0f %10.0f %7.2fx %5d/%-2d %8d" % (
                "winogrande", threads, 1000 * t_lp / n, 1000 * t_vl / n, t_lp / t_vl, same, n, vl_tokens))
    if blas_rows:
        print("\nggml's BLAS backend (%s): each command's whole-process time (best of %d) without" % (
            a.blas, a.runs))
        print("it and with it loaded, taking turns; speedup: without over with\n")
        print("%-36s %10s %10s %8s" % ("command (set.threads.program)", "without s", "with s", "speedup"))
        for name, without, with_blas in blas_rows:
            print("%-36s %10.2f %10.2f %7.2fx" % (name, without, with_blas, without / with_blas))
    return 0


if __name__ == "__main__":
    sys.exit(main())
