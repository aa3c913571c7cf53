"""Runs of the evaluation harness's command line on the task files in
tasks/, and a runtime of the same model for direct library calls.

ctest passes the library, vl-eval and the shared models by environment;
run by hand from the checkout, the plain build's and ../shared/models are
the defaults. The harness runs offline: its tasks read only local files.
"""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
from typing import Any, Dict, Iterator, List

import pytest

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
os.environ.setdefault(
    "VL_LLAMA_SHIM_LIBRARY", str(CHECKOUT / "build/plain/libvorlenta_llama_shim.so")
)
VL_EVAL = os.environ.get("VL_EVAL", str(CHECKOUT / "build/plain/tools/eval/vl-eval"))
SHARED_MODELS = pathlib.Path(
    os.environ.get("VL_SHARED_MODELS_DIR", CHECKOUT.parent / "shared/models")
)
FIXTURE_DIR = pathlib.Path(os.environ.get("VL_FIXTURE_DIR", CHECKOUT / "build/plain/fixtures"))
TASKS = pathlib.Path(__file__).resolve().parent / "tasks"
MODEL = SHARED_MODELS / "stories260K.gguf"
# One thread and a small window, as the other tests of the package run.
RUNTIME = dict(n_ctx=512, n_seq_max=4, threads=1)
MODEL_ARGS = "model=%s,%s" % (MODEL, ",".join("%s=%d" % kv for kv in RUNTIME.items()))

import vorlenta_llama_shim as vl  # noqa: E402  (after the library path is known)


def harness(tmp: pathlib.Path, *args: str, tasks: pathlib.Path = TASKS) -> subprocess.CompletedProcess:
    """python3 -m vorlenta_llama_shim.harness ARGS with the task files of
    tasks, from that folder, offline, with the harness's data cache under tmp."""
    env = dict(os.environ)
    env.update(HF_DATASETS_OFFLINE="1", HF_HUB_OFFLINE="1", HF_HOME=str(tmp / "hf"))
    return subprocess.run(
        [sys.executable, "-m", "vorlenta_llama_shim.harness", "--include_path", str(tasks), *args],
        cwd=tasks, env=env, capture_output=True, text=True, timeout=600,
    )


def read_run(output: pathlib.Path) -> Dict[str, Any]:
    """The results file and the logged samples (by task) of one run."""
    results = sorted(output.rglob("results_*.json"))
    assert len(results) == 1, "expected one results file under %s" % output
    run: Dict[str, Any] = {"results": json.loads(results[0].read_text())["results"], "samples": {}}
    for path in output.rglob("samples_*.jsonl"):
        task = path.name[len("samples_") :].rsplit("_", 1)[0]
        run["samples"][task] = [json.loads(line) for line in path.read_text().splitlines()]
    return run


@pytest.fixture(scope="session")
def model_path() -> str:
    assert MODEL.is_file(), "%s is missing (the shared folder sits beside the checkout)" % MODEL
    return str(MODEL)


@pytest.fixture(scope="session")
def run_dir(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    return tmp_path_factory.mktemp("harness")


@pytest.fixture(scope="session")
def scored_run(model_path: str, run_dir: pathlib.Path) -> Dict[str, Any]:
    """One run of the three scoring tasks, samples logged, requests cached."""
    done = harness(
        run_dir, "--model", "vorlenta", "--model_args", MODEL_ARGS,
        "--tasks", "vl_mc,vl_greedy,vl_rolling", "--output_path", str(run_dir / "out"),
        "--log_samples", "--use_cache", str(run_dir / "cache"),
    )
    assert done.returncode == 0, done.stderr[-4000:]
    run = read_run(run_dir / "out")
    run["stdout"] = done.stdout
    return run


@pytest.fixture(scope="session")
def stories(model_path: str) -> Iterator[vl.Runtime]:
    with vl.Runtime(model_path, **RUNTIME) as runtime:
        yield runtime


def jsonl(name: str) -> List[Dict[str, Any]]:
    return [json.loads(line) for line in (TASKS / name).read_text().splitlines() if line.strip()]
