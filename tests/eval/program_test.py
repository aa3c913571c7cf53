"""vl-eval as a user runs it: every format in both prompt modes, shared
prefixes against --no-share, batched scoring against --walk, a run killed and
resumed, Ctrl-C, bad input, and shards merged by `vl-eval summarize`."""
import json
import os
import re
import shutil
import signal
import subprocess
import time
import unittest

from program_support import (SCRATCH, SHARED, STORIES, TIMEOUT, VL_EVAL, one_to_four_words,
                             run_program, scratch, text, write_items)

FIXTURES = os.environ["VL_FIXTURE_DIR"]
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
STORIES_CHAT = os.path.join(SHARED, "stories260K-chatml.gguf")


def run(*args, check=True):
    return run_program([], args, check)


def records(path):
    """The item records of a results file, without the runs' headers."""
    with open(path) as f:
        return [r for r in map(json.loads, f) if "evaluation" not in r]


def record_lines(path):
    """The lines of a results file that are item records."""
    return [l for l in text(path).splitlines(keepends=True) if not l.startswith('{"evaluation"')]


def summary(path):
    with open(path) as f:
        return json.load(f)


write_tasks = write_items


class Formats(unittest.TestCase):
    def test_every_format_in_both_prompt_modes(self):
        expected = {"generic": (3, 3), "hellaswag": (2, 0), "mmlu": (2, 0), "arc": (2, 0)}
        models = [(os.path.join(FIXTURES, "plain.gguf"), "raw"),
                  (os.path.join(FIXTURES, "chatml.gguf"), "chat"),
                  (STORIES, "raw"), (STORIES_CHAT, "chat")]
        for model, mode in models:
            for fmt, (scored, skipped) in expected.items():
                with self.subTest(model=os.path.basename(model), format=fmt):
                    out, summ = scratch("fmt.jsonl"), scratch("fmt.json")
                    run("--model", model, "--tasks", os.path.join(DATA, fmt + ".jsonl"),
                        "--format", fmt, "--out", out, "--summary", summ)
                    s = summary(summ)
                    self.assertEqual(s["configuration"]["prompt"], mode)
                    self.assertEqual((s["items"]["scored"], s["items"]["skipped"]), (scored, skipped))
                    done = [r for r in records(out) if "skipped" not in r]
                    for r in done:
                        self.assertTrue(all(a["logprob"] < 0 and a["tokens"] > 0 for a in r["answers"]))
                        for m in ("acc", "acc_norm", "acc_per_token"):
                            self.assertEqual(r["correct"][m], r["pick"][m] == r["label"])
                    for m in ("acc", "acc_norm", "acc_per_token"):
                        self.assertEqual(s["metrics"][m]["value"],
                                         sum(r["correct"][m] for r in done) / len(done))
                    if fmt == "generic":
                        # acc_norm's lengths: the answer's characters alone,
                        # in both modes.
                        items = {json.loads(l)["id"]: json.loads(l) for l in
                                 text(os.path.join(DATA, "generic.jsonl")).splitlines() if l.strip()}
                        for r in done:
                            self.assertEqual([a["chars"] for a in r["answers"]],
                                             [len(c) for c in items[r["id"]]["choices"]], r["id"])
                        g3 = next(r for r in records(out) if r["id"] == "g3")
                        # "blue" twice scores twice the same; "blue sky" less than "blue".
                        self.assertEqual(g3["answers"][0]["logprob"], g3["answers"][3]["logprob"])
                        self.assertLess(g3["answers"][1]["logprob"], g3["answers"][0]["logprob"])
                        # The fixtures' own token counts of the answers alone.
                        pinned = {"plain.gguf": [5, 8, 6, 5], "chatml.gguf": [4, 7, 5, 4]}
                        if os.path.basename(model) in pinned:
                            self.assertEqual([a["tokens"] for a in g3["answers"]],
                                             pinned[os.path.basename(model)])


class SystemMessages(unittest.TestCase):
    def test_system_message_reaches_chat_prompts_unless_the_item_has_its_own(self):
        model = os.path.join(FIXTURES, "chatml.gguf")
        got = {}
        for system in ("", "Answer in one word."):
            out = scratch("system.jsonl")
            # The walk scores each item alone, so that its scores cannot
            # depend on what else shares a decode with it.
            run("--model", model, "--tasks", os.path.join(DATA, "generic.jsonl"), "--out", out,
                "--system", system, "--walk")
            got[system] = {r["id"]: r for r in records(out)}
        plain, told = got[""], got["Answer in one word."]
        # g1 has no system message of its own: --system changes its prompt.
        self.assertNotEqual([a["logprob"] for a in plain["g1"]["answers"]],
                            [a["logprob"] for a in told["g1"]["answers"]])
        # g2 has its own, which wins over --system.
        self.assertEqual(plain["g2"]["answers"], told["g2"]["answers"])
        self.assertNotEqual(plain["g1"]["run"], told["g1"]["run"])


class SharedPrefixes(unittest.TestCase):
    def test_sharing_picks_as_no_share_with_fewer_decoded_tokens(self):
        tasks = write_tasks("share.jsonl", 12)
        preamble = scratch("preamble.txt")
        with open(preamble, "w") as f:
            f.write("Lily and Tom went to the park to play with a big red ball.\n\n")
        results = {}
        for flag in ([], ["--no-share"]):
            out, summ = scratch("share-out.jsonl"), scratch("share.json")
            run("--model", STORIES, "--tasks", tasks, "--preamble", preamble, "--out", out,
                "--summary", summ, *flag)
            results[bool(flag)] = (records(out), summary(summ))
        (shared, s_sum), (alone, a_sum) = results[False], results[True]
        self.assertEqual([r["pick"] for r in shared], [r["pick"] for r in alone])
        for r, q in zip(shared, alone):
            for a, b in zip(r["answers"], q["answers"]):
                self.assertAlmostEqual(a["logprob"], b["logprob"], delta=0.05)
        self.assertEqual(s_sum["tokens_from_scratch"], a_sum["tokens_from_scratch"])
        self.assertLess(s_sum["tokens_decoded"], a_sum["tokens_decoded"] * 0.6)
        # Their scores differ in the last bits: summarize must not mix them.
        self.assertNotEqual(s_sum["run"], a_sum["run"])


class Interruptions(unittest.TestCase):
    def test_killed_run_resumes_to_the_same_results(self):
        tasks = write_tasks("kill.jsonl", 120)
        model = STORIES
        whole = scratch("whole.jsonl")
        run("--model", model, "--tasks", tasks, "--out", whole)
        resumed = scratch("resumed.jsonl")
        p = subprocess.Popen([VL_EVAL, "--threads", "1", "--quiet", "--model", model, "--tasks", tasks,
                              "--out", resumed], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + TIMEOUT
            while p.poll() is None and time.monotonic() < deadline:
                if os.path.exists(resumed) and os.path.getsize(resumed) > 2000:
                    break
                time.sleep(0.005)
            p.send_signal(signal.SIGKILL)
        finally:
            p.kill()
            p.wait()
        done_before = text(resumed).count("\n")
        self.assertTrue(0 < done_before < 120, done_before)  # killed part-way
        run("--model", model, "--tasks", tasks, "--out", resumed, "--resume")
        self.assertEqual(text(resumed).splitlines(), text(whole).splitlines())

        # A record cut in the middle (killed while writing) is scored again.
        cut = scratch("cut.jsonl")
        lines = text(whole).splitlines(keepends=True)
        with open(cut, "w") as f:
            f.write("".join(lines[:5]) + lines[5][:20])
        run("--model", model, "--tasks", tasks, "--out", cut, "--resume")
        self.assertEqual(text(cut), text(whole))

        # Results of other settings are not mixed in; an existing file is not replaced.
        p = run("--model", model, "--tasks", tasks, "--out", cut, "--resume", "--system", "x",
                "--prompt", "raw", check=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn("another model or settings", p.stderr)
        p = run("--model", model, "--tasks", tasks, "--out", cut, check=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn("--resume", p.stderr)

    def test_ctrl_c_finishes_the_item_writes_the_summary_and_exits_130(self):
        tasks = write_tasks("sigint.jsonl", 400)
        out, summ = scratch("sigint-out.jsonl"), scratch("sigint.json")
        p = subprocess.Popen([VL_EVAL, "--threads", "1", "--quiet", "--model", STORIES, "--tasks", tasks,
                              "--out", out, "--summary", summ], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.monotonic() + TIMEOUT
            while time.monotonic() < deadline and not (os.path.exists(out) and os.path.getsize(out) > 0):
                time.sleep(0.005)
            p.send_signal(signal.SIGINT)
            stdout, _ = p.communicate(timeout=TIMEOUT)
        finally:
            p.kill()
            p.wait()
        self.assertEqual(p.returncode, 130)
        self.assertIn("interrupted", stdout)
        s = summary(summ)
        self.assertTrue(s["interrupted"])
        done = records(out)
        self.assertEqual(s["items"]["scored"], len(done))
        self.assertLess(len(done), 400)


class BadInput(unittest.TestCase):
    def test_malformed_line_and_too_long_item(self):
        tasks = scratch("bad.jsonl")
        long_context = " ".join(["the big dog ran"] * 40)
        with open(tasks, "w") as f:
            f.write(json.dumps({"id": "a", "context": "One day", "choices": ["a", "b"], "answer": 0}) + "\n")
            f.write(json.dumps({"id": "long", "context": long_context, "choices": ["a", "b"], "answer": 0}) + "\n")
            f.write('{"id": "c", "context": "x", "choices": ["a", "b"], "answer": 0\n')
            f.write(json.dumps({"id": "d", "context": "One day", "choices": ["a", "b"], "answer": 1}) + "\n")
        out, summ = scratch("bad-out.jsonl"), scratch("bad.json")
        p = run("--model", STORIES, "--tasks", tasks, "--out", out, "--summary", summ, "--ctx", "64",
                check=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn(f"{tasks}:3: not valid JSON", p.stderr)
        self.assertIn("| acc ", p.stdout)  # the summary of what was done comes first
        got = {r["id"]: r for r in records(out)}
        self.assertEqual(sorted(got), ["a", "long"])
        self.assertEqual(got["long"]["skipped"], "longer than the context window")
        self.assertEqual(got["long"]["window"], 64)
        self.assertGreater(got["long"]["needed"], 64)
        s = summary(summ)
        self.assertEqual((s["items"]["scored"], s["items"]["skipped"]), (1, 1))
        self.assertIn(":3:", s["error"])

        # An item whose context fits but whose longest answer does not is
        # skipped; one that needs exactly the window is scored.
        answer_long = scratch("answer-long.jsonl")
        with open(answer_long, "w") as f:
            f.write(json.dumps({"id": "x", "context": "One day", "choices":
                                ["a", " ".join(["the big dog ran"] * 20)], "answer": 0}) + "\n")
        out = scratch("answer-long-out.jsonl")
        run("--model", STORIES, "--tasks", answer_long, "--out", out, "--ctx", "32")
        (r,) = records(out)
        self.assertEqual((r["skipped"], r["window"]), ("longer than the context window", 32))
        needed = str(r["needed"])
        for ctx, scored in ((needed, True), (str(int(needed) - 1), False)):
            run("--model", STORIES, "--tasks", answer_long, "--out", scratch("edge.jsonl"),
                "--ctx", ctx)
            self.assertEqual("skipped" not in records(os.path.join(SCRATCH, "edge.jsonl"))[0], scored, ctx)

        for args, message in ((["--tasks", os.path.join(SCRATCH, "none.jsonl")], "cannot open"),
                              (["--tasks", tasks, "--shard", "3/3"], "--shard expects"),
                              (["--tasks", tasks, "--prompt", "chat"], "no chat template")):
            p = run("--model", STORIES, *args, check=False)
            self.assertNotEqual(p.returncode, 0)
            self.assertIn(message, p.stderr)
        p = run("--model", os.path.join(SHARED, "ggml-vocab-phi-3.gguf"), "--tasks", tasks, check=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn("cannot open the model", p.stderr)


class Shards(unittest.TestCase):
    def test_three_shards_merged_equal_one_run(self):
        tasks = write_tasks("shards.jsonl", 20)
        whole, whole_sum = scratch("one.jsonl"), scratch("one.json")
        run("--model", STORIES, "--tasks", tasks, "--out", whole, "--summary", whole_sum)
        parts = []
        for i in range(3):
            parts.append(scratch(f"part{i}.jsonl"))
            run("--model", STORIES, "--tasks", tasks, "--out", parts[-1], "--shard", f"{i}/3")
        self.assertEqual([l for p in parts for l in record_lines(p)], record_lines(whole))
        merged_sum = scratch("merged.json")
        p = subprocess.run([VL_EVAL, "summarize", *parts, "--summary", merged_sum, "--tasks", tasks],
                           capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(p.returncode, 0, p.stderr)
        merged, one = summary(merged_sum), summary(whole_sum)
        self.assertEqual(merged["metrics"], one["metrics"])
        self.assertEqual(merged["items"], one["items"])
        self.assertEqual(merged["run"], one["run"])
        # Every record carries the run id its file's header describes.
        with open(whole) as f:
            header = json.loads(f.readline())
        self.assertEqual(header["run"], one["run"])
        self.assertEqual(header["evaluation"]["format"], "generic")
        self.assertEqual({r["run"] for r in records(whole)}, {one["run"]})

        # Missing shards are named, and the total still counts them.
        missing_sum = scratch("missing.json")
        p = subprocess.run([VL_EVAL, "summarize", parts[0], "--tasks", tasks, "--summary", missing_sum],
                           capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(p.returncode, 1)
        self.assertIn("14 items of %s have no results: t6, t7" % tasks, p.stderr)
        self.assertIn("items:   6 scored, 0 skipped, of 20", p.stdout)
        m = summary(missing_sum)
        self.assertEqual((m["items"]["total"], m["items"]["scored"]), (20, 6))
        other = scratch("other.jsonl")
        run("--model", STORIES, "--tasks", tasks, "--out", other, "--limit", "2", "--system", "x",
            "--prompt", "raw")
        p = subprocess.run([VL_EVAL, "summarize", parts[0], other], capture_output=True, text=True,
                           timeout=TIMEOUT)
        self.assertEqual(p.returncode, 1)
        self.assertIn("different models or settings", p.stderr)
        # Shards that differ in one answer's score or counts are refused.
        for field, change in (("logprob", -1.0), ("tokens", 1), ("chars", 1)):
            changed = scratch("changed.jsonl")
            with open(changed, "w") as f:
                r = records(parts[0])[1]
                r["answers"][0][field] += change
                f.write(json.dumps(r) + "\n")
            p = subprocess.run([VL_EVAL, "summarize", parts[0], changed], capture_output=True,
                               text=True, timeout=TIMEOUT)
            self.assertEqual(p.returncode, 1, field)
            self.assertIn("results for the same ids differ: t1 (%s, %s)" % (parts[0], changed), p.stderr)


def write_long_answers(name, n):
    """n generic items sharing a start, with answers of one to four words."""
    return write_items(name, n, one_to_four_words)


# Batched decodes round differently from the walk's one-token decodes. The
# largest difference measured on these items is 0.0251 (stories260K) and
# 0.0038 (the fixture model), over 240 answers of up to four words.
WALK_TOLERANCE = 0.03


class BatchedScoring(unittest.TestCase):
    def test_batched_and_walked_runs_pick_alike_and_are_kept_apart(self):
        tasks = write_long_answers("walk.jsonl", 60)
        results = {}
        for flag in ([], ["--walk"]):
            out, summ = scratch("walk-out.jsonl"), scratch("walk.json")
            run("--model", STORIES, "--tasks", tasks, "--out", out, "--summary", summ, *flag)
            results[bool(flag)] = (records(out), summary(summ))
        (batched, b_sum), (walked, w_sum) = results[False], results[True]
        self.assertEqual((b_sum["configuration"]["scorer"], w_sum["configuration"]["scorer"]),
                         ("batch", "walk"))
        self.assertEqual([r["pick"] for r in batched], [r["pick"] for r in walked])
        largest = max(abs(a["logprob"] - b["logprob"]) for r, q in zip(batched, walked)
                      for a, b in zip(r["answers"], q["answers"]))
        self.assertLess(largest, WALK_TOLERANCE)
        self.assertEqual(b_sum["tokens_from_scratch"], w_sum["tokens_from_scratch"])
        self.assertEqual(b_sum["tokens_decoded"], w_sum["tokens_decoded"])
        self.assertNotEqual(b_sum["run"], w_sum["run"])
        p = run("--model", STORIES, "--tasks", tasks, "--out", out, "--resume", check=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn("another model or settings", p.stderr)

    def test_shards_and_resumed_runs_score_as_one_whole_run(self):
        # A small window makes calls of a few items each, so that shard edges
        # and the resume point fall inside calls.
        tasks = write_long_answers("batch-shards.jsonl", 40)
        small = ("--ctx", "70")
        whole, whole_sum = scratch("batch-whole.jsonl"), scratch("batch-whole.json")
        run("--model", STORIES, "--tasks", tasks, "--out", whole, "--summary", whole_sum, *small)
        lines = text(whole).splitlines(keepends=True)
        self.assertEqual(len(lines), 41)  # the header and 40 records
        parts = []
        decoded = 0
        for i in range(7):
            parts.append(scratch(f"batch-part{i}.jsonl"))
            part_sum = scratch("batch-part.json")
            run("--model", STORIES, "--tasks", tasks, "--out", parts[-1], "--shard", f"{i}/7",
                "--summary", part_sum, *small)
            decoded += summary(part_sum)["tokens_decoded"]
        self.assertEqual("".join(l for p in parts for l in record_lines(p)), "".join(lines[1:]))
        # Calls cut by a shard edge were scored whole by both shards.
        self.assertGreater(decoded, summary(whole_sum)["tokens_decoded"])

        for cut_at in (3, 9, 22):
            resumed = scratch("batch-resumed.jsonl")
            with open(resumed, "w") as f:
                f.write("".join(lines[:cut_at]))
            run("--model", STORIES, "--tasks", tasks, "--out", resumed, "--resume", *small)
            self.assertEqual(text(resumed), "".join(lines), cut_at)


class HarnessOptions(unittest.TestCase):
    def test_fewshot_write_out_and_groups_merged_by_summarize(self):
        dev = scratch("dev.jsonl")
        with open(dev, "w") as f:
            for subject, q, a in (("astronomy", "What orbits the Earth?", 0),
                                  ("elementary_mathematics", "What is 1 + 1?", 1)):
                f.write(json.dumps({"question": q, "subject": subject,
                                    "choices": ["w", "x", "y", "z"], "answer": a}) + "\n")
        tasks = os.path.join(DATA, "mmlu.jsonl")
        out, summ = scratch("fs.jsonl"), scratch("fs.json")
        p = run("--model", STORIES, "--tasks", tasks, "--prompt", "raw", "--fewshot", "1",
                "--fewshot-from", dev, "--write-out", "1", "--out", out, "--summary", summ)
        # The first item's prompt as it is scored, its answers " A".." D".
        self.assertIn("The following are multiple choice questions (with answers) about elementary "
                      "mathematics.\n\nWhat is 1 + 1?\nA. w\nB. x\nC. y\nD. z\nAnswer: B\n\n"
                      "What is 2 + 2?\nA. 3\nB. 4\nC. 5\nD. 22\nAnswer:\n--- answers ---\n0  \" A\"",
                      p.stdout)
        self.assertIn('1* " B" (1 tokens, 1 characters)', p.stdout)
        self.assertNotIn("astronomy.\n", p.stdout)  # only the first item is written out
        s = summary(summ)
        self.assertEqual(s["configuration"]["fewshot"], 1)
        self.assertEqual(sorted(s["groups"]), ["astronomy", "elementary_mathematics"])
        self.assertEqual([r["group"] for r in records(out)], ["elementary_mathematics", "astronomy"])
        # Without the examples the run is another evaluation.
        plain = scratch("fs-plain.jsonl")
        run("--model", STORIES, "--tasks", tasks, "--prompt", "raw", "--out", plain)
        self.assertNotEqual(records(plain)[0]["run"], records(out)[0]["run"])
        # Shards merged by summarize give the run's own breakdown.
        parts = []
        for i in range(2):
            parts.append(scratch(f"fs-{i}.jsonl"))
            run("--model", STORIES, "--tasks", tasks, "--prompt", "raw", "--fewshot", "1",
                "--fewshot-from", dev, "--shard", f"{i}/2", "--out", parts[-1])
        merged = scratch("fs-merged.json")
        subprocess.run([VL_EVAL, "summarize", *parts, "--summary", merged], check=True,
                       capture_output=True, timeout=TIMEOUT)
        self.assertEqual(summary(merged)["groups"], s["groups"])
        # Examples the file does not have, or --fewshot alone, are refused.
        p = run("--model", STORIES, "--tasks", tasks, "--fewshot", "2", "--fewshot-from", dev,
                check=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn("has 1 solved examples of subject", p.stderr)
        self.assertEqual(run("--model", STORIES, "--tasks", tasks, "--fewshot", "1",
                             check=False).returncode, 2)


class OneEvaluation(unittest.TestCase):
    def test_resume_refuses_a_model_of_the_same_name_and_size_with_other_content(self):
        tasks = write_tasks("same-name.jsonl", 6)
        models = []
        for d in ("model-a", "model-b"):
            os.makedirs(os.path.join(SCRATCH, d), exist_ok=True)
            models.append(os.path.join(SCRATCH, d, "model.gguf"))
            with open(STORIES, "rb") as f:
                data = bytearray(f.read())
            if d == "model-b":
                data[-2] ^= 1  # one bit of a weight's mantissa
            with open(models[-1], "wb") as f:
                f.write(data)
        out = scratch("same-name-out.jsonl")
        run("--model", models[0], "--tasks", tasks, "--out", out, "--limit", "3")
        p = run("--model", models[1], "--tasks", tasks, "--out", out, "--resume", check=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn("another model or settings", p.stderr)
        self.assertIn("model_xxh3", p.stderr)
        self.assertNotIn("model_bytes", p.stderr)  # the same size: not named as a difference
        self.assertEqual(len(records(out)), 3)  # nothing was added
        run("--model", models[0], "--tasks", tasks, "--out", out, "--resume")
        self.assertEqual(len(records(out)), 6)

    def test_auto_and_the_explicit_format_are_one_evaluation_and_summarize_names_the_model(self):
        tasks = write_tasks("auto-format.jsonl", 4)
        out = scratch("auto-format-out.jsonl")
        run("--model", STORIES, "--tasks", tasks, "--out", out, "--limit", "2")
        run("--model", STORIES, "--tasks", tasks, "--out", out, "--resume", "--format", "generic")
        self.assertEqual(len({r["run"] for r in records(out)}), 1)
        summ = scratch("auto-format.json")
        run("--model", STORIES, "--tasks", tasks, "--out", scratch("x.jsonl"), "--summary", summ,
            "--limit", "1")
        p = subprocess.run([VL_EVAL, "summarize", out], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertIn(summary(summ)["model"], p.stdout)
        # Another window is another evaluation, and summarize says so.
        other = scratch("auto-format-other.jsonl")
        run("--model", STORIES, "--tasks", tasks, "--out", other, "--ctx", "200", "--limit", "1")
        p = subprocess.run([VL_EVAL, "summarize", out, other], capture_output=True, text=True,
                           timeout=TIMEOUT)
        self.assertEqual(p.returncode, 1)
        self.assertIn("they differ in n_ctx: ", p.stderr)

    def test_a_resumed_run_summarises_its_own_items_only(self):
        # The file holds records of items this run does not cover (beyond its
        # --limit, of another shard): they are kept, but not counted.
        tasks = write_tasks("own-items.jsonl", 8)
        for first, second in ((["--limit", "4"], ["--limit", "2"]),
                              (["--shard", "0/2"], ["--shard", "1/2"])):
            with self.subTest(first=first, second=second):
                out, summ, alone = scratch("own-out.jsonl"), scratch("own.json"), scratch("own-alone.json")
                run("--model", STORIES, "--tasks", tasks, "--out", out, *first)
                p = run("--model", STORIES, "--tasks", tasks, "--out", out, "--resume", "--summary", summ,
                        *second)
                run("--model", STORIES, "--tasks", tasks, "--out", scratch("own-x.jsonl"), "--summary",
                    alone, *second)
                resumed, fresh = summary(summ), summary(alone)
                self.assertEqual(resumed["items"], fresh["items"])
                self.assertEqual(resumed["metrics"], fresh["metrics"])
                self.assertIn("items:   %d scored, 0 skipped, of %d" % ((fresh["items"]["total"],) * 2),
                              p.stdout)

    def test_last_lines_whole_without_newline_or_cut(self):
        tasks = write_tasks("last-line.jsonl", 5)
        whole = scratch("last-line-whole.jsonl")
        run("--model", STORIES, "--tasks", tasks, "--out", whole)
        lines = text(whole).splitlines(keepends=True)
        # A whole last record without its newline is kept, not scored again.
        kept = scratch("last-line-kept.jsonl")
        with open(kept, "w") as f:
            f.write("".join(lines[:3]).rstrip("\n"))
        p = run("--model", STORIES, "--tasks", tasks, "--out", kept, "--resume")
        self.assertNotIn("cut off", p.stderr)
        self.assertEqual(text(kept), text(whole))
        # A cut one is reported and its item scored again.
        cut = scratch("last-line-cut.jsonl")
        with open(cut, "w") as f:
            f.write("".join(lines[:3]) + lines[3][:30])
        p = subprocess.run([VL_EVAL, "summarize", cut], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(p.returncode, 1)
        self.assertIn("%s:4: the last line was cut off" % cut, p.stderr)
        p = run("--model", STORIES, "--tasks", tasks, "--out", cut, "--resume")
        self.assertIn("%s:4: the last line was cut off" % cut, p.stderr)
        self.assertEqual(text(cut), text(whole))


class ChangedItems(unittest.TestCase):
    def test_records_of_items_edited_since_they_were_scored_are_refused_by_id(self):
        # A fixed window: the edits below do not change the run's settings.
        tasks = write_tasks("edited.jsonl", 6)
        fixed = ("--model", STORIES, "--ctx", "100")
        out = scratch("edited-out.jsonl")
        run(*fixed, "--tasks", tasks, "--out", out, "--limit", "3")
        lines = text(tasks).splitlines(keepends=True)

        def change_choice(item):
            item["choices"][1] += " moon"

        def change_label(item):
            item["answer"] = (item["answer"] + 1) % 4

        for change in (change_choice, change_label):
            with self.subTest(change=change.__name__):
                item = json.loads(lines[1])
                change(item)
                edited = scratch("edited-tasks.jsonl")
                with open(edited, "w") as f:
                    f.write(lines[0] + json.dumps(item) + "\n" + "".join(lines[2:]))
                resumed = scratch("edited-resumed.jsonl")
                with open(resumed, "w") as f:
                    f.write(text(out))
                p = run(*fixed, "--tasks", edited, "--out", resumed, "--resume", check=False)
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertIn("changed since they were scored: t1", p.stderr)
                self.assertEqual(text(resumed), text(out))  # nothing mixed in
                p = subprocess.run([VL_EVAL, "summarize", out, "--tasks", edited], capture_output=True,
                                   text=True, timeout=TIMEOUT)
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertIn("1 results are of items of %s that changed since they were scored: t1"
                              % edited, p.stderr)
        # The file as it was scored resumes.
        run(*fixed, "--tasks", tasks, "--out", out, "--resume")
        self.assertEqual([r["id"] for r in records(out)], ["t%d" % i for i in range(6)])

        # Records of an earlier vl-eval carry no item hash: refused by their
        # line, not mixed with records that do.
        old = scratch("edited-old.jsonl")
        with open(old, "w") as f:
            for line in text(out).splitlines(keepends=True):
                r = json.loads(line)
                r.pop("item_xxh3", None)
                f.write(json.dumps(r) + "\n")
        p = run(*fixed, "--tasks", tasks, "--out", old, "--resume", check=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn(old + ":2: no 'item_xxh3'", p.stderr)
        p = subprocess.run([VL_EVAL, "summarize", old], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(p.returncode, 1)
        self.assertIn(old + ":2: no 'item_xxh3'", p.stderr)


# Winogrande items in llama-perplexity's CSV: index, sentence (quoted when
# it has commas), the options, the right one's number.
WINOGRANDE = [
    ("Lily gave the ball to Tom because _ did not want to play anymore.", "Lily", "Tom", 1),
    ("The sun was hot and the snow was cold, so the _ melted.", "snow", "sun", 1),
    ("The bird sang in the tree until the _ flew away.", "bird", "tree", 1),
    ("Tom, not Ben, fed the cat, so _ was thanked.", "Tom", "Ben", 1),
    ("Mom put the cake in the oven because the _ was cold.", "oven", "cake", 2),
    ("The dog chased the cat until _ was tired and sat down.", "the dog", "the cat", 1),
    ("Anna likes the sun more than the rain because the _ makes her happy.", "rain", "sun", 2),
    ("The boy could not see the moon because the _ was behind a cloud.", "moon", "boy", 1),
]


class Winogrande(unittest.TestCase):
    @unittest.skipIf(shutil.which("llama-perplexity") is None, "llama-perplexity is not installed")
    def test_llama_perplexitys_definition_gives_its_scores_and_picks(self):
        csv = scratch("winogrande.csv")
        with open(csv, "w") as f:
            for i, (sentence, one, two, answer) in enumerate(WINOGRANDE):
                sentence = '"%s"' % sentence if "," in sentence else sentence
                f.write(f"{i},{sentence},{one},{two},{answer}\n")
        # Each task's line: number, running accuracy, both options' mean
        # log-probabilities, the pick and the right answer.
        line = re.compile(r"^(\d+)\t[0-9.]+\t\s*(-?[0-9.]+)\s+(-?[0-9.]+)\s+([12])\s+([12])$", re.M)
        unbuffered = ["stdbuf", "-o0", "-e0"] if shutil.which("stdbuf") else []
        for _ in range(5):  # its output's end can be lost in a pipe (see perplexity_program_test)
            lp = subprocess.run(unbuffered + ["llama-perplexity", "-m", STORIES, "-f", csv, "--winogrande",
                                              "-c", "256", "-t", "1"],
                                capture_output=True, text=True, timeout=TIMEOUT,
                                env=dict(os.environ, GGML_NO_BACKTRACE="1"))
            self.assertEqual(lp.returncode, 0, lp.stderr)
            theirs = [tuple(map(float, m.groups())) for m in line.finditer(lp.stdout + lp.stderr)]
            if len(theirs) == len(WINOGRANDE) - 1:
                break
        # It reads the file with its final newline taken off, and its reader
        # stops at a last line without one: every task but the last.
        self.assertIn("loaded %d tasks" % (len(WINOGRANDE) - 1), lp.stdout + lp.stderr)
        self.assertGreaterEqual(len(theirs), 4)
        self.assertEqual([int(t[0]) for t in theirs], list(range(1, len(theirs) + 1)))
        out = scratch("winogrande.jsonl")
        run("--model", STORIES, "--tasks", csv, "--winogrande", "llama-perplexity", "--out", out)
        mine = records(out)
        self.assertEqual(len(mine), len(WINOGRANDE))
        for (_, one, two, pick, answer), r in zip(theirs, mine):
            means = [a["logprob"] / a["tokens"] for a in r["answers"]]
            # One decode of several tasks there, of several items here: the
            # means differ in float's last bits (2.8e-3 at most, measured).
            self.assertAlmostEqual(means[0], one, delta=5e-3, msg=r["id"])
            self.assertAlmostEqual(means[1], two, delta=5e-3, msg=r["id"])
            self.assertEqual(r["label"], answer - 1)
            if abs(one - two) > 1e-2:
                self.assertEqual(r["pick"]["acc_per_token"], pick - 1, msg=r["id"])
        # The harness's definition scores other tokens: another evaluation,
        # which the results' header names.
        harness = scratch("winogrande-harness.jsonl")
        run("--model", STORIES, "--tasks", csv, "--out", harness)
        self.assertNotEqual(records(harness)[0]["answers"], mine[0]["answers"])
        headers = [json.loads(text(path).splitlines()[0])["evaluation"] for path in (out, harness)]
        self.assertEqual(headers[0]["winogrande"], "llama-perplexity")
        self.assertNotIn("winogrande", headers[1])


class ExitStatuses(unittest.TestCase):
    def test_usage_errors_exit_2_and_an_empty_task_file_is_an_error(self):
        tasks = write_tasks("usage.jsonl", 2)
        for args in (["--model", STORIES, "--tasks", tasks, "--no-such-option"],
                     ["--model", STORIES, "--tasks", tasks, "--format", "csv"],
                     ["--model", STORIES, "--tasks", tasks, "--shard", "3/3"],
                     ["--model", STORIES, "--tasks", tasks, "--ctx", "0"],
                     ["--model", STORIES, "--tasks", tasks, "--limit", "-1"],
                     ["--model", STORIES, "--tasks", tasks, "--resume"],
                     ["--tasks", tasks],
                     ["summarize"]):
            p = run(*args, check=False)
            self.assertEqual(p.returncode, 2, (args, p.stderr))
            self.assertNotEqual(p.stderr, "", args)
        empty = scratch("empty.jsonl")
        with open(empty, "w") as f:
            f.write("\n")
        p = run("--model", STORIES, "--tasks", empty, check=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn("%s: the task file holds no items" % empty, p.stderr)


class ModelLoads(unittest.TestCase):
    def test_the_model_is_loaded_once_and_only_through_the_library(self):
        # llama.cpp logs its loader's metadata line once a load (vocabulary-only
        # loads included); chat prompts are sized and scored on the one runtime.
        tasks = write_tasks("loads.jsonl", 3)
        for model, mode in ((STORIES, "raw"), (STORIES_CHAT, "chat")):
            with self.subTest(mode=mode):
                p = run("--model", model, "--tasks", tasks, "--prompt", mode, "--verbose")
                self.assertEqual(p.stderr.count("loaded meta data with"), 1, p.stderr[-2000:])
        # The program's own llama.cpp calls: the backend and its log, nothing else.
        symbols = subprocess.run(["nm", "-D", "--undefined-only", VL_EVAL], capture_output=True,
                                 text=True, check=True, timeout=60).stdout.split()
        self.assertEqual(sorted({s for s in symbols if s.startswith("llama_")}),
                         ["llama_backend_init", "llama_log_set"])


if __name__ == "__main__":
    unittest.main()
