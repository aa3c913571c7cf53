"""Greedy generation's arguments and results: stop strings laid out as the
library reads them, and each prompt's tokens with the text they make."""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

# The library's VL_LLAMA_STOP_ values, by name.
STOP_REASONS = {0: "limit", 1: "end_token", 2: "stop_string"}

StopStrings = Union[Sequence[str], Sequence[Sequence[str]], None]


@dataclass(frozen=True)
class Generation:
    """One prompt's greedy continuation.

    tokens are the ids generated: an end-of-generation token is not among
    them; after a stop string the last one is the token that completed it.
    text is their text cut where the first stop string begins, so neither the
    string nor what followed it in its token is part of it. reason is
    "limit", "end_token" or "stop_string"."""

    tokens: npt.NDArray[np.uint32]
    text: str
    reason: str


def limits(max_new_tokens: Union[int, Sequence[int]], count: int) -> List[int]:
    """One new-token limit per prompt, from one for all or a sequence."""
    if isinstance(max_new_tokens, (int, np.integer)) and not isinstance(max_new_tokens, bool):
        values = [int(max_new_tokens)] * count
    else:
        if isinstance(max_new_tokens, (str, bytes)) or not isinstance(max_new_tokens, Iterable):
            raise TypeError("max_new_tokens must be an int or a sequence of ints, one per prompt")
        values = []
        for i, v in enumerate(max_new_tokens):
            if isinstance(v, bool):
                raise TypeError("max_new_tokens[%d] is a bool, not a count" % i)
            try:
                values.append(operator.index(v))
            except TypeError:
                raise TypeError("max_new_tokens[%d] is %r, not an int" % (i, v)) from None
        if len(values) != count:
            raise ValueError("%d limits for %d prompts: give one per prompt, or one int" % (len(values), count))
    for i, v in enumerate(values):
        if v < 0:
            raise ValueError("max_new_tokens for prompt %d is %d; it cannot be negative" % (i, v))
    return values


def stop_lists(stop: StopStrings, count: int) -> List[List[str]]:
    """One list of stop strings per prompt: stop is None, one list for all
    prompts, or a list of lists, one per prompt."""
    if stop is None:
        return [[] for _ in range(count)]
    if isinstance(stop, (str, bytes)) or not isinstance(stop, Iterable):
        raise TypeError("stop must be a list of str, or a list of such lists (one per prompt)")
    items = list(stop)
    shared = all(isinstance(s, str) for s in items)
    per_prompt = [items] * count if shared else items
    if not shared and len(per_prompt) != count:
        raise ValueError("%d stop lists for %d prompts: give one per prompt, or one for all" % (len(items), count))
    lists = []
    for i, strings in enumerate(per_prompt):
        if isinstance(strings, (str, bytes)) or not isinstance(strings, Iterable):
            raise TypeError("stop[%d] must be a list of str" % i)
        strings = list(strings)
        for s in strings:
            if not isinstance(s, str):
                raise TypeError("stop strings must be str, not %s" % type(s).__name__)
            if s == "":
                raise ValueError("a stop string is empty; it would stop before anything is generated")
        lists.append(strings)
    return lists


def flat_stops(
    lists: Sequence[Sequence[str]],
) -> Tuple[bytes, npt.NDArray[np.uintp], npt.NDArray[np.uintp]]:
    """The stop strings as UTF-8 bytes cut by byte offsets, and per prompt
    the offsets into that list of strings."""
    encoded = [s.encode("utf-8") for strings in lists for s in strings]
    text = b"".join(encoded)
    offsets = np.zeros(len(encoded) + 1, dtype=np.uintp)
    if encoded:
        np.cumsum([len(b) for b in encoded], out=offsets[1:])
    sets = np.zeros(len(lists) + 1, dtype=np.uintp)
    np.cumsum([len(strings) for strings in lists], out=sets[1:])
    return text, offsets, sets


def cut(text: str, stops: Sequence[str]) -> str:
    """text before the earliest of the stop strings it holds."""
    at = min((p for p in (text.find(s) for s in stops) if p >= 0), default=len(text))
    return text[:at]


def messages(conversation: Iterable[object]) -> List[Tuple[bytes, bytes]]:
    """(role, content) as UTF-8, from {"role": ..., "content": ...} mappings
    or (role, content) pairs."""
    if isinstance(conversation, (str, bytes)) or not isinstance(conversation, Iterable):
        raise TypeError("messages must be a list of {'role': ..., 'content': ...} dicts")
    out = []
    for i, m in enumerate(conversation):
        if isinstance(m, dict):
            try:
                role, content = m["role"], m["content"]
            except KeyError as e:
                raise ValueError("messages[%d] has no %s" % (i, e)) from None
        else:
            try:
                role, content = m  # type: ignore[misc]
            except (TypeError, ValueError):
                raise TypeError("messages[%d] is neither a dict nor a (role, content) pair" % i) from None
        for name, value in (("role", role), ("content", content)):
            if not isinstance(value, str):
                raise TypeError("messages[%d] %s must be a str, not %s" % (i, name, type(value).__name__))
            if "\0" in value:
                raise ValueError("messages[%d] %s holds a NUL character" % (i, name))
        out.append((role.encode("utf-8"), content.encode("utf-8")))
    return out
