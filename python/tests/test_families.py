"""The package on every real family the build made a fixture model of
(families.tsv beside the fixtures: llama.cpp's ggml-vocab-*.gguf files)."""

from __future__ import annotations

import pathlib
from typing import Dict, Iterator, List, Tuple

import numpy as np
import pytest

import vorlenta_llama_shim as vl
from conftest import FIXTURE_DIR, SMALL


def _families() -> List[Tuple[str, pathlib.Path]]:
    listing = FIXTURE_DIR / "families.tsv"
    if not listing.is_file():
        return []
    rows = [line.split("\t", 1) for line in listing.read_text(encoding="utf-8").splitlines() if "\t" in line]
    return [(name, pathlib.Path(vocabulary)) for name, vocabulary in rows]


FAMILIES = _families()
# What the shared models' README states of the four families it describes:
# (BOS, EOS, whether tokenizing adds the BOS).
KNOWN: Dict[str, Tuple[int, int, bool]] = {
    "qwen2": (151643, 151643, False),
    "llama-bpe": (128000, 128001, True),
    "llama-spm": (1, 2, True),
    "phi-3": (1, 32000, True),
}


@pytest.fixture(scope="module", params=FAMILIES or [None], ids=lambda f: f[0] if f else "none")
def family(request) -> Iterator[Tuple[str, pathlib.Path, vl.Runtime]]:
    if request.param is None:
        pytest.skip("the build found no ggml-vocab-*.gguf in the shared models folder")
    name, vocabulary = request.param
    with vl.Runtime(str(FIXTURE_DIR / ("family-%s-q8_0.gguf" % name)), **SMALL) as runtime:
        yield name, vocabulary, runtime


def _expected_tokenizations(vocabulary: pathlib.Path) -> List[Tuple[str, List[int]]]:
    inp, out = pathlib.Path(str(vocabulary) + ".inp"), pathlib.Path(str(vocabulary) + ".out")
    if not inp.is_file() or not out.is_file():
        return []
    texts = inp.read_bytes().decode("utf-8").split("\n__ggml_vocab_test__\n")[:-1]
    lines = out.read_text(encoding="utf-8").split("\n")
    return [(text, [int(t) for t in line.split()]) for text, line in zip(texts, lines)]


def test_tokenize_gives_llama_cpps_expected_ids(family):
    _, vocabulary, rt = family
    cases = _expected_tokenizations(vocabulary)
    if not cases:
        pytest.skip("%s has no .inp/.out beside it" % vocabulary)
    for text, ids in cases:
        assert rt.tokenize(text, add_special=False).tolist() == ids, text


def test_start_and_end_tokens_are_the_vocabularys_whether_added_or_not(family):
    name, _, rt = family
    bos, eos = rt.bos_token, rt.eos_token
    assert rt.prefix_token == (bos if bos is not None else eos)
    # The start token, when the vocabulary adds one, is its BOS.
    assert rt.start_token in (None, bos)
    for token in (bos, eos):
        if token is not None:
            assert 0 <= token < rt.n_vocab
            # A special token: its text parses back to it.
            assert rt.tokenize(rt.token_piece(token), add_special=False, parse_special=True).tolist() == [token]
    if name in KNOWN:
        known_bos, known_eos, adds = KNOWN[name]
        assert (bos, eos) == (known_bos, known_eos)
        assert rt.start_token == (known_bos if adds else None)
        assert rt.prefix_token == known_bos


def _log_prob(rt: vl.Runtime, context: List[int], run: List[int]) -> Tuple[float, bool]:
    """log P(run | context) and whether each token was the most probable,
    from the raw logits of the whole vocabulary after each prefix, with the
    log-softmax taken here in double precision."""
    every_id = np.arange(rt.n_vocab, dtype=np.uint32)
    total, greedy = 0.0, True
    for j, token in enumerate(run):
        row = rt.score_next(list(context) + list(run[:j]), every_id).astype(np.float64)
        top = row.max()
        total += row[token] - top - np.log(np.exp(row - top).sum())
        greedy = greedy and int(np.argmax(row)) == token
    return total, greedy


def test_score_sequence_batch_is_the_whole_rows_log_softmax(family):
    _, _, rt = family
    contexts = [rt.tokenize("The capital of France is").tolist(), rt.tokenize("Paris is").tolist()]
    paris = rt.tokenize(" Paris", add_special=False).tolist()
    longer = rt.tokenize(" Paris, France", add_special=False).tolist()
    big = rt.tokenize(" big and old", add_special=False).tolist()
    candidates = [[paris, longer, paris], [big]]
    scores, flags = rt.score_sequence_batch(contexts, candidates, greedy=True)
    for context, runs, task_scores, task_flags in zip(contexts, candidates, scores, flags):
        for run, score, flag in zip(runs, task_scores, task_flags):
            want, want_greedy = _log_prob(rt, context, run)
            assert score == pytest.approx(want, abs=1e-4), run
            assert flag == want_greedy
    assert scores[0][0] == scores[0][2]


def test_rank_answers_with_the_familys_own_template(family):
    _, _, rt = family
    system, user, answers = "You are terse.", "What is the capital of France?", ["Paris", "Lyon", "Paris, France"]
    if not rt.has_chat_template:
        with pytest.raises(vl.Error, match="does not expose a llama.cpp-supported chat template"):
            rt.rank_answers(system, user, answers)
        return
    prompt = rt.encode_chat(system, user).tolist()
    ranked = rt.rank_answers(system, user, answers)
    assert sorted(r.text for r in ranked) == sorted(answers)
    assert [r.log_prob for r in ranked] == sorted((r.log_prob for r in ranked), reverse=True)
    for r in ranked:
        whole = rt.encode_chat(system, user, r.text).tolist()
        assert list(r.tokens) == whole[len(prompt):]
        assert r.log_prob == pytest.approx(_log_prob(rt, prompt, list(r.tokens))[0], abs=1e-4), r.text
