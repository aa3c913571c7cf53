"""Each kind of call gives exactly what the same call made directly through
the C interface gives, on a runtime opened the same way."""

from __future__ import annotations

import ctypes
from typing import Iterator, List, Sequence, Tuple

import numpy as np
import pytest
from conftest import SMALL, ids

import vorlenta_llama_shim as vl
from vorlenta_llama_shim._capi import Config, lib

ERR_CAP = 256


class Raw:
    """A runtime driven by hand through the C interface, with ctypes arrays."""

    def __init__(self, path: str) -> None:
        config = Config(SMALL["n_ctx"], SMALL["n_batch"], SMALL["n_seq_max"], 0, SMALL["threads"], 0)
        self.err = ctypes.create_string_buffer(ERR_CAP)
        self.handle = lib.vl_llama_open(path.encode(), ctypes.byref(config), self.err, ERR_CAP)
        assert self.handle, self.err.value

    def ok(self, status: int) -> int:
        assert status >= 0, self.err.value
        return status

    @staticmethod
    def u32(values: Sequence[int]):
        return (ctypes.c_uint32 * max(len(values), 1))(*values)

    @staticmethod
    def flat(runs: Sequence[Sequence[int]]) -> Tuple[object, object, int]:
        tokens = [t for run in runs for t in run]
        offsets = [0]
        for run in runs:
            offsets.append(offsets[-1] + len(run))
        return Raw.u32(tokens), (ctypes.c_size_t * len(offsets))(*offsets), len(tokens)

    @staticmethod
    def floats(n: int):
        return (ctypes.c_float * n)()


@pytest.fixture(scope="module")
def raw(chatml_path: str) -> Iterator[Raw]:
    r = Raw(chatml_path)
    yield r
    lib.vl_llama_close(r.handle)


PROMPT = ids(300, 12)
CANDIDATES = [5, 17, 300, 301, 640]
SUFFIX = ids(400, 5)


def same(values, raw_out, n: int) -> None:
    assert isinstance(values, np.ndarray) and values.dtype == np.float32 and values.flags.writeable
    np.testing.assert_array_equal(values, np.array(raw_out[:n], dtype=np.float32))


def test_text_and_queries(rt: vl.Runtime, raw: Raw):
    prompt = rt.encode_chat("You are terse.", "Capital of France?", "Par")
    n = raw.ok(lib.vl_llama_encode_chat(raw.handle, b"You are terse.", b"Capital of France?", b"Par", None, 0, raw.err, ERR_CAP))
    out = (ctypes.c_uint32 * n)()
    raw.ok(lib.vl_llama_encode_chat(raw.handle, b"You are terse.", b"Capital of France?", b"Par", out, n, raw.err, ERR_CAP))
    assert prompt.dtype == np.uint32 and prompt.tolist() == list(out)

    text = ctypes.create_string_buffer(4096)
    length = raw.ok(lib.vl_llama_decode_tokens(raw.handle, out, n, text, len(text), raw.err, ERR_CAP))
    assert rt.decode(prompt) == text.raw[:length].decode("utf-8")
    assert rt.decode([]) == ""

    desc = ctypes.create_string_buffer(512)
    length = raw.ok(lib.vl_llama_model_desc(raw.handle, desc, len(desc), raw.err, ERR_CAP))
    assert rt.description == desc.value.decode() and len(rt.description) == length > 0

    caps = rt.capabilities
    assert caps == vl.Capabilities(
        lib.vl_llama_shared_prefix_supported(raw.handle) == 1,
        lib.vl_llama_sequence_scores_supported(raw.handle) == 1,
        lib.vl_llama_parallel_suffix_supported(raw.handle) == 1,
        lib.vl_llama_multi_root_supported(raw.handle) == 1,
        lib.vl_llama_max_parallel_tasks(raw.handle),
        lib.vl_llama_max_parallel_suffix_tokens(raw.handle),
        lib.vl_llama_max_multi_root_tasks(raw.handle),
        lib.vl_llama_max_multi_root_tokens(raw.handle),
    )
    assert caps.parallel_suffix and caps.max_parallel_tasks == 3 and caps.max_multi_root_tasks == 4


def test_next_token_logits(rt: vl.Runtime, raw: Raw):
    # Ids as numpy arrays of other integer types, and as plain lists.
    got = rt.score_next(np.array(PROMPT, dtype=np.int64), CANDIDATES)
    out = raw.floats(len(CANDIDATES))
    raw.ok(lib.vl_llama_score_next(raw.handle, raw.u32(PROMPT), len(PROMPT), raw.u32(CANDIDATES), len(CANDIDATES), out, raw.err, ERR_CAP))
    same(got, out, len(CANDIDATES))

    rt.prefill(np.array(PROMPT, dtype=np.uint16))
    raw.ok(lib.vl_llama_prefill_shared(raw.handle, raw.u32(PROMPT), len(PROMPT), raw.err, ERR_CAP))
    for suffix in (SUFFIX, []):
        got = rt.score_suffix(suffix, CANDIDATES)
        raw.ok(lib.vl_llama_score_suffix(raw.handle, raw.u32(suffix), len(suffix), raw.u32(CANDIDATES), len(CANDIDATES), out, raw.err, ERR_CAP))
        same(got, out, len(CANDIDATES))


def test_batches_split_per_task(rt: vl.Runtime, raw: Raw):
    suffixes: List[List[int]] = [SUFFIX, [], ids(500, 2)]
    candidates = [CANDIDATES, [7, 8], ids(100, 4)]
    rt.prefill(PROMPT)
    got = rt.score_suffix_batch(list(zip(suffixes, candidates)))
    raw.ok(lib.vl_llama_prefill_shared(raw.handle, raw.u32(PROMPT), len(PROMPT), raw.err, ERR_CAP))
    s, s_off, _ = raw.flat(suffixes)
    c, c_off, n = raw.flat(candidates)
    out = raw.floats(n)
    raw.ok(lib.vl_llama_score_suffix_batch(raw.handle, s, s_off, c, c_off, 3, out, raw.err, ERR_CAP))
    assert [len(g) for g in got] == [5, 2, 4]
    same(np.concatenate(got), out, n)

    prompts = [PROMPT, ids(200, 3), ids(250, 7)]
    got = rt.score_root_batch(zip(prompts, candidates))
    p, p_off, _ = raw.flat(prompts)
    raw.ok(lib.vl_llama_score_root_batch(raw.handle, p, p_off, c, c_off, 3, out, raw.err, ERR_CAP))
    assert [len(g) for g in got] == [5, 2, 4]
    same(np.concatenate(got), out, n)


def test_sequence_log_probabilities(rt: vl.Runtime, raw: Raw):
    codebook = [[300, 301, 302], [300, 310], [17], np.array([5, 6, 7, 8], dtype=np.int32)]
    plain = [list(map(int, run)) for run in codebook]
    t, off, _ = raw.flat(plain)
    out = raw.floats(4)

    got = rt.score_sequences(PROMPT, codebook)
    raw.ok(lib.vl_llama_score_sequences(raw.handle, raw.u32(PROMPT), len(PROMPT), t, off, 4, out, raw.err, ERR_CAP))
    same(got, out, 4)
    assert np.all(got < 0)

    rt.prefill(PROMPT)
    raw.ok(lib.vl_llama_prefill_shared(raw.handle, raw.u32(PROMPT), len(PROMPT), raw.err, ERR_CAP))
    got = rt.score_suffix_sequences(SUFFIX, np.array([[1, 2], [3, 4]]))
    t2, off2, _ = raw.flat([[1, 2], [3, 4]])
    raw.ok(lib.vl_llama_score_suffix_sequences(raw.handle, raw.u32(SUFFIX), len(SUFFIX), t2, off2, 2, out, raw.err, ERR_CAP))
    same(got, out, 2)


def test_real_model_matches_its_published_logits(stories: vl.Runtime):
    # "Once upon a time, there was a little" and its two likeliest next tokens,
    # " g" and " b", with the logits llama.cpp gives (shared models' README).
    story = [1, 403, 407, 261, 378, 432, 383, 286, 261, 376]
    logits = stories.score_next(story, [298, 268])
    np.testing.assert_allclose(logits, [16.9515, 16.1089], atol=1e-3)
    assert len(stories.encode_chat("You are terse.", "Say hi.")) == 76
