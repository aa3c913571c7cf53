"""rank_answers against each answer scored on its own, and against
log-probabilities built token by token from next-token logits over the whole
vocabulary."""

from __future__ import annotations

import math
from typing import Sequence

import numpy as np
import pytest
from conftest import vocab_size

import vorlenta_llama_shim as vl
from vorlenta_llama_shim.ranking import shares

SYSTEM, USER = "You are terse.", "What is the capital of France?"
# Equal answers, and "Paris" a prefix of "Paris, France" in both models' tokens.
ANSWERS = ["Paris", "Lyon", "Paris, France", "Paris", "London"]


def reference_log_prob(runtime: vl.Runtime, prompt: Sequence[int], run: Sequence[int]) -> float:
    vocabulary = np.arange(vocab_size(runtime), dtype=np.uint32)
    context = list(prompt)
    total = 0.0
    for token in run:
        logits = runtime.score_next(context, vocabulary).astype(np.float64)
        top = logits.max()
        total += logits[token] - (top + math.log(np.exp(logits - top).sum()))
        context.append(token)
    return total


def is_prefix(a: Sequence[int], b: Sequence[int]) -> bool:
    return len(a) < len(b) and tuple(b[: len(a)]) == tuple(a)


@pytest.fixture(params=["rt", "stories"])
def runtime(request) -> vl.Runtime:
    return request.getfixturevalue(request.param)


def alone(runtime: vl.Runtime, prompt: Sequence[int], run: Sequence[int]) -> float:
    """log P(run) scored after the prompt beside one unrelated one-token run."""
    runtime.prefill(prompt)
    other = [run[0] + 1]
    return float(runtime.score_suffix_sequences([], [run, other])[0])


def test_ranks_equal_and_prefix_related_answers_exactly(runtime: vl.Runtime):
    ranked = runtime.rank_answers(SYSTEM, USER, ANSWERS)
    by_index = {r.index: r for r in ranked}
    # The prompt stays retained for further scoring.
    again = runtime.score_suffix_sequences([], [by_index[1].tokens, by_index[4].tokens])
    assert again.tolist() == [by_index[1].log_prob, by_index[4].log_prob]

    prompt = runtime.encode_chat(SYSTEM, USER).tolist()
    assert sorted(by_index) == list(range(len(ANSWERS)))
    assert [r.text for r in sorted(ranked, key=lambda r: r.index)] == ANSWERS
    runs = [by_index[i].tokens for i in range(len(ANSWERS))]
    assert is_prefix(runs[0], runs[2]), "the case needs one answer a prefix of another"

    for r in ranked:
        assert list(r.tokens) == runtime.encode_chat(SYSTEM, USER, r.text).tolist()[len(prompt):]
        assert r.log_prob == alone(runtime, prompt, r.tokens)
    assert by_index[0].log_prob == by_index[3].log_prob
    assert [r.log_prob for r in ranked] == sorted((r.log_prob for r in ranked), reverse=True)
    assert math.fsum(r.share for r in ranked) == pytest.approx(1.0)
    best = ranked[0]
    assert best.share == pytest.approx(best.probability / sum(r.probability for r in ranked))


def test_a_longer_answer_before_its_prefix_ranks_the_same(rt: vl.Runtime):
    prompt = rt.encode_chat(SYSTEM, USER).tolist()
    ranked = rt.rank_answers(SYSTEM, USER, ["Paris, France", "Lyon", "Paris"])
    by_index = {r.index: r for r in ranked}
    assert is_prefix(by_index[2].tokens, by_index[0].tokens)
    for r in ranked:
        assert r.log_prob == alone(rt, prompt, r.tokens)


def test_shares_of_widely_separated_log_probabilities():
    assert shares([0.0, -1000.0]) == [1.0, 0.0]
    assert shares([-1000.0, 0.0]) == [0.0, 1.0]
    low = shares([-1000.0, -1000.0 - math.log(3)])
    assert low == pytest.approx([0.75, 0.25], rel=1e-12)
    assert shares([-math.inf, -math.inf]) == [0.0, 0.0]
    assert shares([-math.inf, -2.0]) == [0.0, 1.0]


def test_log_probabilities_are_the_chain_of_next_token_probabilities(rt: vl.Runtime):
    # On the fixture, decoding a token alone or within a batch gives the same
    # logits, so the chain built from from-scratch decodes matches closely. (On
    # the trained model llama.cpp's arithmetic differs between the two by
    # thousandths of a logit.)
    prompt = rt.encode_chat(SYSTEM, USER).tolist()
    for r in rt.rank_answers(SYSTEM, USER, ANSWERS):
        assert r.log_prob == pytest.approx(reference_log_prob(rt, prompt, r.tokens), abs=1e-4)


def test_a_single_answer_is_scored_alone(rt: vl.Runtime):
    (only,) = rt.rank_answers(SYSTEM, USER, ["Lyon"])
    prompt = rt.encode_chat(SYSTEM, USER).tolist()
    assert only.share == 1.0
    assert only.log_prob == pytest.approx(reference_log_prob(rt, prompt, only.tokens), abs=1e-4)


def test_answers_that_do_not_continue_the_prompt_are_named(rt: vl.Runtime, monkeypatch):
    with pytest.raises(ValueError, match=r"answers\[1\] '' adds no tokens"):
        rt.rank_answers(SYSTEM, USER, ["Paris", ""])

    # A tokenizer that merges the answer's first characters into the prompt's
    # last token: here simulated by changing that token for one answer.
    real = rt.encode_chat

    def merging(system, user, assistant_prefix=None):
        ids = real(system, user, assistant_prefix)
        if assistant_prefix == "-merged":
            ids[len(real(system, user)) - 1] += 1
        return ids

    monkeypatch.setattr(rt, "encode_chat", merging)
    with pytest.raises(ValueError, match=r"answers\[2\] '-merged' changes how the prompt itself tokenizes"):
        rt.rank_answers(SYSTEM, USER, ["Paris", "Lyon", "-merged"])


def test_an_end_token_the_vocabulary_adds_is_not_part_of_an_answer(rt: vl.Runtime, monkeypatch):
    # A vocabulary that ends every text with its end token puts one after
    # the prompt and after prompt + answer; the answer is what lies between.
    expected = [(r.index, r.tokens, r.log_prob) for r in rt.rank_answers(SYSTEM, USER, ANSWERS)]
    end = 3
    encode_chat, tokenize = rt.encode_chat, rt.tokenize

    def encode_with_end(*args, **kwargs):
        return np.append(encode_chat(*args, **kwargs), np.uint32(end))

    def tokenize_with_end(text, *, add_special=True, parse_special=False):
        out = tokenize(text, add_special=add_special, parse_special=parse_special)
        return np.append(out, np.uint32(end)) if add_special else out

    monkeypatch.setattr(rt, "encode_chat", encode_with_end)
    monkeypatch.setattr(rt, "tokenize", tokenize_with_end)
    got = [(r.index, r.tokens, r.log_prob) for r in rt.rank_answers(SYSTEM, USER, ANSWERS)]
    assert got == expected
    assert all(end not in tokens for _, tokens, _ in got)
