"""score_tokens against the sequence batch scorer and its greedy flags,
context counts, and extend's rows against score_tokens and the prefix it
leaves."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import ids

import vorlenta_llama_shim as vl

# The two scorers decode the same tokens in different batch shapes, which
# llama.cpp rounds differently; measured 7.6e-6 on these cases.
TOLERANCE = 1e-4

PROMPT = [1, 403, 407, 261, 378, 432, 383, 286, 261, 376]  # "Once upon a time, there was a little"
TEXTS = [PROMPT + [298, 307, 312], [1] + ids(300, 12), PROMPT[:4]]


def _discard_prefix(runtime: vl.Runtime) -> None:
    runtime.score_next([1], [3, 4])


def test_each_sequence_sums_to_its_continuation_log_probability(stories: vl.Runtime):
    _discard_prefix(stories)
    counts = [len(PROMPT), 3, 0]
    scores, flags = stories.score_tokens([np.array(t, dtype=np.int64) for t in TEXTS], counts, greedy=True)
    assert [len(s) for s in scores] == [len(t) for t in TEXTS]
    assert all(s.dtype == np.float32 for s in scores)
    for text, count, s, f in zip(TEXTS, counts, scores, flags):
        first = max(count, 1)  # nothing predicts a first token
        assert (s[:first] == 0).all() and f[:first].all()
        assert (s[first:] < 0).all()
        # The sum of the scored tokens is the continuation's log-probability.
        expected, greedy = stories.score_sequence_batch([text[:first]], [[text[first:]]], greedy=True)
        assert float(s.sum()) == pytest.approx(float(expected[0][0]), abs=TOLERANCE)
        assert bool(f.all()) == bool(greedy[0][0])
        # Token by token, as one-token candidates after each prefix.
        singles, single_flags = stories.score_sequence_batch(
            [text[:k] for k in range(first, len(text))], [[[text[k]]] for k in range(first, len(text))],
            greedy=True,
        )
        np.testing.assert_allclose(s[first:], [x[0] for x in singles], rtol=0, atol=TOLERANCE)
        assert list(f[first:]) == [bool(x[0]) for x in single_flags]


def test_after_a_prefix_the_first_token_is_scored_from_it(stories: vl.Runtime):
    stories.prefill(PROMPT)
    (scores,) = stories.score_tokens([[298, 307]], 0)
    kept = stories.score_suffix_sequences([], [[298], [5]])
    assert scores[0] == pytest.approx(float(kept[0]), abs=TOLERANCE)
    # The prefix stays retained.
    np.testing.assert_array_equal(stories.score_suffix_sequences([], [[298], [5]]), kept)
    assert stories.score_tokens([]) == []


def test_bad_context_counts_are_refused(stories: vl.Runtime):
    with pytest.raises(ValueError, match="2 context counts for 3 sequences"):
        stories.score_tokens(TEXTS, [1, 2])
    with pytest.raises(ValueError, match="negative"):
        stories.score_tokens(TEXTS, -1)
    with pytest.raises(TypeError, match="bool"):
        stories.score_tokens(TEXTS, True)
    with pytest.raises(vl.Error, match="context count exceeds its sequence"):
        stories.score_tokens(TEXTS, [1, 2, 5])


def test_extend_walks_a_text_in_pieces(stories: vl.Runtime):
    _discard_prefix(stories)
    text = TEXTS[0]
    (whole,) = stories.score_tokens([text])
    # A restart drops the prefix retained before.
    stories.prefill([1, 300, 301])
    assert stories.extend(text[:4], restart=True).shape == (0, stories.n_vocab)
    rows = np.concatenate([stories.extend(text[4:9], rows_from=-3), stories.extend(text[9:], rows_from=0)])
    assert rows.dtype == np.float32 and rows.shape == (3 + len(text) - 9, stories.n_vocab)
    np.testing.assert_allclose(np.exp(rows.astype(np.float64)).sum(axis=1), 1.0, atol=1e-5)
    # Row j follows token 6 + j and gives the next token's score.
    picked = [rows[j, text[7 + j]] for j in range(len(text) - 7)]
    np.testing.assert_allclose(picked, whole[7:], rtol=0, atol=TOLERANCE)
    # The text is retained: the suffix scorers continue after it, from the
    # row after its last token.
    np.testing.assert_array_equal(stories.score_suffix_sequences([], [[5], [6]]), rows[-1, [5, 6]])
    with pytest.raises(ValueError, match="rows_from 9 is outside the 2 tokens"):
        stories.extend([5, 6], rows_from=9)
