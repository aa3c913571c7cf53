"""Each kind of call gives exactly what the same call made directly through
the C interface gives, on a runtime opened the same way."""

from __future__ import annotations

import ctypes

import numpy as np
import pytest
from conftest import SMALL, ids

import vorlenta_llama_shim as vl
from vorlenta_llama_shim._capi import Config, lib

PROMPT, SUFFIX, CANDIDATES = ids(300, 12), ids(400, 5), [5, 17, 300, 301, 640]


@pytest.fixture(scope="module")
def c(chatml_path: str):
    """Calls an export by hand on its own runtime, with ctypes arrays: c.name(args)."""
    config = Config(SMALL["n_ctx"], SMALL["n_batch"], SMALL["n_seq_max"], 0, SMALL["threads"], 0)
    err = ctypes.create_string_buffer(256)
    handle = lib.vl_llama_open(chatml_path.encode(), ctypes.byref(config), err, 256)
    assert handle, err.value

    class Calls:
        def __getattr__(self, name: str):
            def call(*args):
                status = getattr(lib, "vl_llama_" + name)(handle, *args, err, 256)
                assert status >= 0, err.value
                return status
            return call

    yield Calls()
    lib.vl_llama_close(handle)


def u32(values):
    return (ctypes.c_uint32 * max(len(values), 1))(*values)


def flat(runs):
    offsets = [0]
    for run in runs:
        offsets.append(offsets[-1] + len(run))
    return u32([t for run in runs for t in run]), (ctypes.c_size_t * len(offsets))(*offsets)


def same(values, expected) -> None:
    assert values.dtype == np.float32 and values.flags.writeable
    np.testing.assert_array_equal(values, np.array(expected[: len(values)], dtype=np.float32))


def test_text(rt: vl.Runtime, c):
    prompt = rt.encode_chat("You are terse.", "Capital of France?", "Par")
    n = c.encode_chat(b"You are terse.", b"Capital of France?", b"Par", None, 0)
    out = (ctypes.c_uint32 * n)()
    c.encode_chat(b"You are terse.", b"Capital of France?", b"Par", out, n)
    assert prompt.dtype == np.uint32 and prompt.tolist() == list(out)
    text = ctypes.create_string_buffer(4096)
    length = c.decode_tokens(out, n, text, len(text))
    assert rt.decode(prompt) == text.raw[:length].decode("utf-8") and rt.decode([]) == ""


def test_next_token_logits(rt: vl.Runtime, c):
    out = (ctypes.c_float * 5)()
    # Ids as numpy arrays of other integer types, and as plain lists.
    got = rt.score_next(np.array(PROMPT, dtype=np.int64), CANDIDATES)
    c.score_next(u32(PROMPT), len(PROMPT), u32(CANDIDATES), 5, out)
    same(got, out)

    rt.prefill(np.array(PROMPT, dtype=np.uint16))
    c.prefill_shared(u32(PROMPT), len(PROMPT))
    for suffix in (SUFFIX, []):
        got = rt.score_suffix(suffix, CANDIDATES)
        c.score_suffix(u32(suffix), len(suffix), u32(CANDIDATES), 5, out)
        same(got, out)


def test_batches_split_per_task(rt: vl.Runtime, c):
    suffixes, prompts = [SUFFIX, [], ids(500, 2)], [PROMPT, ids(200, 3), ids(250, 7)]
    candidates = [CANDIDATES, [7, 8], ids(100, 4)]
    out = (ctypes.c_float * 11)()
    rt.prefill(PROMPT)
    c.prefill_shared(u32(PROMPT), len(PROMPT))
    got = rt.score_suffix_batch(list(zip(suffixes, candidates)))
    c.score_suffix_batch(*flat(suffixes), *flat(candidates), 3, out)
    assert [len(g) for g in got] == [5, 2, 4]
    same(np.concatenate(got), out)

    got = rt.score_root_batch(zip(prompts, candidates))
    c.score_root_batch(*flat(prompts), *flat(candidates), 3, out)
    assert [len(g) for g in got] == [5, 2, 4]
    same(np.concatenate(got), out)


def test_sequence_log_probabilities(rt: vl.Runtime, c):
    codebook = [[300, 301, 302], [300, 310], [17], np.array([5, 6, 7, 8], dtype=np.int32)]
    out = (ctypes.c_float * 4)()
    got = rt.score_sequences(PROMPT, codebook)
    c.score_sequences(u32(PROMPT), len(PROMPT), *flat([list(map(int, r)) for r in codebook]), 4, out)
    same(got, out)
    assert np.all(got < 0)

    rt.prefill(PROMPT)
    c.prefill_shared(u32(PROMPT), len(PROMPT))
    got = rt.score_suffix_sequences(SUFFIX, np.array([[1, 2], [3, 4]]))
    c.score_suffix_sequences(u32(SUFFIX), len(SUFFIX), *flat([[1, 2], [3, 4]]), 2, out)
    same(got, out)


def test_real_model_matches_its_published_logits(stories: vl.Runtime):
    # "Once upon a time, there was a little" and its two likeliest next tokens,
    # " g" and " b", with the logits llama.cpp gives (shared models' README).
    story = [1, 403, 407, 261, 378, 432, 383, 286, 261, 376]
    np.testing.assert_allclose(stories.score_next(story, [298, 268]), [16.9515, 16.1089], atol=1e-3)
    assert len(stories.encode_chat("You are terse.", "Say hi.")) == 76
    assert stories.description == "llama ?B (guessed) all F32"
    caps = stories.capabilities
    assert caps.shared_prefix and caps.sequence_scores and caps.max_parallel_tasks == 3


def test_tokenize_gives_the_vocabularys_ids_with_and_without_the_start_token(stories):
    text = "Once upon a time, there was a little"
    ids = [1, 403, 407, 261, 378, 432, 383, 286, 261, 376]
    assert stories.tokenize(text).tolist() == ids
    assert stories.tokenize(text, add_special=False).tolist() == ids[1:]
    assert stories.tokenize("<s>", add_special=False, parse_special=True).tolist() == [1]
    assert stories.tokenize("", add_special=False).tolist() == []
    with pytest.raises(TypeError):
        stories.tokenize(b"Once")


def test_model_facts_token_pieces_and_a_reconfigured_runtime(chatml_path: str, stories: vl.Runtime):
    # The start token is what tokenizing with the special tokens puts first.
    assert stories.start_token == stories.tokenize("Once", add_special=True)[0]
    assert stories.end_token is None and stories.n_vocab > 0 and stories.n_ctx_train > 0
    assert stories.token_piece(stories.start_token) == "<s>"
    assert stories.decode([stories.start_token]) == ""
    with pytest.raises(vl.Error, match="token id exceeds vocabulary size"):
        stories.token_piece(stories.n_vocab)

    # Opened small, then given the window of another runtime: the same logits.
    with vl.Runtime(chatml_path, n_ctx=64, n_batch=64, threads=1) as small, \
            vl.Runtime(chatml_path, **SMALL) as reference:
        assert small.has_chat_template
        small.reconfigure(**SMALL)
        assert small.capabilities == reference.capabilities
        assert small.score_next(PROMPT, CANDIDATES).tobytes() == \
            reference.score_next(PROMPT, CANDIDATES).tobytes()
        with pytest.raises(vl.Error, match="llama_init_from_model failed"):
            small.reconfigure(n_ctx=64, n_batch=2, n_seq_max=8)
        assert small.capabilities == reference.capabilities
