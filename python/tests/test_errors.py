"""How failures reach the caller: the library's messages, memory exhaustion,
inputs refused before any call, and closed runtimes."""

from __future__ import annotations

import gc

import numpy as np
import pytest
from conftest import SMALL, ids

import vorlenta_llama_shim as vl
from vorlenta_llama_shim import _capi

PROMPT = ids(300, 8)


def test_library_failures_carry_its_message_exactly(rt: vl.Runtime, chatml_path: str, tmp_path):
    with pytest.raises(vl.Error) as e:
        vl.Runtime(str(tmp_path / "missing.gguf"), threads=1)
    assert str(e.value) == "llama_model_load_from_file failed"
    assert isinstance(e.value, RuntimeError)

    with pytest.raises(vl.Error) as e:
        rt.decode([10**6])
    assert str(e.value) == "llama_detokenize failed"
    # The largest id the package lets through reaches the library, which refuses it.
    with pytest.raises(vl.Error) as e:
        rt.score_next([5, 2**32 - 1], [5, 6])
    assert str(e.value) == "token id exceeds llama.cpp range"
    # The runtime goes on working.
    assert rt.score_next(PROMPT, [5, 6]).shape == (2,)


def test_a_failure_without_a_message_is_memory_error(rt: vl.Runtime, monkeypatch):
    def exhausted(*args):
        return -1  # as the library does when memory runs out: nothing in err

    monkeypatch.setattr(_capi.lib, "vl_llama_score_next", exhausted)
    with pytest.raises(MemoryError):
        rt.score_next(PROMPT, [5, 6])


@pytest.fixture
def no_library_calls(monkeypatch):
    """Makes every scoring and text export fail the test if it is reached."""
    def reached(*args):
        raise AssertionError("the library was called")

    for name in _capi.SIGNATURES:
        if name not in ("vl_llama_abi_version", "vl_llama_open", "vl_llama_close") and "supported" not in name:
            monkeypatch.setattr(_capi.lib, name, reached)


@pytest.mark.parametrize(
    "bad, error",
    [
        ([5, -1], ValueError),
        ([5, 2**32], ValueError),
        ([5, 6.0], ValueError),
        ([5, True], ValueError),
        (np.array([5, -1], dtype=np.int64), ValueError),
        (np.array([-(2**31), 5], dtype=np.int32), ValueError),
        (np.array([5.0, 6.0]), ValueError),
        (np.array([[5, 6]]), ValueError),
        (np.array([5, 2**40], dtype=np.uint64), ValueError),
        ("56", TypeError),
    ],
)
def test_bad_ids_are_refused_before_the_library_is_called(rt: vl.Runtime, no_library_calls, bad, error):
    with pytest.raises(error, match="candidates"):
        rt.score_next(PROMPT, bad)
    with pytest.raises(error, match=r"sequences\[1\]"):
        rt.score_sequences(PROMPT, [[5], bad])
    with pytest.raises(error, match=r"candidates\[0\]"):
        rt.score_root_batch([(PROMPT, bad), (PROMPT, [5, 6])])


def test_bad_structure_and_text_are_refused_before_the_library_is_called(
    rt: vl.Runtime, no_library_calls, chatml_path: str
):
    with pytest.raises(ValueError, match=r"tasks\[1\]"):
        rt.score_suffix_batch([([1], [5, 6]), [1, 2, 3]])
    with pytest.raises(ValueError, match="NUL"):
        rt.encode_chat("You are terse.", "Say\0 hi.")
    with pytest.raises(TypeError):
        rt.encode_chat(None, b"Say hi.")  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="n_ctx is 2147483648, outside the 32-bit range"):
        vl.Runtime(chatml_path, n_ctx=2**31)
    with pytest.raises(ValueError, match="n_gpu_layers is -2147483649, outside the 32-bit range"):
        vl.Runtime(chatml_path, n_gpu_layers=-(2**31) - 1)
    with pytest.raises(ValueError, match="NUL"):
        vl.Runtime(chatml_path + "\0.txt")
    with pytest.raises(ValueError, match="at least one answer"):
        rt.rank_answers("s", "u", [])
    with pytest.raises(TypeError, match=r"answers\[1\]"):
        rt.rank_answers("s", "u", ["a", 3])  # type: ignore[list-item]


def test_configuration_values_at_the_32_bit_limits_reach_the_library(chatml_path: str):
    # Both ends of int32 pass the package's check; the library takes a
    # negative layer count as "all layers".
    with vl.Runtime(chatml_path, **dict(SMALL, n_gpu_layers=-(2**31))) as runtime:
        assert runtime.score_next(PROMPT, [5, 6]).shape == (2,)
    with pytest.raises(vl.Error):
        vl.Runtime(chatml_path, **dict(SMALL, n_ctx=2**31 - 1))


def test_closed_runtime_refuses_every_call(chatml_path: str):
    with vl.Runtime(chatml_path, **SMALL) as runtime:
        assert not runtime.closed
    assert runtime.closed and "closed" in repr(runtime)
    runtime.close()  # idempotent
    calls = [
        lambda: runtime.capabilities,
        lambda: runtime.encode_chat(None, "hi"),
        lambda: runtime.score_next(PROMPT, [5, 6]),
        lambda: runtime.score_suffix_batch([([], [5, 6]), ([], [7, 8])]),
        lambda: runtime.rank_answers(None, "hi", ["a", "b"]),
    ]
    for call in calls:
        with pytest.raises(ValueError, match="the runtime is closed"):
            call()


def test_a_forgotten_runtime_is_freed_once(chatml_path: str, monkeypatch):
    closed = []
    real_close = _capi.lib.vl_llama_close

    def counting_close(handle):
        closed.append(1)
        real_close(handle)

    monkeypatch.setattr(_capi.lib, "vl_llama_close", counting_close)
    runtime = vl.Runtime(chatml_path, **SMALL)
    del runtime
    gc.collect()
    assert closed == [1]

    runtime = vl.Runtime(chatml_path, **SMALL)
    runtime.close()
    del runtime
    gc.collect()
    assert closed == [1, 1]
