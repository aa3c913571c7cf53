"""Runtime.generate, apply_chat_template and chat_template."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import FIXTURE_DIR, SMALL

import vorlenta_llama_shim as vl


def lone_greedy(rt: vl.Runtime, prompt, limit: int):
    """Greedy continuation one token at a time through score_next over the
    whole vocabulary (the start token is never chosen: it is not an end)."""
    everything = list(range(rt.n_vocab))
    out = []
    while len(out) < limit:
        logits = rt.score_next(list(prompt) + out, everything)
        best = int(np.argmax(logits))
        if best == 2:  # </s>, the model's end of generation
            break
        out.append(best)
    return out


def test_generation_equals_a_lone_greedy_loop_and_cuts_at_the_stop(stories):
    prompts = [stories.tokenize(t).tolist() for t in ("Once upon a time, there was a little", "Lily went to the")]
    want = [lone_greedy(stories, p, 24) for p in prompts]
    got = stories.generate(prompts, [24, 24])
    assert [g.tokens.tolist() for g in got] == want
    assert [g.reason for g in got] == ["limit", "limit"]
    assert got[0].text == stories.decode(want[0])
    assert got[0].text.startswith("girl named Lily. She")

    # The stop string begins inside a token: the text stops before it, the
    # tokens end with the one that completed it.
    cut = stories.generate(prompts[:1], 24, stop=["ily. S", "never"])[0]
    assert cut.reason == "stop_string"
    assert cut.text == "girl named L"
    assert cut.tokens.tolist() == want[0][: len(cut.tokens)]
    assert "ily. S" in stories.decode(cut.tokens) and "ily. S" not in stories.decode(cut.tokens[:-1])

    # Per-prompt lists and limits; a limit of 0 generates nothing.
    both = stories.generate(prompts, [0, 5], stop=[["girl"], []])
    assert both[0].tokens.size == 0 and both[0].reason == "limit" and both[0].text == ""
    assert both[1].tokens.tolist() == want[1][:5]


def test_generation_after_a_retained_prefix(stories):
    prefix = stories.tokenize("Once upon a time,").tolist()
    rest = stories.tokenize(" there was a little", add_special=False).tolist()
    with stories.retained(prefix):
        got = stories.generate([[], rest], 10)
        assert stories.capabilities.max_parallel_suffix_tokens > 0  # the prefix stays
    assert got[0].tokens.tolist() == lone_greedy(stories, prefix, 10)
    assert got[1].tokens.tolist() == lone_greedy(stories, prefix + rest, 10)


def test_generation_arguments_are_checked(stories):
    ids = stories.tokenize("Once").tolist()
    with pytest.raises(ValueError, match="empty"):
        stories.generate([ids], 4, stop=[""])
    with pytest.raises(ValueError, match="2 limits for 1 prompts"):
        stories.generate([ids], [4, 5])
    with pytest.raises(ValueError, match="cannot be negative"):
        stories.generate([ids], -1)
    with pytest.raises(ValueError, match="2 stop lists for 1 prompts"):
        stories.generate([ids], 4, stop=[["a"], ["b"]])
    with pytest.raises(vl.Error, match="prompt token exceeds vocabulary size"):
        stories.generate([[1, 100000]], 4)
    with pytest.raises(vl.Error, match="prompt is empty and no shared prefix is retained"):
        stories.generate([[]], 4)
    assert stories.generate([], 4) == []


def test_conversations_and_the_template_text(rt):
    chat = [
        {"role": "system", "content": "You are terse."},
        {"role": "user", "content": "Say hi."},
        {"role": "assistant", "content": "Hi."},
    ]
    body = "<|im_start|>system\nYou are terse.<|im_end|>\n<|im_start|>user\nSay hi.<|im_end|>\n" \
           "<|im_start|>assistant\nHi.<|im_end|>\n"
    assert rt.apply_chat_template(chat, add_generation_prompt=False) == body
    assert rt.apply_chat_template([(m["role"], m["content"]) for m in chat]) == body + "<|im_start|>assistant\n"
    assert "<|im_start|>" in rt.chat_template
    with pytest.raises(TypeError, match="messages\\[0\\] content must be a str"):
        rt.apply_chat_template([{"role": "user", "content": None}])
    with pytest.raises(ValueError, match="messages\\[0\\] has no 'role'"):
        rt.apply_chat_template([{"content": "x"}])
    with vl.Runtime(str(FIXTURE_DIR / "plain.gguf"), **SMALL) as plain:
        assert plain.chat_template is None
        with pytest.raises(vl.Error, match="does not expose a llama.cpp-supported chat template"):
            plain.apply_chat_template(chat)
