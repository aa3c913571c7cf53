"""How the harness model groups sorted contexts into retained prefixes and
library calls."""

from __future__ import annotations

import random

from vorlenta_llama_shim._call_plan import CALL_SPAN, plan_calls


def lcp(a, b):
    n = 0
    while n < min(len(a), len(b)) and a[n] == b[n]:
        n += 1
    return n


def check_sound(contexts, inner, plan, max_shared, max_tasks):
    """Every context is in exactly one call, in order; a run's prefix is
    non-empty, within max_shared and shared by all its contexts; a call of
    several contexts stays within the span and max_tasks."""
    seen = [k for run in plan for call in run.calls for k in call]
    assert seen == list(range(len(contexts)))
    for run in plan:
        members = [k for call in run.calls for k in call]
        assert 0 < run.shared <= max_shared
        assert all(lcp(contexts[members[0]], contexts[k]) >= run.shared for k in members)
        assert all(len(contexts[k]) >= run.shared for k in members)
        for call in run.calls:
            assert len(call) <= max_tasks
            load = sum(len(contexts[k]) - run.shared + inner[k] for k in call)
            assert len(call) == 1 or load <= CALL_SPAN


def test_a_shared_preamble_is_prefilled_once_and_the_questions_packed():
    preamble = list(range(1000, 1100))
    questions = sorted(preamble + [i] + [5] * 19 for i in range(10))
    plan = plan_calls(questions, [0] * 10, max_shared=4096, max_tasks=64)
    assert [(run.shared, [len(c) for c in run.calls]) for run in plan] == [(100, [10])]
    # Twelve 20-token questions fill one call of 256 tokens; the thirteenth
    # starts the next, after the same prefix.
    many = sorted(preamble + [i] + [5] * 19 for i in range(30))
    plan = plan_calls(many, [0] * 30, max_shared=4096, max_tasks=64)
    assert [(run.shared, [len(c) for c in run.calls]) for run in plan] == [(100, [12, 12, 6])]
    check_sound(many, [0] * 30, plan, 4096, 64)
    # The prefix is cut to what one decode holds, the call to max_tasks.
    plan = plan_calls(many, [0] * 30, max_shared=64, max_tasks=5)
    assert [run.shared for run in plan] == [64]
    check_sound(many, [0] * 30, plan, 64, 5)


def test_contexts_sharing_only_a_start_token_are_pooled_behind_it():
    rng = random.Random(3)
    contexts = sorted([1] + [rng.randrange(2, 500) for _ in range(130)] for _ in range(6))
    plan = plan_calls(contexts, [60] * 6, max_shared=4096, max_tasks=64)
    # One prefill of the start token; one 189-token item to a call.
    assert [(run.shared, [len(c) for c in run.calls]) for run in plan] == [(1, [1] * 6)]
    short = sorted([1] + [rng.randrange(2, 500) for _ in range(25)] for _ in range(12))
    plan = plan_calls(short, [15] * 12, max_shared=4096, max_tasks=64)
    assert [(run.shared, [len(c) for c in run.calls]) for run in plan] == [(1, [6, 6])]


def test_a_preamble_keeps_its_own_prefix_between_contexts_that_share_less():
    rng = random.Random(7)
    before = [[1] + [rng.randrange(2, 500) for _ in range(40)] for _ in range(3)]
    preamble = [[1] + list(range(600, 800)) + [rng.randrange(2, 500) for _ in range(30)] for _ in range(5)]
    after = [[1, 900] + [rng.randrange(2, 500) for _ in range(40)] for _ in range(2)]
    contexts = sorted(before + preamble + after)
    plan = plan_calls(contexts, [3] * len(contexts), max_shared=4096, max_tasks=64)
    assert [run.shared for run in plan] == [1, 201, 2]
    check_sound(contexts, [3] * len(contexts), plan, 4096, 64)
    # Contexts with different first tokens share nothing to prefill: one
    # alone is prefilled whole (41 tokens).
    contexts = sorted([[t] + c[1:] for t, c in zip([1, 1, 2, 3, 3], before + after)])
    assert [run.shared for run in plan_calls(contexts, [3] * 5, 4096, 64)] == [1, 41, 2]


def test_random_task_files_plan_soundly():
    rng = random.Random(11)
    for _ in range(200):
        stems = [[rng.randrange(1, 4)] + [rng.randrange(0, 3) for _ in range(rng.randrange(0, 300))]
                 for _ in range(rng.randrange(1, 4))]
        contexts = sorted(
            {tuple(rng.choice(stems) + [rng.randrange(0, 5) for _ in range(rng.randrange(0, 60))])
             for _ in range(rng.randrange(1, 30))}
        )
        inner = [rng.randrange(0, 80) for _ in contexts]
        max_shared, max_tasks = rng.choice([(4096, 64), (50, 3), (1, 1)])
        check_sound(contexts, inner, plan_calls(contexts, inner, max_shared, max_tasks), max_shared, max_tasks)
