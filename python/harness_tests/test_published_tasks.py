"""The harness's own definitions of HellaSwag, ARC-Easy, MMLU and
Winogrande, as installed with lm_eval (their YAML, process_docs and
templates), run over local copies of handmade items in the published
layouts, zero-shot and few-shot, against vl-eval on the same files: item by
item the same prompt and answer texts, and the same picks for acc and
acc_norm.

The hub is out of reach, so each task is a YAML file of ours that includes
the harness's and changes only where the data comes from.
"""

from __future__ import annotations

import json
import pathlib
import re
import subprocess
from typing import Any, Dict, List, Sequence, Tuple

import numpy as np
import pytest
from conftest import MODEL, VL_EVAL, harness, read_run

import lm_eval.tasks
import vorlenta_llama_shim as vl

PUBLISHED = pathlib.Path(__file__).resolve().parent / "published"
HARNESS_TASKS = pathlib.Path(lm_eval.tasks.__file__).resolve().parent
# The harness's model and vl-eval score in different batch layouts, so a
# log-probability may differ in float32's last bits (see test_harness.py):
# only picks that no such difference can turn are compared.
TOLERANCE = 1.5e-2
# A window that holds the longest few-shot prompt, and one thread.
RUNTIME = dict(n_ctx=1024, n_seq_max=4, threads=1)
MODEL_ARGS = "model=%s,%s" % (MODEL, ",".join("%s=%d" % kv for kv in RUNTIME.items()))
SHOTS = 3


class Task:
    """One task of the harness over local files, and vl-eval's view of it."""

    def __init__(self, name: str, harness_yaml: str, splits: Dict[str, str], evaluated: str,
                 fewshot_split: str, vl_format: str, metrics: Sequence[str], subject: str = "",
                 extra: Dict[str, Any] | None = None):
        self.name = name
        self.harness_yaml = HARNESS_TASKS / harness_yaml
        self.splits = splits  # split -> file of published/
        self.evaluated = evaluated  # the split the harness evaluates
        self.fewshot_split = fewshot_split
        self.vl_format = vl_format
        self.metrics = metrics
        self.subject = subject  # MMLU: the subject's items only
        self.extra = extra or {}

    def items(self, split: str) -> List[Dict[str, Any]]:
        rows = [json.loads(line) for line in (PUBLISHED / self.splits[split]).read_text().splitlines()]
        return [r for r in rows if not self.subject or r["subject"] == self.subject]

    def write(self, folder: pathlib.Path) -> None:
        """The task's YAML and its data files (one subject's, for MMLU)."""
        data_files = {}
        for split in self.splits:
            path = folder / ("%s_%s.jsonl" % (self.name, split))
            path.write_text("".join(json.dumps(r) + "\n" for r in self.items(split)))
            data_files[split] = str(path)
        config = {
            "include": str(self.harness_yaml),
            "task": self.name,
            "tag": [],
            "dataset_path": "json",
            "dataset_name": None,
            "dataset_kwargs": {"data_files": data_files},
            **self.extra,
        }
        # JSON is YAML: no quoting rules of our own to get wrong.
        (folder / ("%s.yaml" % self.name)).write_text(json.dumps(config, indent=1) + "\n")


TASKS = [
    Task("vl_own_hellaswag", "hellaswag/hellaswag.yaml",
         {"train": "hellaswag_train.jsonl", "validation": "hellaswag_validation.jsonl"},
         "validation", "train", "hellaswag", ("acc", "acc_norm")),
    Task("vl_own_arc_easy", "arc/arc_easy.yaml",
         {"train": "arc_easy_train.jsonl", "test": "arc_easy_test.jsonl"},
         "test", "train", "arc", ("acc", "acc_norm"), extra={"validation_split": None}),
    Task("vl_own_mmlu_anatomy", "mmlu/default/mmlu_anatomy.yaml",
         {"dev": "mmlu_dev.jsonl", "test": "mmlu_test.jsonl"},
         "test", "dev", "mmlu", ("acc",), subject="anatomy"),
    Task("vl_own_mmlu_astronomy", "mmlu/default/mmlu_astronomy.yaml",
         {"dev": "mmlu_dev.jsonl", "test": "mmlu_test.jsonl"},
         "test", "dev", "mmlu", ("acc",), subject="astronomy"),
    # A partial evaluation: each option fills the blank to make a context of
    # its own, and the text after the blank is scored after each.
    Task("vl_own_winogrande", "winogrande/default.yaml",
         {"train": "winogrande_train.jsonl", "validation": "winogrande_validation.jsonl"},
         "validation", "train", "winogrande", ("acc",)),
]


@pytest.fixture(scope="module")
def task_dir(tmp_path_factory) -> pathlib.Path:
    folder = tmp_path_factory.mktemp("own-tasks")
    for task in TASKS:
        task.write(folder)
    return folder


@pytest.fixture(scope="module", params=[0, SHOTS], ids=["0-shot", "%d-shot" % SHOTS])
def harness_run(request, task_dir, tmp_path_factory) -> Tuple[int, Dict[str, Any]]:
    """The harness's command line over every task, samples logged."""
    shots = request.param
    work = tmp_path_factory.mktemp("harness-%d" % shots)
    done = harness(
        work, "--model", "vorlenta", "--model_args", MODEL_ARGS,
        "--tasks", ",".join(t.name for t in TASKS), "--num_fewshot", str(shots),
        "--output_path", str(work / "out"), "--log_samples", tasks=task_dir,
    )
    assert done.returncode == 0, done.stderr[-4000:]
    return shots, read_run(work / "out")


@pytest.fixture(scope="module")
def stories() -> vl.Runtime:
    with vl.Runtime(str(MODEL), **RUNTIME) as runtime:
        yield runtime


@pytest.fixture(scope="module")
def vl_eval(tmp_path_factory):
    """vl-eval over a task's published files, once for each file and shot
    count: the records, summary and write-out of the task's items (its
    subject's, for MMLU)."""
    runs: Dict[Tuple[str, int], Tuple[List[Dict[str, Any]], Dict[str, Any], str]] = {}

    def run(task: Task, shots: int) -> Tuple[List[Dict[str, Any]], Dict[str, Any], List[Dict[str, Any]]]:
        key = (task.splits[task.evaluated], shots)
        if key not in runs:
            work = tmp_path_factory.mktemp("vl-eval")
            out, summary = work / "results.jsonl", work / "summary.json"
            args = [VL_EVAL, "-m", str(MODEL), "-t", str(PUBLISHED / task.splits[task.evaluated]),
                    "--format", task.vl_format, "--prompt", "raw", "--threads", "1", "-q",
                    "-o", str(out), "--summary", str(summary), "--write-out", "1000"]
            if shots:
                args += ["--fewshot", str(shots),
                         "--fewshot-from", str(PUBLISHED / task.splits[task.fewshot_split])]
            done = subprocess.run(args, capture_output=True, text=True, timeout=300)
            assert done.returncode == 0, done.stderr
            records = [json.loads(line) for line in out.read_text().splitlines()]
            runs[key] = ([r for r in records if "evaluation" not in r],
                         json.loads(summary.read_text()), done.stdout)
        records, summary, stdout = runs[key]
        written = written_items(stdout)
        if task.subject:
            records = [r for r in records if r["group"] == task.subject]
            summary = summary["groups"][task.subject]
            lines = {r["line"] for r in records}
            written = [w for w in written if w["line"] in lines]
        return records, summary, written

    return run


WRITTEN_ITEM = re.compile(
    r"=== item (?P<id>.*) \(line (?P<line>\d+)\) ===\n--- prompt \((?P<n>\d+) tokens\) ---\n"
    r"(?P<prompt>(?s:.*?))\n--- answers ---\n(?P<answers>(?:(?:\d| ).*\n)*)\n")
WRITTEN_ANSWER = re.compile(r"^\d+[ *] \".*\" \(\d+ tokens, \d+ characters\) (?P<pieces>\[.*\])$")
# An answer scored after the prompt and text of its own (Winogrande's option).
WRITTEN_GIVEN = re.compile(r"^   after the prompt and \".*\" (?P<pieces>\[.*\])$")


def written_items(stdout: str) -> List[Dict[str, Any]]:
    """--write-out's items: the prompt's text and token count, and each
    answer's pieces with the pieces it is scored after the prompt and."""
    items = []
    for m in WRITTEN_ITEM.finditer(stdout):
        answers = []
        for line in m.group("answers").splitlines():
            if a := WRITTEN_ANSWER.match(line):
                answers.append(dict(pieces=json.loads(a.group("pieces")), given=[]))
            elif g := WRITTEN_GIVEN.match(line):
                answers[-1]["given"] = json.loads(g.group("pieces"))
        items.append(dict(line=int(m.group("line")), n=int(m.group("n")), prompt=m.group("prompt"),
                          answers=answers))
    return items


def pieces(rt: vl.Runtime, ids: Sequence[int]) -> List[str]:
    return [rt.token_piece(int(t)) for t in ids]


def harness_tokens(rt: vl.Runtime, context: str, continuation: str) -> Tuple[List[int], List[int]]:
    """The context and continuation tokens as the harness's model makes them
    (the context's trailing whitespace moved to the continuation)."""
    stripped = context.rstrip()
    continuation = context[len(stripped):] + continuation
    whole = rt.tokenize(stripped + continuation).tolist()
    n = len(rt.tokenize(stripped))
    return whole[:n], whole[n:]


def clear_pick(scores: Sequence[float], divisors: Sequence[float]) -> int:
    """The pick, asserted to be one that a change of TOLERANCE in any
    log-probability cannot turn (the items are chosen so)."""
    scores = np.asarray(scores, dtype=float)
    divisors = np.asarray(divisors, dtype=float)
    best = int(np.argmax(scores / divisors))
    worst_case = (scores[best] - TOLERANCE) / divisors[best]
    others = np.delete((scores + TOLERANCE) / divisors, best)
    assert worst_case > others.max(), "a tie within the tolerance: choose other items"
    return best


@pytest.mark.parametrize("task", TASKS, ids=[t.name for t in TASKS])
def test_vl_eval_shows_the_harness_prompts_and_picks_its_answers(task, harness_run, vl_eval, stories):
    shots, run = harness_run
    samples = sorted(run["samples"][task.name], key=lambda s: s["doc_id"])
    records, summary, written = vl_eval(task, shots)
    assert len(samples) == len(records) == len(written) == len(task.items(task.evaluated))

    for sample, record, shown in zip(samples, records, written):
        where = "%s, %d-shot, item on line %d" % (task.name, shots, shown["line"])
        arguments = [(a["arg_0"], a["arg_1"]) for a in sample["arguments"].values()]
        assert len(shown["answers"]) == len(arguments), where
        # Each answer is scored after the harness's context (the prompt,
        # few-shot examples and all, and Winogrande's option) and is the
        # harness's continuation, token for token.
        for answer, (context, continuation) in zip(shown["answers"], arguments):
            context_ids, continuation_ids = harness_tokens(stories, context, continuation)
            assert shown["n"] + len(answer["given"]) == len(context_ids), where
            assert shown["prompt"] + "".join(answer["given"]) == "".join(pieces(stories, context_ids)), where
            assert answer["pieces"] == pieces(stories, continuation_ids), where

        lls = [float(lp) for ((lp, _),) in sample["resps"]]
        assert record["pick"]["acc"] == clear_pick(lls, [1.0] * len(lls)), where
        assert record["correct"]["acc"] == bool(sample["acc"]), where
        if "acc_norm" in task.metrics:
            choices = [c[1:] for _, c in arguments]  # without the target delimiter
            assert record["pick"]["acc_norm"] == clear_pick(lls, [len(c) for c in choices]), where
            assert record["correct"]["acc_norm"] == bool(sample["acc_norm"]), where

    for metric in task.metrics:
        assert summary["metrics"][metric]["value"] == pytest.approx(
            run["results"][task.name]["%s,none" % metric], abs=1e-12)
