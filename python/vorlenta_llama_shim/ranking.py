"""Answers ranked by log-probability, and the grouping that lets any set of
answers be scored as codebooks.

The library scores answers as a codebook: no two equal, none a prefix of
another. Users' answers need not be so ("Paris" and "Paris, France"), so the
distinct token runs are split into groups that each are prefix-free, and every
group is scored against the same retained prompt.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Sequence, Tuple

TokenRun = Tuple[int, ...]


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


def prefix_free_groups(runs: Sequence[TokenRun]) -> List[List[int]]:
    """Indices of distinct, non-empty runs split into prefix-free groups.

    Shorter runs are placed first, each into the first group holding no
    prefix of it; a run can only be a prefix of a longer one, so no later run
    can break a group either.
    """
    order = sorted(range(len(runs)), key=lambda i: (len(runs[i]), runs[i]))
    groups: List[List[int]] = []
    for i in order:
        run = runs[i]
        for group in groups:
            if not any(run[: len(runs[j])] == runs[j] for j in group):
                group.append(i)
                break
        else:
            groups.append([i])
    return groups


def filler_run(run: TokenRun) -> TokenRun:
    """A one-token run that is neither a prefix of run nor has it as a prefix.

    A codebook needs two entries; a lone answer is scored beside this one,
    whose own score is dropped. Its logits are those of the last context
    position, so it costs no decode.
    """
    return (1,) if run[0] == 0 else (0,)


def shares(log_probs: Sequence[float]) -> List[float]:
    """Each probability over their sum, computed without underflow."""
    best = max(log_probs)
    if best == -math.inf:
        return [0.0] * len(log_probs)
    weights = [math.exp(lp - best) for lp in log_probs]
    total = math.fsum(weights)
    return [w / total for w in weights]
