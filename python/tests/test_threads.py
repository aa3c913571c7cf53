"""Runtimes used from several threads: distinct runtimes in parallel, and one
runtime shared, its calls kept apart by its lock."""

from __future__ import annotations

import threading
import time
from typing import Callable, List

import numpy as np
from conftest import SMALL, ids

import vorlenta_llama_shim as vl

SYSTEM, USER = "You are terse.", "What is the capital of France?"
ANSWERS = ["Paris", "Lyon", "Paris, France", "London"]
ROUNDS = 40


def run_together(*jobs: Callable[[], None]) -> None:
    """Runs the jobs in threads at once; re-raises the first failure."""
    failures: List[BaseException] = []

    def body(job: Callable[[], None]) -> None:
        try:
            job()
        except BaseException as e:  # reported to the test below
            failures.append(e)

    threads = [threading.Thread(target=body, args=(job,)) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive(), "a scoring thread did not finish"
    if failures:
        raise failures[0]


def ranking(runtime: vl.Runtime):
    return [(r.index, r.log_prob) for r in runtime.rank_answers(SYSTEM, USER, ANSWERS)]


def test_two_runtimes_in_two_threads(chatml_path: str):
    roots = [(ids(300, 9), [5, 6, 7]), (ids(200, 4), [8, 9])]
    with vl.Runtime(chatml_path, **SMALL) as a, vl.Runtime(chatml_path, **SMALL) as b:
        expected_rank, expected_roots = ranking(a), np.concatenate(b.score_root_batch(roots))
        ranks: List[object] = []
        batches: List[np.ndarray] = []
        run_together(
            lambda: ranks.extend(ranking(a) for _ in range(ROUNDS)),
            lambda: batches.extend(np.concatenate(b.score_root_batch(roots)) for _ in range(ROUNDS)),
        )
    assert ranks == [expected_rank] * ROUNDS
    assert len(batches) == ROUNDS
    for got in batches:
        np.testing.assert_array_equal(got, expected_roots)


def test_one_runtime_shared_by_two_threads(rt: vl.Runtime):
    # score_next discards the prompt rank_answers retains: without the lock
    # held over the whole ranking it could land between prefill and scoring.
    prompt = ids(400, 6)
    expected_rank = ranking(rt)
    expected_next = rt.score_next(prompt, [5, 6, 7])
    ranks: List[object] = []
    nexts: List[np.ndarray] = []
    ranked = threading.Event()

    def rank_job() -> None:
        try:
            ranks.extend(ranking(rt) for _ in range(ROUNDS))
        finally:
            ranked.set()

    def next_job() -> None:
        # Keeps calling for as long as the rankings run (bounded all the same).
        while not ranked.is_set() and len(nexts) < 100 * ROUNDS:
            nexts.append(rt.score_next(prompt, [5, 6, 7]))

    run_together(rank_job, next_job)
    assert ranks == [expected_rank] * ROUNDS
    assert nexts
    for got in nexts:
        np.testing.assert_array_equal(got, expected_next)


def test_a_retained_prefix_holds_its_suffix_calls_against_other_threads(rt: vl.Runtime):
    # Each thread's suffix calls must score after its own prefix: outside a
    # retained block the other thread's prefill would land between them.
    prefixes = [ids(300, 12), ids(200, 12)]
    suffix, candidates = ids(400, 3), [5, 6, 7]
    expected = []
    for prefix in prefixes:
        rt.prefill(prefix)
        expected.append(rt.score_suffix(suffix, candidates))
    assert not np.array_equal(expected[0], expected[1])
    got: List[List[np.ndarray]] = [[], []]

    def job(k: int) -> None:
        for _ in range(ROUNDS // 2):
            with rt.retained(prefixes[k]) as held:
                assert held is rt
                got[k].append(rt.score_suffix(suffix, candidates))
                time.sleep(0.002)  # room for the other thread, were it let in
                got[k].append(rt.score_suffix(suffix, candidates))

    run_together(lambda: job(0), lambda: job(1))
    for k in range(2):
        assert len(got[k]) == ROUNDS
        for scores in got[k]:
            np.testing.assert_array_equal(scores, expected[k])
