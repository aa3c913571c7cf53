"""`vl-eval kld` as a user runs it: every statistic llama-perplexity
--kl-divergence prints for the same models and text, from the reference
model and from llama-perplexity's own base file; a run cut short and
resumed; usage errors."""
import os
import re
import shutil
import struct
import subprocess
import unittest

from program_support import TIMEOUT, run_program, scratch
from perplexity_program_test import write_story

# The plain fixture model as the reference, and another model of its
# vocabulary: far enough apart that every statistic is well above the
# rounding of either program. (Between a model and its own F16 or Q8_0 copy
# on a model this small, llama.cpp's rounding of the decodes, which differs
# between the two programs' batch layouts, is as large as the divergence.)
FIXTURES = os.environ["VL_FIXTURE_DIR"]
REFERENCE = os.path.join(FIXTURES, "plain.gguf")
QUANTIZED = os.path.join(FIXTURES, "plain-seed-2.gguf")

# "Mean PPL(Q) : 1.2 ± 0.3", "99.9%   KLD:   0.187015", "Same top p: 59.524 ± 2.189 %"
STATISTIC = re.compile(r"^([^:\n]+?)\s*:\s*(-?[0-9.]+)(?:%| ± (-?[0-9.]+))?", re.M)


LOG_LINE = re.compile(r"^\d+\.\d+\.\d+\.\d+ [A-Z] ")


def kld(*args, check=True):
    return run_program(["kld"], args, check)


def statistics(output):
    """Every final statistic, by its label: (value, uncertainty or None)."""
    # llama-perplexity's log lines ("0.00.169.790 I kl_divergence: ...") aside.
    output = "\n".join(line for line in output.splitlines() if not LOG_LINE.match(line))
    start = output.find("====== Perplexity statistics")
    if start < 0:
        raise AssertionError("no final statistics in:\n" + output)
    return {m.group(1).strip(): (float(m.group(2)), None if m.group(3) is None else float(m.group(3)))
            for m in STATISTIC.finditer(output[start:])}


def llama_perplexity(*args):
    unbuffered = ["stdbuf", "-o0", "-e0"] if shutil.which("stdbuf") else []
    # Its log is written by a thread of its own, and on a busy machine the end
    # of it is sometimes lost at exit: a run that lost it is run again.
    for _ in range(5):
        p = subprocess.run(unbuffered + ["llama-perplexity", "-t", "1", *args], capture_output=True, text=True,
                           timeout=TIMEOUT, env=dict(os.environ, GGML_NO_BACKTRACE="1"))
        if p.returncode != 0:
            raise AssertionError(f"llama-perplexity {args} exited {p.returncode}:\n{p.stderr[-3000:]}")
        if "--kl-divergence" not in args or "Same top p:" in p.stdout + p.stderr:
            return p.stdout + p.stderr
    raise AssertionError("llama-perplexity lost the end of its output five times")


class Kld(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = write_story("kld_story.txt", 30)

    def assertSameDigits(self, ours, theirs, label):
        """Equal to 4 significant digits, or to the last digit printed."""
        self.assertLessEqual(abs(ours - theirs), max(5e-4 * abs(theirs), 1.5e-6), label)

    @unittest.skipIf(shutil.which("llama-perplexity") is None, "llama-perplexity is not installed")
    def test_statistics_are_those_llama_perplexity_prints(self):
        base = scratch("kld_llama.kld")
        llama_perplexity("-m", REFERENCE, "-f", self.text, "-c", "64", "-b", "64", "--kl-divergence-base", base)
        theirs = statistics(llama_perplexity("-m", QUANTIZED, "-c", "64", "-b", "64", "--kl-divergence-base", base,
                                             "--kl-divergence"))
        self.assertGreaterEqual(len(theirs), 34)
        streamed = statistics(kld("-m", QUANTIZED, "--reference", REFERENCE, "-f", self.text, "-c", "64").stdout)
        from_their_base = statistics(kld("-m", QUANTIZED, "--base", base, "-f", self.text).stdout)
        for ours in (streamed, from_their_base):
            self.assertEqual(sorted(ours), sorted(theirs))
            for label, (value, error) in theirs.items():
                self.assertSameDigits(ours[label][0], value, label)
                if error is not None:
                    self.assertSameDigits(ours[label][1], error, label + " (uncertainty)")

        # Our base file, read by llama-perplexity.
        mine = scratch("kld_mine.kld")
        kld("--reference", REFERENCE, "-f", self.text, "-c", "64", "--save-base", mine)
        from_ours = statistics(llama_perplexity("-m", QUANTIZED, "-c", "64", "-b", "64", "--kl-divergence-base",
                                                mine, "--kl-divergence"))
        for label, (value, _) in theirs.items():
            self.assertSameDigits(from_ours[label][0], value, label)

    def test_a_cut_run_resumes_to_what_one_run_prints(self):
        args = ["-m", QUANTIZED, "--reference", REFERENCE, "-f", self.text, "-c", "64"]
        whole_out, whole_base = scratch("kld_whole.jsonl"), scratch("kld_whole.kld")
        whole = kld(*args, "-o", whole_out, "--save-base", whole_base, "--summary", scratch("kld_whole.json"))
        # A run interrupted in its third chunk: two chunks' lines and a cut
        # one, and the base file's two chunks with part of the third.
        out, base = scratch("kld_cut.jsonl"), scratch("kld_cut.kld")
        with open(whole_out) as f:
            lines = f.readlines()
        with open(out, "w") as f:
            f.writelines(lines[:3])
            f.write(lines[3][:40])
        with open(whole_base, "rb") as f:
            data = f.read()
        n_ctx, n_vocab, n_chunk = struct.unpack("<Iii", data[8:20])
        rows = (n_ctx - 1 - n_ctx // 2) * (2 * ((n_vocab + 1) // 2) + 4) * 2
        with open(base, "wb") as f:
            f.write(data[: 20 + n_ctx * n_chunk * 4 + 2 * rows + 1000])
        resumed = kld(*args, "-o", out, "--save-base", base, "--resume")
        self.assertEqual(resumed.stdout, whole.stdout)
        with open(out, "rb") as a, open(whole_out, "rb") as b:
            self.assertEqual(a.read(), b.read())
        with open(base, "rb") as a, open(whole_base, "rb") as b:
            self.assertEqual(a.read(), b.read())
        # Another reference is refused, naming what differs.
        refused = kld("-m", REFERENCE, "--reference", QUANTIZED, "-f", self.text, "-c", "64", "-o", out, "--resume",
                      check=False)
        self.assertEqual(refused.returncode, 1)
        self.assertIn(out + ": holds results of another model, reference, text, --ctx or --exact", refused.stderr)
        self.assertIn("model_xxh3", refused.stderr)
        # So is the same pair computed exactly: exact and default are kept apart.
        exact = kld(*args, "-o", out, "--resume", "--exact", check=False)
        self.assertEqual(exact.returncode, 1)
        self.assertIn("they differ in kv_cache", exact.stderr)

    def test_usage_errors(self):
        for args, message in [
            (["-m", QUANTIZED, "-f", self.text], "give the reference as --reference MODEL or --base FILE"),
            (["--reference", REFERENCE, "-f", self.text], "--model is needed"),
            (["-m", QUANTIZED, "--reference", REFERENCE], "--reference needs --text"),
            (["-m", QUANTIZED, "--reference", REFERENCE, "-f", self.text, "--resume"], "--resume needs --out"),
            (["-m", QUANTIZED, "--base", "x.kld", "--save-base", "y.kld"], "--base reads them"),
        ]:
            with self.subTest(args=args):
                p = kld(*args, check=False)
                self.assertEqual(p.returncode, 2, p.stderr)
                self.assertIn(message, p.stderr)


if __name__ == "__main__":
    unittest.main()
