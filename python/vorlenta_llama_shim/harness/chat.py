"""Chat templates rendered the way the harness's Hugging Face model renders
them: the model's own Jinja template, in a sandbox with the same settings,
helpers and variables, and the same cut when the last message is continued.

The library's vl_llama_apply_chat_template lays a conversation out with
llama.cpp's built-in engine, which recognises a template by its markers and
writes the family's layout; it does not run the template. Templates that do
more than the layout (Qwen2's default system message, Phi-3's dropping of
system messages and its start token) then give another text than the
harness's own model gives, so the harness model renders the template itself.
"""

from __future__ import annotations

import json
from datetime import datetime
from functools import lru_cache
from typing import Any, Dict, List, Mapping, Optional

import jinja2
from jinja2 import nodes
from jinja2.ext import Extension, loopcontrols
from jinja2.sandbox import ImmutableSandboxedEnvironment

Messages = List[Mapping[str, Any]]


class _Generation(Extension):
    """{% generation %} ... {% endgeneration %}: marks an assistant's text
    for training masks; rendering keeps the text as it is."""

    tags = {"generation"}

    def parse(self, parser: Any) -> nodes.Node:
        lineno = next(parser.stream).lineno
        body = parser.parse_statements(("name:endgeneration",), drop_needle=True)
        return nodes.Scope(body, lineno=lineno)


def _raise_exception(message: str) -> None:
    raise jinja2.exceptions.TemplateError(message)


def _tojson(x: Any, ensure_ascii: bool = False, indent: Any = None, separators: Any = None,
            sort_keys: bool = False) -> str:
    # Jinja's own filter escapes HTML characters; templates expect plain JSON.
    return json.dumps(x, ensure_ascii=ensure_ascii, indent=indent, separators=separators, sort_keys=sort_keys)


def _strftime_now(format: str) -> str:
    return datetime.now().strftime(format)


@lru_cache(maxsize=8)
def _compile(template: str) -> jinja2.Template:
    env = ImmutableSandboxedEnvironment(trim_blocks=True, lstrip_blocks=True, extensions=[_Generation, loopcontrols])
    env.filters["tojson"] = _tojson
    env.globals["raise_exception"] = _raise_exception
    env.globals["strftime_now"] = _strftime_now
    return env.from_string(template)


def render(
    template: str,
    messages: Messages,
    add_generation_prompt: bool,
    continue_final_message: bool,
    special_tokens: Optional[Dict[str, str]] = None,
) -> str:
    """The conversation as the template lays it out. special_tokens
    (bos_token, eos_token, ...) are the template's variables of those names.
    With continue_final_message the text ends right after the last
    message's content, so that the model goes on writing it."""
    text = _compile(template).render(
        messages=messages, tools=None, documents=None, add_generation_prompt=add_generation_prompt,
        **(special_tokens or {}),
    )
    if not continue_final_message:
        return text
    final = messages[-1]["content"]
    if final.strip() not in text:
        raise ValueError(
            "the chat template drops part of the last message, which was to be continued: "
            "its text does not appear in the laid-out conversation"
        )
    at = text.rindex(final.strip())
    if text[at : at + len(final.lstrip())] == final:
        return text[: at + len(final.lstrip())]
    # The template trimmed the message's trailing whitespace.
    return text[: at + len(final.strip())]
