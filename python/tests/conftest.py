"""Paths of the library and models the tests use, and shared runtimes.

ctest passes them by environment; run by hand from the checkout, the plain
build's library and fixtures and ../shared/models are the defaults.
"""

from __future__ import annotations

import os
import pathlib
from typing import Iterator, List

import pytest

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
os.environ.setdefault(
    "VL_LLAMA_SHIM_LIBRARY", str(CHECKOUT / "build/plain/libvorlenta_llama_shim.so")
)
FIXTURE_DIR = pathlib.Path(os.environ.get("VL_FIXTURE_DIR", CHECKOUT / "build/plain/fixtures"))
SHARED_MODELS = pathlib.Path(
    os.environ.get("VL_SHARED_MODELS_DIR", CHECKOUT.parent / "shared/models")
)

import vorlenta_llama_shim as vl  # noqa: E402  (after the library path is known)

# A small window, four sequences (so every batch scorer can run) and one thread.
SMALL = dict(n_ctx=512, n_batch=512, n_seq_max=4, threads=1)


@pytest.fixture(scope="session")
def chatml_path() -> str:
    path = FIXTURE_DIR / "chatml.gguf"
    assert path.is_file(), "the fixture model %s is missing: build the plain flavour" % path
    return str(path)


@pytest.fixture(scope="session")
def stories_path() -> str:
    path = SHARED_MODELS / "stories260K-chatml.gguf"
    if not path.is_file():
        pytest.skip("%s is absent (the shared folder sits beside the checkout)" % path)
    return str(path)


@pytest.fixture(scope="session")
def rt(chatml_path: str) -> Iterator[vl.Runtime]:
    with vl.Runtime(chatml_path, **SMALL) as runtime:
        yield runtime


@pytest.fixture(scope="session")
def stories(stories_path: str) -> Iterator[vl.Runtime]:
    with vl.Runtime(stories_path, **SMALL) as runtime:
        yield runtime


def vocab_size(runtime: vl.Runtime) -> int:
    """The smallest id the model cannot detokenize, found by bisection."""
    lo, hi = 1, 1 << 24
    while lo < hi:
        mid = (lo + hi) // 2
        try:
            runtime.decode([mid])
            lo = mid + 1
        except vl.Error:
            hi = mid
    return lo


def ids(start: int, n: int) -> List[int]:
    return list(range(start, start + n))
