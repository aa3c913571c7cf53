"""Runtime: one opened GGUF model and its context, as a Python object."""

from __future__ import annotations

import ctypes
import operator
import os
import threading
from dataclasses import dataclass
from typing import Any, Callable, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import _arrays
from ._arrays import Tokens, floatp, sizep, u32p
from ._capi import Config, lib
from .errors import ERROR_CAPACITY, error_buffer, failure
from .ranking import RankedAnswer, filler_run, prefix_free_groups, shares

_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1

# The longest model description the library produces is 511 bytes.
_DESCRIPTION_CAPACITY = 512


@dataclass(frozen=True)
class Capabilities:
    """What the runtime's context can do, and how much at once."""

    shared_prefix: bool  # prefill and the suffix scorers
    sequence_scores: bool  # score_sequences and score_suffix_sequences
    parallel_suffix: bool  # score_suffix_batch
    multi_root: bool  # score_root_batch
    max_parallel_tasks: int  # tasks of one score_suffix_batch
    max_parallel_suffix_tokens: int  # suffix tokens of one score_suffix_batch; 0: no prefix or no limit
    max_multi_root_tasks: int  # prompts of one score_root_batch
    max_multi_root_tokens: int  # prompt tokens of one score_root_batch


def _int32(value: int, name: str) -> int:
    if isinstance(value, bool):
        raise TypeError("%s must be an int, not bool" % name)
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__)) from None
    if not _INT32_MIN <= number <= _INT32_MAX:
        raise ValueError("%s is %d, outside the 32-bit range of the library's configuration" % (name, number))
    return number


def _text(value: Optional[str], name: str, optional: bool) -> Optional[bytes]:
    """A message as the NUL-terminated UTF-8 the library reads."""
    if value is None:
        if optional:
            return None
        raise TypeError("%s is required" % name)
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (name, type(value).__name__))
    if "\0" in value:
        # The C string would end there and the rest be silently dropped.
        raise ValueError("%s holds a NUL character" % name)
    return value.encode("utf-8")


def _pairs(tasks: Iterable[Tuple[Tokens, Tokens]], what: str) -> Tuple[List[Tokens], List[Tokens]]:
    if isinstance(tasks, (str, bytes)) or not isinstance(tasks, Iterable):
        raise TypeError("%s must be a sequence of (tokens, candidates) pairs" % what)
    firsts: List[Tokens] = []
    seconds: List[Tokens] = []
    for i, task in enumerate(tasks):
        try:
            first, second = task
        except (TypeError, ValueError):
            raise ValueError("%s[%d] is not a (tokens, candidates) pair" % (what, i)) from None
        firsts.append(first)
        seconds.append(second)
    return firsts, seconds


class Runtime:
    """One GGUF model opened with its inference context.

    Use it as a context manager, or call close(). Token ids are accepted as
    any sequence of ints or integer numpy array; results are new numpy arrays.
    Calls on one Runtime are serialised by its lock, so it may be shared
    between threads; distinct Runtimes run in parallel.

    n_ctx, n_batch and n_seq_max of 0 keep llama.cpp's defaults; threads and
    threads_batch of 0 leave the thread counts to llama.cpp (one given sets
    both). A prompt or prefix longer than n_batch cannot be decoded.
    """

    def __init__(
        self,
        model_path: Union[str, bytes, "os.PathLike[str]"],
        *,
        n_ctx: int = 0,
        n_batch: int = 0,
        n_seq_max: int = 0,
        n_gpu_layers: int = 0,
        threads: int = 0,
        threads_batch: int = 0,
    ) -> None:
        self._handle: Any = None
        self._lock = threading.RLock()
        # Kept so that a runtime collected at interpreter exit can still be closed.
        self._close_function: Callable[[Any], None] = lib.vl_llama_close
        path = os.fsencode(model_path)
        self.model_path = os.fsdecode(path)
        if b"\0" in path:
            raise ValueError("model_path holds a NUL character")
        config = Config(
            _int32(n_ctx, "n_ctx"),
            _int32(n_batch, "n_batch"),
            _int32(n_seq_max, "n_seq_max"),
            _int32(n_gpu_layers, "n_gpu_layers"),
            _int32(threads, "threads"),
            _int32(threads_batch, "threads_batch"),
        )
        err = error_buffer()
        handle = lib.vl_llama_open(path, ctypes.byref(config), err, ERROR_CAPACITY)
        if not handle:
            raise failure(err)
        self._handle = handle

    # ---- lifecycle -------------------------------------------------------

    def close(self) -> None:
        """Frees the model and its context; later calls are refused. Idempotent."""
        with self._lock:
            handle, self._handle = self._handle, None
            if handle:
                self._close_function(handle)

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self) -> "Runtime":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # A runtime whose construction failed has no handle and nothing to free.
        if getattr(self, "_handle", None):
            try:
                self.close()
            except Exception:
                pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return "<vorlenta_llama_shim.Runtime %s %r>" % (state, self.model_path)

    # ---- calling the library ---------------------------------------------

    def _open_handle(self) -> Any:
        if self._handle is None:
            raise ValueError("the runtime is closed")
        return self._handle

    def _call(self, function: Callable[..., int], *args: Any) -> int:
        """Calls function(handle, *args, err, cap); raises on a negative result."""
        err = error_buffer()
        with self._lock:
            result = function(self._open_handle(), *args, err, ERROR_CAPACITY)
        if result < 0:
            raise failure(err)
        return result

    # ---- queries ------------------------------------------------------------

    @property
    def capabilities(self) -> Capabilities:
        """The eight capability and capacity queries, read now (the suffix
        token bound depends on the prefix retained at the moment)."""
        with self._lock:
            h = self._open_handle()
            return Capabilities(
                shared_prefix=lib.vl_llama_shared_prefix_supported(h) == 1,
                sequence_scores=lib.vl_llama_sequence_scores_supported(h) == 1,
                parallel_suffix=lib.vl_llama_parallel_suffix_supported(h) == 1,
                multi_root=lib.vl_llama_multi_root_supported(h) == 1,
                max_parallel_tasks=lib.vl_llama_max_parallel_tasks(h),
                max_parallel_suffix_tokens=lib.vl_llama_max_parallel_suffix_tokens(h),
                max_multi_root_tasks=lib.vl_llama_max_multi_root_tasks(h),
                max_multi_root_tokens=lib.vl_llama_max_multi_root_tokens(h),
            )

    @property
    def description(self) -> str:
        """llama.cpp's description of the model, such as "llama ?B all F32"."""
        buffer = ctypes.create_string_buffer(_DESCRIPTION_CAPACITY)
        with self._lock:
            n = self._call(lib.vl_llama_model_desc, buffer, len(buffer))
            if n >= len(buffer):
                buffer = ctypes.create_string_buffer(n + 1)
                n = self._call(lib.vl_llama_model_desc, buffer, len(buffer))
        return buffer.raw[:n].decode("utf-8", errors="replace")

    # ---- text -----------------------------------------------------------------

    def encode_chat(
        self, system: Optional[str], user: str, assistant_prefix: Optional[str] = None
    ) -> npt.NDArray[np.uint32]:
        """The chat prompt's token ids: the system message (None or "" for
        none) and the user message laid out by the model's chat template, the
        assistant turn opened and assistant_prefix appended verbatim."""
        s = _text(system, "system", optional=True)
        u = _text(user, "user", optional=False)
        a = _text(assistant_prefix, "assistant_prefix", optional=True)
        with self._lock:
            n = self._call(lib.vl_llama_encode_chat, s, u, a, None, 0)
            out = np.empty(n, dtype=np.uint32)
            if n:
                n = self._call(lib.vl_llama_encode_chat, s, u, a, u32p(out), n)
        return out[:n]

    def decode(self, tokens: Tokens, errors: str = "replace") -> str:
        """The text of token ids (special tokens are not rendered). A run of
        ids may end inside a UTF-8 character; errors says how bytes.decode
        treats that."""
        ids = _arrays.tokens(tokens, "tokens")
        with self._lock:
            n = self._call(lib.vl_llama_decode_tokens, u32p(ids), len(ids), None, 0)
            buffer = ctypes.create_string_buffer(n + 1)
            n = self._call(lib.vl_llama_decode_tokens, u32p(ids), len(ids), buffer, len(buffer))
        return buffer.raw[:n].decode("utf-8", errors=errors)

    # ---- next-token logits --------------------------------------------------

    def score_next(self, prompt: Tokens, candidates: Tokens) -> npt.NDArray[np.float32]:
        """Raw logits of the candidate ids after the prompt, decoded from
        scratch (this discards a retained prefix)."""
        p = _arrays.tokens(prompt, "prompt")
        c = _arrays.tokens(candidates, "candidates")
        out = np.empty(len(c), dtype=np.float32)
        self._call(lib.vl_llama_score_next, u32p(p), len(p), u32p(c), len(c), floatp(out))
        return out

    def prefill(self, prefix: Tokens) -> None:
        """Decodes prefix once and keeps it for the suffix scorers, until the
        next prefill, score_next, score_sequences or score_root_batch."""
        p = _arrays.tokens(prefix, "prefix")
        self._call(lib.vl_llama_prefill_shared, u32p(p), len(p))

    def score_suffix(self, suffix: Tokens, candidates: Tokens) -> npt.NDArray[np.float32]:
        """Raw logits of the candidates after the retained prefix plus suffix
        (which may be empty)."""
        s = _arrays.tokens(suffix, "suffix")
        c = _arrays.tokens(candidates, "candidates")
        out = np.empty(len(c), dtype=np.float32)
        self._call(lib.vl_llama_score_suffix, u32p(s), len(s), u32p(c), len(c), floatp(out))
        return out

    def score_suffix_batch(
        self, tasks: Iterable[Tuple[Tokens, Tokens]]
    ) -> List[npt.NDArray[np.float32]]:
        """score_suffix for several (suffix, candidates) tasks in one decode;
        one array of logits per task."""
        return self._batch(lib.vl_llama_score_suffix_batch, tasks, "suffixes")

    def score_root_batch(
        self, tasks: Iterable[Tuple[Tokens, Tokens]]
    ) -> List[npt.NDArray[np.float32]]:
        """score_next for several independent (prompt, candidates) tasks in one
        decode; one array of logits per task. Discards a retained prefix."""
        return self._batch(lib.vl_llama_score_root_batch, tasks, "prompts")

    def _batch(
        self, function: Callable[..., int], tasks: Iterable[Tuple[Tokens, Tokens]], what: str
    ) -> List[npt.NDArray[np.float32]]:
        """Both batch scorers: (tokens, candidates) tasks as flat arrays cut by
        offsets, one decode, the logits split back per task."""
        token_lists, candidates = _pairs(tasks, "tasks")
        t, t_offsets = _arrays.flat(token_lists, what)
        c, c_offsets = _arrays.flat(candidates, "candidates")
        out = np.empty(len(c), dtype=np.float32)
        self._call(
            function, u32p(t), sizep(t_offsets), u32p(c), sizep(c_offsets), len(token_lists),
            floatp(out),
        )
        return np.split(out, c_offsets[1:-1].astype(np.intp))

    # ---- sequence log-probabilities -------------------------------------------

    def score_sequences(self, prompt: Tokens, sequences: Sequence[Tokens]) -> npt.NDArray[np.float32]:
        """log P(sequence | prompt) of each candidate sequence, the prompt
        decoded from scratch (this discards a retained prefix). The sequences
        must be distinct and none a prefix of another; rank_answers lifts that."""
        p = _arrays.tokens(prompt, "prompt")
        t, offsets = _arrays.flat(sequences, "sequences")
        out = np.empty(len(offsets) - 1, dtype=np.float32)
        self._call(
            lib.vl_llama_score_sequences, u32p(p), len(p), u32p(t), sizep(offsets), len(out), floatp(out)
        )
        return out

    def score_suffix_sequences(
        self, suffix: Tokens, sequences: Sequence[Tokens]
    ) -> npt.NDArray[np.float32]:
        """log P(sequence | retained prefix + suffix) of each candidate
        sequence; the suffix may be empty."""
        s = _arrays.tokens(suffix, "suffix")
        t, offsets = _arrays.flat(sequences, "sequences")
        out = np.empty(len(offsets) - 1, dtype=np.float32)
        self._call(
            lib.vl_llama_score_suffix_sequences,
            u32p(s), len(s), u32p(t), sizep(offsets), len(out), floatp(out),
        )
        return out

    # ---- answers ----------------------------------------------------------------

    def rank_answers(
        self, system: Optional[str], user: str, answers: Sequence[str]
    ) -> List[RankedAnswer]:
        """The answers ranked by log-probability after the chat prompt, best first.

        Each answer's tokens are those it adds to the prompt when the model
        tokenizes the two together (the prompt encoded with the answer as
        assistant prefix). The prompt is decoded once and stays retained after
        the call. Equal answers get equal scores; answers that are prefixes of
        one another are scored in separate groups against the same prefix.
        """
        if isinstance(answers, (str, bytes)) or not isinstance(answers, Iterable):
            raise TypeError("answers must be a sequence of str")
        texts = list(answers)
        if not texts:
            raise ValueError("rank_answers needs at least one answer")
        for i, answer in enumerate(texts):
            if not isinstance(answer, str):
                raise TypeError("answers[%d] must be a str, not %s" % (i, type(answer).__name__))
        # One lock over the whole request, so that no other thread's call can
        # replace the retained prompt between the prefill and the scoring.
        with self._lock:
            prompt = self.encode_chat(system, user)
            runs = [self._answer_run(system, user, prompt, text, i) for i, text in enumerate(texts)]
            distinct = list(dict.fromkeys(runs))
            score_of = {}
            self.prefill(prompt)
            for group in prefix_free_groups(distinct):
                codebook = [distinct[k] for k in group]
                if len(codebook) == 1:
                    codebook.append(filler_run(codebook[0]))
                scores = self.score_suffix_sequences((), codebook)
                for k, score in zip(group, scores):
                    score_of[distinct[k]] = float(score)
        log_probs = [score_of[run] for run in runs]
        ranked = [
            RankedAnswer(text, i, run, lp, share)
            for i, (text, run, lp, share) in enumerate(zip(texts, runs, log_probs, shares(log_probs)))
        ]
        ranked.sort(key=lambda r: -r.log_prob)
        return ranked

    def _answer_run(
        self, system: Optional[str], user: str, prompt: npt.NDArray[np.uint32], text: str, i: int
    ) -> Tuple[int, ...]:
        whole = self.encode_chat(system, user, text)
        if not np.array_equal(whole[: len(prompt)], prompt):
            raise ValueError(
                "answers[%d] %r changes how the prompt itself tokenizes, so it cannot be "
                "scored as a continuation of the prompt" % (i, text)
            )
        if len(whole) == len(prompt):
            raise ValueError("answers[%d] %r adds no tokens to the prompt" % (i, text))
        return tuple(int(t) for t in whole[len(prompt):])
