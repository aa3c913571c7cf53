"""The harness model `vorlenta`: lm_eval's LM interface over Runtime.

Requests are tokenized as the harness's own token-level models do it, then
grouped by context into tasks of Runtime.score_sequence_batch: each distinct
context is decoded once with all its continuations, many contexts share one
call, and the tokens a call's contexts share (a few-shot preamble) are
decoded once as the retained prefix.
"""

from __future__ import annotations

import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

from lm_eval import utils as harness_utils
from lm_eval.api.model import LM
from lm_eval.api.registry import register_model
from tqdm import tqdm

from .._call_plan import plan_calls
from ..runtime import Runtime

Tokens = List[int]

# Options of the harness's command line that every model receives; this one
# batches by itself and runs where the library runs, so they change nothing.
_IGNORED_OPTIONS = ("batch_size", "max_batch_size", "device")


class GenerationUnsupported(NotImplementedError):
    """A task asked the model to generate text."""


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
    them; and tasks_per_call (64), the most distinct contexts one library
    call scores (calls are also kept to about 256 tokens past their retained
    prefix).
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
        **options: Any,
    ) -> None:
        super().__init__()
        unknown = sorted(k for k in options if k not in _IGNORED_OPTIONS)
        if unknown:
            raise ValueError(
                "unknown model argument(s) %s; the vorlenta model takes model, n_ctx, n_batch, "
                "n_seq_max, threads, threads_batch, n_gpu_layers, max_length, tasks_per_call"
                % ", ".join(unknown)
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
        if self._settings["n_ctx"] is not None or not pairs:
            return
        window = max(16, max(len(c) + max(len(k) - 1, 0) for c, k in pairs))
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
        (and start is set); special-token text stays text."""
        ids = self._runtime.tokenize(text, add_special=False, parse_special=False).tolist()
        return (self._start + ids) if start else ids

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
        scored = self._score(pairs, disable_tqdm, "vorlenta loglikelihood_rolling")
        totals = [0.0] * len(requests)
        for r, (log_prob, _) in zip(owners, scored):
            totals[r] += log_prob
        for request, total in zip(requests, totals):
            self.cache_hook.add_partial("loglikelihood_rolling", request.args, total)
        return totals

    def generate_until(self, requests: Sequence[Any], disable_tqdm: bool = False) -> List[str]:
        raise GenerationUnsupported(
            "the vorlenta model scores answers and does not generate text: it runs "
            "loglikelihood, multiple-choice and rolling-loglikelihood tasks, not tasks "
            "that need generate_until (%d such requests)" % len(requests)
        )

    # ---- scoring ---------------------------------------------------------

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
