"""How many requests' contexts go into one batched library call.

Runtime.score_sequence_batch scores each context after the retained prefix.
Contexts that share a long beginning (a few-shot preamble) are best scored
after it, prefilled once for all of them; contexts that share little are
best scored from the start token, several to a call. Either way a call is
kept to about CALL_SPAN tokens past the prefix: llama.cpp's attention reads
every window cell up to the last one in use, so short calls cost less per
token than calls that fill the window (the same sizing vl-eval uses).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Sequence

from .ranking import common_prefix

CALL_SPAN = 256


@dataclass(frozen=True)
class PrefixRun:
    """Consecutive contexts scored after one retained prefix: the first
    `shared` tokens of every one of them, prefilled once. `calls` holds the
    context indices of each library call, in order."""

    shared: int
    calls: List[List[int]]


def plan_calls(
    contexts: Sequence[Sequence[int]],
    inner_tokens: Sequence[int],
    max_shared: int,
    max_tasks: int,
    span: int = CALL_SPAN,
) -> List[PrefixRun]:
    """Plans the calls over contexts given in sorted order (so that those
    sharing a beginning are neighbours), none of them empty.

    inner_tokens[i] is what context i's candidates add to a decode (their
    tokens but the last of each). A run keeps a shared beginning while
    retaining it saves more tokens than the run's members then decode again;
    contexts that share too little to pay for a prefill of their own are
    pooled under what they do share (at least their first token). Retained
    prefixes are at most max_shared tokens (one decode) and calls hold at
    most max_tasks contexts."""
    n = len(contexts)
    # common[k]: the leading tokens contexts k and k + 1 share; in sorted
    # order a range's shared beginning is the least of its common[k].
    common = [len(common_prefix((contexts[k], contexts[k + 1]))) for k in range(n - 1)]
    # Runs worth a prefill of their own: each extension must save at least
    # as many tokens as it makes the members already in the run decode again.
    bounds = []
    i = 0
    while i < n:
        shared = len(contexts[i])
        j = i + 1
        while j < n:
            narrower = min(shared, common[j - 1])
            if narrower == 0 or (j - i) * (shared - narrower) > narrower:
                break
            shared = narrower
            j += 1
        bounds.append((i, j, shared))
        i = j
    # Lone contexts next to one another pool under their common beginning.
    runs = []
    for begin, end, shared in bounds:
        lone = end - begin == 1
        if runs and lone and runs[-1][3]:
            prev_begin, _, prev_shared, _ = runs[-1]
            pooled = min(prev_shared, common[begin - 1])
            if pooled > 0:
                runs[-1] = (prev_begin, end, pooled, True)
                continue
        runs.append((begin, end, shared, lone))

    plan = []
    for begin, end, shared, _ in runs:
        shared = min(shared, max_shared)
        calls: List[List[int]] = []
        load = 0
        for k in range(begin, end):
            size = len(contexts[k]) - shared + inner_tokens[k]
            if calls and load + size <= span and len(calls[-1]) < max_tasks:
                calls[-1].append(k)
                load += size
            else:
                calls.append([k])
                load = size
        plan.append(PrefixRun(shared, calls))
    return plan
