"""The harness model `vorlenta`: lm_eval's LM interface over Runtime.

Requests are tokenized as the harness's own token-level models do it, then
grouped by context into tasks of Runtime.score_sequence_batch: each distinct
context is decoded once with all its continuations, many contexts share one
call, and the tokens a call's contexts share (a few-shot preamble) are
decoded once as the retained prefix. Generation requests run greedily
through Runtime.generate, many prompts side by side after the preamble they
share; chat templates are rendered as the harness's Hugging Face model
renders them (see chat.py).
"""

from __future__ import annotations

import os
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np
from lm_eval import utils as harness_utils
from lm_eval.api.model import LM
from lm_eval.api.registry import register_model
from lm_eval.models.utils import handle_stop_sequences, normalize_gen_kwargs, postprocess_generated_text
from tqdm import tqdm

from .._call_plan import plan_calls
from ..options import DEFAULT as _DEFAULT_OPTIONS
from ..options import Options
from ..ranking import common_prefix
from ..runtime import Runtime
from . import chat

Tokens = List[int]

# Options of the harness's command line that every model receives; this one
# batches by itself and runs where the library runs, so they change nothing.
_IGNORED_OPTIONS = ("batch_size", "max_batch_size", "device")


class SamplingUnsupported(ValueError):
    """A generation request asked for sampling; the model decodes greedily."""


def _integer(value: Any, name: str, minimum: int) -> int:
    try:
        number = int(value)
    except (TypeError, ValueError):
        raise ValueError("model argument %s=%r is not an integer" % (name, value)) from None
    if isinstance(value, bool) or isinstance(value, float) and value != number:
        raise ValueError("model argument %s=%r is not an integer" % (name, value))
    if number < minimum:
        raise ValueError("model argument %s=%d must be at least %d" % (name, number, minimum))
    return number


# The harness's own fallback for a model that states no trained length.
_DEFAULT_MAX_LENGTH = 2048
# The window the model is opened with before it knows its requests: enough
# to tokenize them, which is all it is used for.
_TOKENIZING_WINDOW = 256
# A window sized to the requests keeps decodes to this many tokens at most:
# llama.cpp holds the logits of every token a decode scores, 4 bytes times
# the vocabulary each (1.2 GB at 2048 tokens of Qwen2's 151,936).
_SIZED_BATCH = 2048


def _switch(value: Any, name: str) -> bool:
    """A yes/no model argument: the harness passes true and false as bools."""
    if isinstance(value, bool):
        return value
    text = str(value).strip().lower()
    if text in ("true", "1", "yes"):
        return True
    if text in ("false", "0", "no"):
        return False
    raise ValueError("model argument %s=%r is not true or false" % (name, value))


def _options(exact: Any, kv_cache: Optional[str], flash_attention: Optional[str]) -> Options:
    """The runtime's options from the model arguments, errors named as such."""
    try:
        return Options.choose(
            _DEFAULT_OPTIONS,
            _switch(exact, "exact") if exact is not None else None,
            None if kv_cache is None else str(kv_cache),
            None if flash_attention is None else str(flash_attention),
        )
    except ValueError as e:
        raise ValueError("model arguments: %s" % e) from None


@register_model("vorlenta")
class HarnessModel(LM):
    """A local GGUF model scored exactly through vorlenta_llama_shim.

    Model arguments: model=PATH (required); max_length (the model's trained
    context length, as the harness's HF model takes it), the window a request
    is cut to from the left as the harness's models do; n_ctx (unset: each
    run of requests gets a window as long as its longest request, at most
    max_length; set: that window for every run), n_batch (the window, at
    most 2048 when it is sized to the requests), n_seq_max (8), threads and
    threads_batch (0: llama.cpp's choice), n_gpu_layers (0) as Runtime takes
    them; tasks_per_call (64), the most distinct contexts one library call
    scores (calls are also kept to about 256 tokens past their retained
    prefix) or prompts one generation call runs; max_gen_toks (256), the
    new-token limit of a generation request that sets none; and exact=true,
    which scores with F32 keys and values and no flash attention, the
    model's own float32 arithmetic, or kv_cache (f16, f32) and
    flash_attention (auto, off) one by one, as Runtime takes them (a window
    sized to the requests keeps them).
    """

    def __init__(
        self,
        model: Optional[str] = None,
        n_ctx: Optional[int] = None,
        n_batch: Optional[int] = None,
        n_seq_max: int = 8,
        threads: int = 0,
        threads_batch: int = 0,
        n_gpu_layers: int = 0,
        max_length: Optional[int] = None,
        tasks_per_call: int = 64,
        max_gen_toks: int = 256,
        exact: Any = None,
        kv_cache: Optional[str] = None,
        flash_attention: Optional[str] = None,
        **options: Any,
    ) -> None:
        super().__init__()
        unknown = sorted(k for k in options if k not in _IGNORED_OPTIONS)
        if unknown:
            raise ValueError(
                "unknown model argument(s) %s; the vorlenta model takes model, n_ctx, n_batch, "
                "n_seq_max, threads, threads_batch, n_gpu_layers, max_length, tasks_per_call, "
                "max_gen_toks, exact, kv_cache, flash_attention" % ", ".join(unknown)
            )
        if not model:
            raise ValueError("the vorlenta model needs model=PATH of a GGUF file in --model_args")
        model = os.fspath(model)
        if not os.path.isfile(model):
            raise FileNotFoundError("model=%s: no such file" % model)
        self._settings: Dict[str, Any] = dict(
            model=model,
            n_ctx=None if n_ctx is None else _integer(n_ctx, "n_ctx", 1),
            n_batch=None if n_batch is None else _integer(n_batch, "n_batch", 1),
            n_seq_max=_integer(n_seq_max, "n_seq_max", 2),
            threads=_integer(threads, "threads", 0),
            threads_batch=_integer(threads_batch, "threads_batch", 0),
            n_gpu_layers=_integer(n_gpu_layers, "n_gpu_layers", 0),
            max_length=None if max_length is None else _integer(max_length, "max_length", 2),
            tasks_per_call=_integer(tasks_per_call, "tasks_per_call", 1),
            max_gen_toks=_integer(max_gen_toks, "max_gen_toks", 1),
            options=_options(exact, kv_cache, flash_attention),
        )
        fixed, longest = self._settings["n_ctx"], self._settings["max_length"]
        if fixed is not None and longest is not None and longest > fixed:
            raise ValueError("model argument max_length=%d exceeds n_ctx=%d" % (longest, fixed))
        self._open()

    def _open(self) -> None:
        s = self._settings
        fixed = s["n_ctx"] is not None
        # Without n_ctx the window is sized to the requests once they are
        # tokenized; n_batch as large as the window lets a few-shot preamble
        # that fills it be prefilled in one decode.
        window = s["n_ctx"] if fixed else _TOKENIZING_WINDOW
        batch = s["n_batch"] if fixed and s["n_batch"] is not None else window
        self._runtime = Runtime(
            s["model"],
            n_ctx=window,
            n_batch=batch,
            n_seq_max=s["n_seq_max"],
            threads=s["threads"],
            threads_batch=s["threads_batch"],
            n_gpu_layers=s["n_gpu_layers"],
            kv_cache=s["options"].kv_cache,
            flash_attention=s["options"].flash_attention,
        )
        self._window, self._batch = window, batch
        # The harness's HF model cuts requests to the model's trained length.
        trained = self._runtime.n_ctx_train
        if trained <= 0:
            trained = _DEFAULT_MAX_LENGTH
        self._max_length = s["max_length"] if s["max_length"] is not None else (
            trained if not fixed else min(trained, s["n_ctx"])
        )
        # The token the vocabulary puts before a text, when it adds one.
        start = self._runtime.start_token
        self._start: Tokens = [] if start is None else [start]

    def _size_window(self, pairs: Sequence[Tuple[Tokens, Tokens]]) -> None:
        """Makes the window as long as the longest (context, continuation)
        pair needs, the continuation's last token aside, when n_ctx was not
        given: the requests of a run decide it, as vl-eval sizes its window
        after tokenizing its tasks."""
        if pairs:
            self._resize(max(len(c) + max(len(k) - 1, 0) for c, k in pairs))

    def _resize(self, longest: int) -> None:
        """Gives the runtime a window of `longest` positions (at least 16)
        when n_ctx was not given; a window already that size is kept."""
        if self._settings["n_ctx"] is not None:
            return
        window = max(16, longest)
        batch = self._settings["n_batch"] or min(window, _SIZED_BATCH)
        if (window, batch) == (self._window, self._batch):
            return
        s = self._settings
        self._runtime.reconfigure(
            n_ctx=window, n_batch=batch, n_seq_max=s["n_seq_max"], threads=s["threads"],
            threads_batch=s["threads_batch"],
        )
        self._window, self._batch = window, batch

    # The runtime holds a library handle: a copy reopens the model instead.
    def __getstate__(self) -> Dict[str, Any]:
        state = self.__dict__.copy()
        state.pop("_runtime", None)
        state["cache_hook"] = None
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__dict__.update(state)
        from lm_eval.api.model import CacheHook

        self.cache_hook = CacheHook(None)
        self._open()

    # ---- what the harness asks of a model ----------------------------------

    @property
    def max_length(self) -> int:
        return int(self._max_length)

    @property
    def tokenizer_name(self) -> str:
        return os.path.basename(self._settings["model"])

    @property
    def prefix_token_id(self) -> int:
        """The token an empty context or a document's first window is
        conditioned on: the vocabulary's start-of-text id, else its
        end-of-text id, as the harness's HF model chooses it (whether or not
        tokenizing adds either: Qwen2's adds neither)."""
        token = self._runtime.prefix_token
        if token is None:
            raise ValueError(
                "%s has neither a start-of-text nor an end-of-text token, so an empty "
                "context has no token to condition on" % self._settings["model"]
            )
        return token

    def tok_encode(self, text: str, start: bool = True) -> Tokens:
        """The text's ids, led by the start token when the vocabulary adds one
        (and start is set) and the text does not already begin with it.
        Special-token text becomes its token, as the harness's tokenizers
        read it: a chat template's markers are the model's own tokens."""
        ids = self._runtime.tokenize(text, add_special=False, parse_special=True).tolist()
        if not start or (self._start and ids[: len(self._start)] == self._start):
            return ids
        return self._start + ids

    def encode_pair(self, context: str, continuation: str) -> Tuple[Tokens, Tokens]:
        """(context ids, continuation ids) as the harness's token-level models
        split a request: the context's trailing whitespace moves to the
        continuation, the two are tokenized together and cut at the context's
        own token count."""
        n_spaces = len(context) - len(context.rstrip())
        if n_spaces:
            continuation = context[-n_spaces:] + continuation
            context = context[:-n_spaces]
        if context == "":
            # Nothing to condition on but the prefix token.
            whole = self.tok_encode(continuation, start=False)
            prefix = self.prefix_token_id
            if whole and whole[0] == prefix:
                return whole[:1], whole[1:]
            return [prefix], whole
        whole = self.tok_encode(context + continuation)
        context_ids = self.tok_encode(context)
        return context_ids, whole[len(context_ids) :]

    def _fit(self, context: Tokens, continuation: Tokens, what: str) -> Tokens:
        """The context cut from the left so that the decoded positions,
        context plus continuation but its last token, fit max_length."""
        excess = len(context) + len(continuation) - 1 - self.max_length
        if excess <= 0:
            return context
        if excess >= len(context):
            raise ValueError(
                "%s: the continuation's %d tokens do not fit max_length=%d with any context"
                % (what, len(continuation), self.max_length)
            )
        return context[excess:]

    def loglikelihood(self, requests: Sequence[Any], disable_tqdm: bool = False) -> List[Tuple[float, bool]]:
        pairs = []
        for i, request in enumerate(requests):
            context, continuation = request.args
            context_ids, continuation_ids = self.encode_pair(context, continuation)
            if not continuation_ids:
                # Scoring nothing would give log-probability 0, probability
                # 1: the request would win every comparison. The harness's HF
                # model stops on such a request too.
                raise ValueError(
                    "request %d: the continuation %r adds no token of its own to the context %r: %s"
                    % (i, continuation, context[-40:],
                       "it is empty" if not (context + continuation).strip() or not continuation
                       else "tokenized together, it merges into the context's last token")
                )
            pairs.append((self._fit(context_ids, continuation_ids, "request %d" % i), continuation_ids))
        self._size_window(pairs)
        scored = self._score(pairs, disable_tqdm, "vorlenta loglikelihood")
        results = []
        for request, (log_prob, greedy) in zip(requests, scored):
            result = (log_prob, greedy)
            self.cache_hook.add_partial("loglikelihood", request.args, result)
            results.append(result)
        return results

    def rolling_windows(self, text: str) -> List[Tuple[Tokens, Tokens]]:
        """The (context, continuation) pairs that score a whole text: the
        harness's own rolling windows over the text's tokens, the first
        conditioned on the prefix token. The tokens are the text's alone,
        without the start token the vocabulary may add: the harness's HF
        model (0.4.13) tokenizes with the tokenizer's defaults, and where
        those add a start token its first window scores that start token
        after the prefix token, the same token, which says nothing of the
        text (the README has what it changes)."""
        ids = self.tok_encode(text, start=False)
        windows = harness_utils.get_rolling_token_windows(
            token_list=ids,
            prefix_token=self.prefix_token_id,
            max_seq_len=self.max_length,
            context_len=1,
        )
        return list(map(harness_utils.make_disjoint_window, windows))

    def loglikelihood_rolling(self, requests: Sequence[Any], disable_tqdm: bool = False) -> List[float]:
        pairs: List[Tuple[Tokens, Tokens]] = []
        owners: List[int] = []
        for r, request in enumerate(requests):
            (text,) = request.args
            for window in self.rolling_windows(text):
                pairs.append(window)
                owners.append(r)
        self._size_window(pairs)
        scored = self._score_windows(pairs, disable_tqdm, "vorlenta loglikelihood_rolling")
        totals = [0.0] * len(requests)
        for r, log_prob in zip(owners, scored):
            totals[r] += log_prob
        for request, total in zip(requests, totals):
            self.cache_hook.add_partial("loglikelihood_rolling", request.args, total)
        return totals

    def generate_until(self, requests: Sequence[Any], disable_tqdm: bool = False) -> List[str]:
        """Greedy continuations, each the text the harness's Hugging Face
        model returns for the same tokens: the context cut from the left to
        leave room for max_gen_toks, the tokens decoded without special
        tokens, then cut at the first of the stop strings (the request's
        `until` and the end token's text)."""
        results: List[Optional[str]] = [None] * len(requests)
        groups: Dict[str, List[int]] = {}
        for i, request in enumerate(requests):
            _, gen_kwargs = request.args
            groups.setdefault(repr(sorted(gen_kwargs.items())) if isinstance(gen_kwargs, dict) else repr(gen_kwargs), []).append(i)
        with tqdm(total=len(requests), desc="vorlenta generate_until", disable=disable_tqdm) as bar:
            for members in groups.values():
                for k, text in self._generate_group([requests[i] for i in members]):
                    results[members[k]] = text
                    self.cache_hook.add_partial("generate_until", requests[members[k]].args, text)
                    bar.update(1)
        return results  # type: ignore[return-value]

    def _generate_group(self, requests: Sequence[Any]) -> Iterator[Tuple[int, str]]:
        """(index, text) of requests sharing one set of generation arguments,
        a library call's worth at a time."""
        gen_kwargs = requests[0].args[1]
        if not isinstance(gen_kwargs, dict):
            raise ValueError("generation arguments must be a dict, not %r" % (gen_kwargs,))
        kwargs = normalize_gen_kwargs(gen_kwargs, int(self._settings["max_gen_toks"]))
        if kwargs.get("do_sample") or float(kwargs.get("temperature") or 0.0) > 0.0:
            raise SamplingUnsupported(
                "the vorlenta model generates greedily, but a task asks for sampling "
                "(do_sample=%r, temperature=%r); set do_sample to false and temperature to 0"
                % (gen_kwargs.get("do_sample"), gen_kwargs.get("temperature"))
            )
        until = handle_stop_sequences(kwargs.pop("until", None), eos=self._end_text())
        limit = int(kwargs.pop("max_gen_toks"))
        room = self.max_length - limit
        if room <= 0:
            raise ValueError(
                "max_gen_toks=%d leaves no room for a context in max_length=%d" % (limit, self.max_length)
            )
        prompts = [self.tok_encode(r.args[0])[-room:] for r in requests]
        stops = [s for s in until if s]
        # Sorted, prompts that share a preamble are neighbours; what all of
        # them share is decoded once and retained, what a call's prompts
        # share beyond it the library decodes once per call.
        order = sorted(range(len(prompts)), key=lambda k: prompts[k])
        shared = len(common_prefix([prompts[k] for k in order])) if prompts else 0
        # Every token but the last generated one is decoded after its prompt;
        # a sized window holds the shared part once and the rest of the
        # longest prompt for every sequence that runs side by side, within
        # max_length (one prompt always fits: room leaves it max_gen_toks).
        own = max(len(p) for p in prompts) - shared + limit - 1
        side_by_side = shared + (int(self._settings["n_seq_max"]) - 1) * own
        self._resize(max(shared + own, min(side_by_side, self.max_length)))
        shared = min(shared, self._batch)
        per_call = int(self._settings["tasks_per_call"])
        rt = self._runtime
        # The retained prefix must stay ours over the group's calls.
        with rt._lock:
            if shared:
                rt.prefill(prompts[order[0]][:shared])
            for begin in range(0, len(order), per_call):
                call = order[begin : begin + per_call]
                made = rt.generate([prompts[k][shared:] for k in call], limit, stop=stops)
                for k, g in zip(call, made):
                    yield k, postprocess_generated_text(rt.decode(g.tokens), until, None)

    def _end_text(self) -> Optional[str]:
        """The end (EOS) token's text, which the harness adds to every
        request's stop strings; None when the vocabulary names none."""
        end = self._runtime.eos_token
        return None if end is None else self._runtime.token_piece(end)

    # ---- chat templates ----------------------------------------------------

    def _chat_template_text(self) -> str:
        template = self._runtime.chat_template
        if template is None:
            raise ValueError(
                "%s has no chat template, so --apply_chat_template cannot lay out its prompts"
                % self._settings["model"]
            )
        return template

    def chat_template(self, chat_template: Any = False) -> Optional[str]:
        """The model's chat template (a GGUF file holds one), which the
        harness records with the results."""
        if chat_template is False or chat_template is None:
            return None
        return self._chat_template_text()

    def apply_chat_template(self, chat_history: List[Dict[str, str]], add_generation_prompt: bool = True) -> str:
        """The conversation as the harness's Hugging Face model lays it out:
        the model's template rendered, the assistant's turn opened, or else
        the last (assistant) message left open to be continued. A template
        that refuses a system message gets the conversation without it."""
        template = self._chat_template_text()
        # The start token a template may write is the one tokenizing adds (a
        # vocabulary that adds none, Qwen2's, has none for the harness's
        # tokenizer either); the end token is the vocabulary's.
        special = {}
        for name, token in (("bos_token", self._runtime.start_token), ("eos_token", self._runtime.eos_token)):
            if token is not None:
                special[name] = self._runtime.token_piece(token)
        try:
            return chat.render(template, chat_history, add_generation_prompt, not add_generation_prompt, special)
        except chat.jinja2.exceptions.TemplateError:
            without = [m for m in chat_history if m["role"] != "system"]
            return chat.render(template, without, add_generation_prompt, not add_generation_prompt, special)

    # ---- scoring ---------------------------------------------------------

    def _score_windows(
        self, windows: Sequence[Tuple[Tokens, Tokens]], disable_tqdm: bool, description: str
    ) -> List[float]:
        """log P(continuation | context) of each (context, continuation)
        window, every continuation token scored where it stands (teacher
        forcing): a window costs one pass over its tokens, however long."""
        results = [0.0] * len(windows)
        # Windows sharing a beginning are prefilled once, as _score does with
        # contexts; the rest of each window is one sequence of score_tokens,
        # its context part unscored.
        order = sorted((i for i, (_, continuation) in enumerate(windows) if continuation),
                       key=lambda i: windows[i][0])
        contexts = [windows[i][0] for i in order]
        inner = [len(windows[i][1]) - 1 for i in order]
        plan = plan_calls(contexts, inner, self._batch, int(self._settings["tasks_per_call"]))
        rt = self._runtime
        with tqdm(total=len(windows), desc=description, disable=disable_tqdm) as bar:
            bar.update(len(windows) - len(order))
            for run in plan:
                with rt._lock:
                    rt.prefill(contexts[run.calls[0][0]][: run.shared])
                    for call in run.calls:
                        scores = rt.score_tokens(
                            [list(contexts[k][run.shared :]) + list(windows[order[k]][1]) for k in call],
                            [len(contexts[k]) - run.shared for k in call],
                        )
                        for k, s in zip(call, scores):
                            results[order[k]] = float(s.sum(dtype=np.float64))
                        bar.update(len(call))
        return results

    def _score(
        self, pairs: Sequence[Tuple[Tokens, Tokens]], disable_tqdm: bool, description: str
    ) -> List[Tuple[float, bool]]:
        """(log P(continuation | context), greedy) of each (context,
        continuation) pair, in order; every continuation has a token."""
        results: List[Optional[Tuple[float, bool]]] = [None] * len(pairs)
        tasks: Dict[Tuple[int, ...], List[int]] = {}
        for i, (context, continuation) in enumerate(pairs):
            if not continuation:
                raise ValueError("pair %d has no continuation token to score" % i)
            tasks.setdefault(tuple(context), []).append(i)
        # Sorted contexts put those sharing a preamble side by side: each run
        # of them prefills what it shares once and is scored in short calls.
        order = sorted(tasks)
        inner = [sum(max(len(pairs[i][1]) - 1, 0) for i in tasks[c]) for c in order]
        plan = plan_calls(order, inner, self._batch, int(self._settings["tasks_per_call"]))
        rt = self._runtime
        with tqdm(total=len(pairs), desc=description, disable=disable_tqdm) as bar:
            bar.update(len(pairs) - sum(len(m) for m in tasks.values()))
            for run in plan:
                # The retained prefix must stay ours over the run's calls.
                with rt._lock:
                    rt.prefill(order[run.calls[0][0]][: run.shared])
                    for call in run.calls:
                        contexts = [order[k] for k in call]
                        members = [tasks[c] for c in contexts]
                        scores, flags = rt.score_sequence_batch(
                            [c[run.shared :] for c in contexts],
                            [[pairs[i][1] for i in m] for m in members],
                            greedy=True,
                        )
                        for m, task_scores, task_flags in zip(members, scores, flags):
                            for i, s, g in zip(m, task_scores, task_flags):
                                results[i] = (float(s), bool(g))
                        bar.update(sum(len(m) for m in members))
        if any(r is None for r in results):
            raise RuntimeError("a request was left unscored")
        return results  # type: ignore[return-value]
