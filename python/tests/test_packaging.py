"""The package as a user gets it: installed by pip without a network, and
the README's example run as written."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys

import pytest
from conftest import CHECKOUT

PACKAGE_DIR = CHECKOUT / "python"


def user_env(**extra: str):
    """The environment without the test's own path to the package."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(extra)
    return env


def test_pip_installs_the_package_offline(tmp_path):
    # A copy, so that the build leaves nothing in the checkout.
    source = tmp_path / "src"
    shutil.copytree(PACKAGE_DIR, source, ignore=shutil.ignore_patterns(
        "tests", "__pycache__", "build", "*.egg-info", "CMakeLists.txt"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)],
                   check=True, timeout=120)
    python = str(venv / "bin/python")
    install = subprocess.run(
        [python, "-m", "pip", "install", "--no-build-isolation", "--no-index",
         "--disable-pip-version-check", "--no-input", str(source)],
        env=user_env(), capture_output=True, text=True, timeout=300,
    )
    assert install.returncode == 0, install.stdout + install.stderr
    show = subprocess.run(
        [python, "-c", "import pathlib, vorlenta_llama_shim as vl; "
         "d = pathlib.Path(vl.__file__).parent; print(d); print((d / 'py.typed').is_file(), vl.ABI_VERSION)"],
        env=user_env(), cwd=str(tmp_path), capture_output=True, text=True, timeout=60,
    )
    assert show.returncode == 0, show.stderr
    where, typed = show.stdout.splitlines()
    assert where.startswith(str(venv)) and typed == "True 5"


def readme_example() -> str:
    text = (CHECKOUT / "README.md").read_text()
    section = text.split("\n## Python\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert len(blocks) == 1, "the Python section has one example"
    return blocks[0]


def test_the_readme_example_runs_as_written(tmp_path, chatml_path: str):
    code = readme_example()
    assert len(code.strip().splitlines()) <= 10
    script = tmp_path / "example.py"
    script.write_text(code)
    run = subprocess.run(
        [sys.executable, str(script), chatml_path],
        env=user_env(PYTHONPATH=str(PACKAGE_DIR)), capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert re.match(r"\d+ prompt tokens; \S", lines[0])
    rows = [line.split(None, 2) for line in lines[1:]]
    assert sorted(row[2] for row in rows) == ["Lyon", "Paris", "Paris, France"]
    assert sum(float(row[1].rstrip("%")) for row in rows) == pytest.approx(100.0, abs=0.2)
