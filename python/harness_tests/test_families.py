"""The harness model on every real family the build made a fixture model of
(families.tsv beside the fixtures), against log-probabilities computed here
from the raw logits of the whole vocabulary in double precision; and what it
does where a vocabulary adds no start token, where a continuation merges into
its context, with a rolling text, and with the window it opens by default."""

from __future__ import annotations

import pathlib
from typing import Iterator, List, Sequence, Tuple

import numpy as np
import pytest
from conftest import FIXTURE_DIR

import vorlenta_llama_shim as vl
from lm_eval import utils as harness_utils
from lm_eval.api.instance import Instance
from vorlenta_llama_shim.harness import HarnessModel


def _families() -> List[str]:
    listing = FIXTURE_DIR / "families.tsv"
    if not listing.is_file():
        return []
    return [line.split("\t", 1)[0] for line in listing.read_text(encoding="utf-8").splitlines() if "\t" in line]


# Scores computed by other decodes differ in float32's last bits.
TOLERANCE = 1e-3


@pytest.fixture(scope="module", params=_families() or [None])
def family(request) -> Iterator[Tuple[str, str, vl.Runtime]]:
    if request.param is None:
        pytest.skip("the build found no ggml-vocab-*.gguf in the shared models folder")
    path = str(FIXTURE_DIR / ("family-%s-q8_0.gguf" % request.param))
    with vl.Runtime(path, n_ctx=512, n_batch=512, threads=1) as runtime:
        yield request.param, path, runtime


def requests(kind: str, args: Sequence[Tuple[str, ...]]) -> List[Instance]:
    return [Instance(request_type=kind, doc={}, arguments=a, idx=i) for i, a in enumerate(args)]


def log_prob(rt: vl.Runtime, context: Sequence[int], run: Sequence[int]) -> float:
    """log P(run | context) from the raw logits of every vocabulary entry
    after each prefix, the log-softmax taken in double precision."""
    every_id = np.arange(rt.n_vocab, dtype=np.uint32)
    total = 0.0
    for j, token in enumerate(run):
        row = rt.score_next(list(context) + list(run[:j]), every_id).astype(np.float64)
        top = row.max()
        total += row[token] - top - np.log(np.exp(row - top).sum())
    return total


def test_loglikelihood_and_an_empty_context(family):
    _, path, rt = family
    model = HarnessModel(model=path, threads=1)
    args = [("The capital of France is", " Paris"), ("", "Paris is big"), ("  ", "Tom")]
    got = model.loglikelihood(requests("loglikelihood", args))
    context = rt.tokenize("The capital of France is").tolist()
    whole = rt.tokenize("The capital of France is Paris").tolist()
    assert got[0][0] == pytest.approx(log_prob(rt, context, whole[len(context) :]), abs=TOLERANCE)
    # An empty context is conditioned on the vocabulary's start-of-text id,
    # else its end-of-text id, whether or not tokenizing adds it (the harness's
    # HF model's prefix token): Qwen2's <|endoftext|>, which it never adds.
    prefix = rt.bos_token if rt.bos_token is not None else rt.eos_token
    assert model.prefix_token_id == prefix
    text = rt.tokenize("Paris is big", add_special=False).tolist()
    assert got[1][0] == pytest.approx(log_prob(rt, [prefix], text), abs=TOLERANCE)
    spaced = rt.tokenize("  Tom", add_special=False).tolist()
    assert got[2][0] == pytest.approx(log_prob(rt, [prefix], spaced), abs=TOLERANCE)


def test_a_continuation_merging_into_its_context_is_refused(family):
    _, path, rt = family
    # " park" is one token in these vocabularies: tokenized together, "k"
    # adds no token to "Lily went to the par".
    context, continuation = "Lily went to the par", "k"
    alone = rt.tokenize(context).tolist()
    merged = rt.tokenize(context + continuation).tolist()
    if len(merged) > len(alone):
        pytest.skip("the vocabulary does not merge 'par' and 'k'")
    model = HarnessModel(model=path, threads=1)
    with pytest.raises(ValueError, match=r"request 1: the continuation 'k' adds no token of its own.*merges"):
        model.loglikelihood(requests("loglikelihood", [("Lily went to the", " park"), (context, continuation)]))
    with pytest.raises(ValueError, match=r"request 0: the continuation '' adds no token of its own.*empty"):
        model.loglikelihood(requests("loglikelihood", [("", "")]))


def test_rolling_windows_are_the_harness_windows_over_the_text_alone(family):
    _, path, rt = family
    model = HarnessModel(model=path, threads=1, max_length=16)
    text = " ".join(["One day a little girl named Lily found a needle in her room."] * 3)
    ids = rt.tokenize(text, add_special=False).tolist()
    assert len(ids) > 32
    want = list(
        map(
            harness_utils.make_disjoint_window,
            harness_utils.get_rolling_token_windows(
                token_list=ids, prefix_token=model.prefix_token_id, max_seq_len=16, context_len=1
            ),
        )
    )
    assert model.rolling_windows(text) == want
    # The harness's HF model tokenizes with the tokenizer's defaults: where
    # they add a start token, its first window would score that start token
    # after the prefix token, the same token. Ours scores the text alone.
    if rt.start_token is not None:
        hf = next(
            harness_utils.get_rolling_token_windows(
                token_list=rt.tokenize(text).tolist(), prefix_token=model.prefix_token_id,
                max_seq_len=16, context_len=1,
            )
        )
        assert hf[0][0] == hf[1][0] == rt.start_token
    (got,) = model.loglikelihood_rolling(requests("loglikelihood_rolling", [(text,)]))
    expected = sum(log_prob(rt, context, run) for context, run in want)
    assert got == pytest.approx(expected, abs=4 * TOLERANCE)


def test_the_default_window_is_sized_to_the_requests_within_the_trained_length(family):
    _, path, rt = family
    model = HarnessModel(model=path, threads=1)
    # As the harness's HF model: requests are cut to the trained length.
    assert model.max_length == rt.n_ctx_train
    assert model.max_length != 2048 or rt.n_ctx_train == 2048
    story = " ".join(["The little dog ran to the park and played with a red ball."] * 12)
    context = rt.tokenize(story).tolist()
    assert 100 < len(context) < 400
    model.loglikelihood(requests("loglikelihood", [(story, " The end."), ("A", " b")]))
    # The window holds the longest request (cut to max_length), not the
    # trained length: the capacities the runtime reports are the new window's.
    window = model._runtime.capabilities.max_multi_root_tokens
    assert min(len(context), model.max_length) <= window < len(context) + 16
    explicit = HarnessModel(model=path, threads=1, n_ctx=256)
    assert explicit.max_length == 256
    with pytest.raises(ValueError, match="max_length=300 exceeds n_ctx=256"):
        HarnessModel(model=path, n_ctx=256, max_length=300)


def test_generation_gets_a_window_for_its_prompts_and_new_tokens(family):
    _, path, rt = family
    model = HarnessModel(model=path, threads=1, n_seq_max=3)
    story = " ".join(["The little dog ran to the park and played with a red ball."] * 24)
    prompt = rt.tokenize(story, add_special=True).tolist()
    assert len(prompt) > 256  # longer than the window opened only to tokenize
    limit = 6
    args = [(story, {"until": ["\n\n"], "max_gen_toks": limit}), ("The cat", {"until": ["\n\n"], "max_gen_toks": limit})]
    texts = model.generate_until(requests("generate_until", args))
    assert len(texts) == 2 and all(isinstance(t, str) for t in texts)
    # Room for the longest prompt and its new tokens, beside the other
    # sequence where max_length allows, never past it.
    window = model._runtime.capabilities.max_multi_root_tokens
    assert len(prompt) + limit - 1 <= window <= max(model.max_length, len(prompt) + limit - 1)
