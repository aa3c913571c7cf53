"""`vl-eval perplexity` as a user runs it: the values llama-perplexity prints
for the same text, model and context, per-chunk results resumed after an
interruption, usage errors and a text too short."""
import json
import random
import re
import shutil
import unittest

from program_support import STORIES, llama_perplexity, run_program, scratch


def write_story(name, lines, seed=3):
    rng = random.Random(seed)
    names = ["Lily", "Tom", "Ben", "Sue", "Max", "Anna"]
    things = ["ball", "dog", "cat", "tree", "park", "cake", "toy", "bird", "car", "box"]
    verbs = ["liked", "saw", "found", "wanted", "played with", "looked at"]
    path = scratch(name)
    with open(path, "w") as f:
        for _ in range(lines):
            n = rng.choice(names)
            f.write(f"Once upon a time, there was a little girl named {n}. She {rng.choice(verbs)} "
                    f"a big {rng.choice(things)}. One day, {n} went to the {rng.choice(things)} "
                    "with her mom. They were very happy.\n")
    return path


def perplexity(*args, check=True):
    return run_program(["perplexity"], args, check)


def running(output):
    """The [CHUNK]PPL values, in order."""
    return [(int(c), float(v)) for c, v in re.findall(r"\[(\d+)\]([0-9.]+),", output)]


def final(output):
    m = re.search(r"Final estimate: PPL = ([0-9.]+) \+/- ([0-9.]+)", output)
    if m is None:
        raise AssertionError("no final estimate in:\n" + output)
    return float(m.group(1)), float(m.group(2))


class Perplexity(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = write_story("story.txt", 24)

    @unittest.skipIf(shutil.which("llama-perplexity") is None, "llama-perplexity is not installed")
    def test_values_are_those_llama_perplexity_prints(self):
        # llama-perplexity one chunk a decode, vl-eval many a call: the
        # values agree to the last digit printed or almost. (Packing 16
        # chunks a decode moves llama-perplexity's own values by up to 1.5e-4
        # on this text, through the F16 memory of keys and values.)
        for ctx in ("128", "97"):
            with self.subTest(ctx=ctx):
                ours_p = perplexity("-m", STORIES, "-f", self.text, "-c", ctx)
                ours = running(ours_p.stdout)
                lp_stdout, lp_output = llama_perplexity(self.text, ctx, "-b", ctx, chunks=len(ours))
                theirs = running(lp_stdout)
                self.assertGreaterEqual(len(theirs), 4)
                self.assertEqual([c for c, _ in ours], [c for c, _ in theirs])
                for (c, a), (_, b) in zip(ours, theirs):
                    self.assertAlmostEqual(a, b, delta=2e-4, msg=f"chunk {c}")
                ppl, err = final(ours_p.stdout)
                lp_ppl, lp_err = final(lp_output)
                self.assertLess(abs(ppl - lp_ppl) / lp_ppl, 5e-5)
                self.assertAlmostEqual(err, lp_err, delta=5e-5)

    def test_chunks_are_written_as_made_and_a_cut_run_resumes_to_the_same_estimate(self):
        whole = perplexity("-m", STORIES, "-f", self.text, "-c", "64", "-b", "128")
        # Two chunks a call; a run stopped after its second call, while
        # writing the fifth chunk's line, packs the chunks as a whole run.
        out = scratch("chunks.jsonl")
        part = perplexity("-m", STORIES, "-f", self.text, "-c", "64", "-b", "128", "--chunks", "4",
                          "-o", out)
        with open(out) as f:
            header, *lines = [json.loads(line) for line in f]
        self.assertEqual([r["chunk"] for r in lines], [1, 2, 3, 4])
        # The run's header first, as vl-eval writes it: its settings and the
        # run id every chunk carries.
        self.assertEqual(header["evaluation"]["ctx"], 64)
        self.assertEqual({r["run"] for r in lines}, {header["run"]})
        self.assertEqual(running(part.stdout), running(whole.stdout)[:4])
        self.assertAlmostEqual(lines[3]["running_ppl"], running(part.stdout)[3][1], delta=1e-4)
        self.assertEqual(lines[0]["tokens"], 31)
        with open(out, "a") as f:
            f.write('{"chunk": 5, "tok')
        resumed = perplexity("-m", STORIES, "-f", self.text, "-c", "64", "-b", "128", "--resume",
                             "-o", out)
        self.assertEqual(running(resumed.stdout), running(whole.stdout))
        self.assertEqual(final(resumed.stdout), final(whole.stdout))
        with open(out) as f:
            header, *lines = [json.loads(line) for line in f]
        self.assertIn("evaluation", header)  # the one header: resuming adds none
        self.assertEqual([r["chunk"] for r in lines], list(range(1, len(running(whole.stdout)) + 1)))

        # A line edited into numbers no run writes is refused by its line,
        # before anything is scored: the values of a resumed run come from
        # the lines it reads.
        with open(out) as f:
            lines = f.readlines()
        for field, value in (("tokens", "-1"), ("chunk", "1e60"), ("tokens", "30")):
            edited = scratch("edited.jsonl")
            record = json.loads(lines[3])
            with open(edited, "w") as f:
                f.write("".join(lines[:3]) + json.dumps(record).replace(
                    '"%s": %s' % (field, record[field]), '"%s": %s' % (field, value)) + "\n")
            p = perplexity("-m", STORIES, "-f", self.text, "-c", "64", "-b", "128", "--resume",
                           "-o", edited, check=False)
            self.assertEqual(p.returncode, 1, (field, value, p.stdout))
            self.assertIn(edited + ":4: ", p.stderr)
            self.assertIn(field, p.stderr)
            self.assertNotIn("Final estimate", p.stdout)

        again = perplexity("-m", STORIES, "-f", self.text, "-c", "64", "-o", out, check=False)
        self.assertEqual(again.returncode, 1)
        self.assertIn(out + ": the file exists", again.stderr)
        other = perplexity("-m", STORIES, "-f", self.text, "-c", "80", "--resume", "-o", out,
                           check=False)
        self.assertEqual(other.returncode, 1)
        self.assertIn("another model, text, --ctx or --exact", other.stderr)
        self.assertIn("they differ in ctx: 80, not 64", other.stderr)

    def test_usage_errors_and_a_text_too_short(self):
        for args, status, message in [
            (["-m", STORIES], 2, "--text"),
            (["-m", STORIES, "-f", self.text, "-c", "2"], 2, "--ctx"),
            (["-m", STORIES, "-f", self.text, "-b", "1"], 2, "--batch"),
            (["-m", STORIES, "-f", self.text, "--resume"], 2, "--resume needs --out"),
            (["-m", STORIES, "-f", "/nonexistent/text.txt"], 1, "/nonexistent/text.txt: cannot read"),
            (["-m", "/nonexistent/m.gguf", "-f", self.text], 1, "/nonexistent/m.gguf"),
        ]:
            with self.subTest(args=args):
                p = perplexity(*args, check=False)
                self.assertEqual(p.returncode, status, p.stderr)
                self.assertIn(message, p.stderr)
        short = write_story("short.txt", 2)
        p = perplexity("-m", STORIES, "-f", short, "-c", "128", check=False)
        self.assertEqual(p.returncode, 1)
        self.assertRegex(p.stderr, re.escape(short) + r": \d+ tokens; a context of 128 needs at least 256")
        self.assertNotIn("Final estimate", p.stdout)


if __name__ == "__main__":
    unittest.main()
