"""What the tests of the vl-eval program share: the program and scratch
folder the build names, fresh scratch files, runs of the program, and task
files of generic items made from a small vocabulary."""
import json
import os
import shutil
import subprocess

VL_EVAL = os.environ["VL_EVAL"]
SCRATCH = os.environ["VL_EVAL_SCRATCH"]
SHARED = os.environ["VL_SHARED_MODELS_DIR"]
STORIES = os.path.join(SHARED, "stories260K.gguf")
TIMEOUT = 300

WORDS = "the a girl boy dog cat park tree ball sun happy big small red blue ran saw".split()


def scratch(name):
    """A path in the scratch folder, with nothing there yet."""
    path = os.path.join(SCRATCH, name)
    if os.path.exists(path):
        os.remove(path)
    return path


def text(path):
    with open(path) as f:
        return f.read()


def run_program(command, args, check=True):
    """vl-eval [COMMAND] on one thread, quietly; with check, a failure is
    reported with everything the program printed."""
    p = subprocess.run([VL_EVAL, *command, "--threads", "1", "--quiet", *args], capture_output=True,
                       text=True, timeout=TIMEOUT)
    if check and p.returncode != 0:
        name = " ".join(["vl-eval", *command])
        raise AssertionError(f"{name} {args} exited {p.returncode}:\n{p.stdout}\n{p.stderr}")
    return p


def one_word(i, k):
    return WORDS[(i + k * 5) % len(WORDS)]


def one_to_four_words(i, k):
    return " ".join(WORDS[(i + k * 5 + j) % len(WORDS)] for j in range(1 + (i + k) % 4))


def write_items(name, n, answer=one_word):
    """n generic items t0.. with four answers answer(i, k); groups of three
    share a passage, all share a start."""
    path = scratch(name)
    with open(path, "w") as f:
        for i in range(n):
            passage = " ".join(WORDS[(i // 3 + k) % len(WORDS)] for k in range(10))
            question = " ".join(WORDS[(i * 7 + k) % len(WORDS)] for k in range(4))
            f.write(json.dumps({"id": f"t{i}", "context": f"Once upon a time. {passage}. {question}",
                                "choices": [answer(i, k) for k in range(4)], "answer": i % 4}) + "\n")
    return path


def llama_perplexity(text_path, ctx, *extra, chunks=None):
    """llama-perplexity on text_path with a context of ctx, one thread, and
    its (stdout, stdout + stderr). Writing into pipes it often loses the end
    of its output at exit on a busy machine; unbuffered streams keep it, and
    a run that lost it anyway (fewer than chunks running values, or no final
    estimate) is run again, up to three times."""
    unbuffered = ["stdbuf", "-o0", "-e0"] if shutil.which("stdbuf") else []
    for _ in range(3):
        p = subprocess.run(unbuffered + ["llama-perplexity", "-m", STORIES, "-f", text_path, "-c", ctx,
                                         "-t", "1", *extra],
                           capture_output=True, text=True, timeout=TIMEOUT,
                           env=dict(os.environ, GGML_NO_BACKTRACE="1"))
        if p.returncode != 0:
            raise AssertionError(f"llama-perplexity exited {p.returncode}:\n{p.stderr[-3000:]}")
        values = p.stdout.count("]") if chunks is not None else None
        if "Final estimate" in p.stdout + p.stderr and (chunks is None or values >= chunks):
            break
    return p.stdout, p.stdout + p.stderr
