"""Answers ranked by log-probability.

The library's batched sequence scorer takes any answers, equal ones and ones
that begin others ("Paris" and "Paris, France") included, so a question's
answers are scored together in one call, and many questions' in one call.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

TokenRun = Tuple[int, ...]
# One question for Runtime.rank_many: (system message or None, user message, answers).
Question = Tuple[Optional[str], str, Sequence[str]]


@dataclass(frozen=True)
class RankedAnswer:
    """One answer with its score after the prompt.

    log_prob is the natural-log probability that the model answers with
    exactly these tokens; share is its probability divided by the sum over all
    the answers given, so the shares of one ranking add up to 1.
    """

    text: str
    index: int  # position in the list of answers given
    tokens: TokenRun  # what the answer adds to the prompt's tokens
    log_prob: float
    share: float

    @property
    def probability(self) -> float:
        return math.exp(self.log_prob)


def common_prefix(runs: Sequence[Sequence[int]]) -> List[int]:
    """The leading ids all runs share."""
    if not runs:
        return []
    first = list(runs[0])
    n = len(first)
    for run in runs[1:]:
        n = min(n, len(run))
        for k in range(n):
            if run[k] != first[k]:
                n = k
                break
    return first[:n]


def shares(log_probs: Sequence[float]) -> List[float]:
    """Each probability over their sum, computed without underflow."""
    best = max(log_probs)
    if best == -math.inf:
        return [0.0] * len(log_probs)
    weights = [math.exp(lp - best) for lp in log_probs]
    total = math.fsum(weights)
    return [w / total for w in weights]
