"""vl-eval --exact: F32 keys and values without flash attention, recorded in
the results' header, kept apart from default runs, and for perplexity the
very values llama-perplexity prints with the same choice."""
import json
import shutil
import unittest

from perplexity_program_test import final, perplexity, running, write_story
from program_support import (STORIES, llama_perplexity, one_to_four_words, run_program, scratch,
                             write_items)


def lines(path):
    with open(path) as f:
        return [json.loads(line) for line in f]


def header(path):
    """The results file's first line: {"evaluation": settings, "run": id}."""
    first = lines(path)[0]
    assert "evaluation" in first, first
    return first


def logprobs(path):
    return [a["logprob"] for r in lines(path)[1:] for a in r["answers"]]


class Evaluation(unittest.TestCase):
    def test_exact_runs_record_their_choice_and_are_kept_apart_from_default_ones(self):
        tasks = write_items("exact-tasks.jsonl", 8, one_to_four_words)
        default, exact = scratch("default.jsonl"), scratch("exact.jsonl")
        summary = scratch("exact-summary.json")
        run_program([], ["-m", STORIES, "-t", tasks, "-o", default])
        run_program([], ["-m", STORIES, "-t", tasks, "-o", exact, "--exact", "--summary", summary])

        ours, theirs = header(exact), header(default)
        self.assertEqual((ours["evaluation"]["kv_cache"], ours["evaluation"]["flash_attention"]), ("f32", "off"))
        # A default run's settings are those runs had before the choice existed.
        self.assertNotIn("kv_cache", theirs["evaluation"])
        self.assertNotIn("flash_attention", theirs["evaluation"])
        self.assertNotEqual(ours["run"], theirs["run"])
        with open(summary) as f:
            self.assertIs(json.load(f)["configuration"]["exact"], True)

        # The library computed otherwise: no mere relabelling.
        difference = max(abs(a - b) for a, b in zip(logprobs(exact), logprobs(default)))
        self.assertGreater(difference, 1e-4)

        p = run_program([], ["-m", STORIES, "-t", tasks, "-o", default, "--resume", "--exact"], check=False)
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn('kv_cache: "f32", not absent', p.stderr)


class Perplexity(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = write_story("exact-story.txt", 24)

    @unittest.skipIf(shutil.which("llama-perplexity") is None, "llama-perplexity is not installed")
    def test_values_are_those_llama_perplexity_prints_with_the_same_choice(self):
        # Without F16 rounding, packing chunks into decodes moves nothing
        # llama-perplexity prints; with the defaults it moves the last digits.
        for ctx in ("128", "97"):
            with self.subTest(ctx=ctx):
                exact = perplexity("-m", STORIES, "-f", self.text, "-c", ctx, "--exact")
                stdout, output = llama_perplexity(self.text, ctx, "-ctk", "f32", "-ctv", "f32", "-fa", "off",
                                                  chunks=len(running(exact.stdout)))
                self.assertGreaterEqual(len(running(stdout)), 4)
                self.assertEqual(running(exact.stdout), running(stdout))
                self.assertEqual(final(exact.stdout), final(output))
                default = perplexity("-m", STORIES, "-f", self.text, "-c", ctx)
                self.assertNotEqual(final(default.stdout), final(output))

    def test_exact_chunks_are_not_resumed_from_default_ones(self):
        out = scratch("exact-chunks.jsonl")
        perplexity("-m", STORIES, "-f", self.text, "-c", "128", "--chunks", "2", "-o", out)
        self.assertNotIn("kv_cache", header(out)["evaluation"])
        p = perplexity("-m", STORIES, "-f", self.text, "-c", "128", "-o", out, "--resume", "--exact",
                       check=False)
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn('kv_cache: "f32", not absent', p.stderr)
        exact = scratch("exact-chunks-2.jsonl")
        perplexity("-m", STORIES, "-f", self.text, "-c", "128", "--chunks", "2", "-o", exact, "--exact")
        self.assertEqual(header(exact)["evaluation"]["flash_attention"], "off")


if __name__ == "__main__":
    unittest.main()
