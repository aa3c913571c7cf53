"""Runtime: one opened GGUF model and its context, as a Python object."""

from __future__ import annotations

import contextlib
import ctypes
import operator
import os
import threading
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import _arrays, generation
from ._arrays import Tokens, floatp, i32p, sizep, u8p, u32p
from ._capi import Config, Message, lib
from .errors import ERROR_CAPACITY, error_buffer, failure
from .generation import Generation, StopStrings
from .options import DEFAULT as _DEFAULT_OPTIONS
from .options import Options
from .ranking import Question, RankedAnswer, common_prefix, shares

_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1

# The longest model description the library produces is 511 bytes.
_DESCRIPTION_CAPACITY = 512
# What vl_llama_model_info answers (the header's VL_LLAMA_INFO_ constants).
_INFO_N_CTX_TRAIN, _INFO_HAS_CHAT_TEMPLATE, _INFO_START_TOKEN, _INFO_END_TOKEN, _INFO_N_VOCAB = range(5)
_INFO_BOS_TOKEN, _INFO_EOS_TOKEN = 5, 6


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

    Threads: distinct Runtimes run in parallel. One Runtime may be shared
    between threads; each call on it runs alone (a lock serialises them), and
    rank_answers and rank_many hold it over their whole request. Between two
    calls, though, another thread's call may run: its prefill, score_next,
    score_sequences or score_root_batch replaces the prefix a prefill retained,
    so suffix calls that rely on a prefill belong in a retained(prefix) block,
    which keeps every other thread's calls out until the block ends.

    n_ctx, n_batch and n_seq_max of 0 keep llama.cpp's defaults; threads and
    threads_batch of 0 leave the thread counts to llama.cpp (one given sets
    both). A prompt or prefix longer than n_batch cannot be decoded.

    exact=True keeps keys and values in F32 and turns flash attention off,
    so that scores are the model's own float32 arithmetic (what a float32
    reference implementation computes) rather than llama.cpp's faster
    default; kv_cache ("f16", "f32") and flash_attention ("auto", "off")
    set the two separately. See Options.
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
        exact: bool = False,
        kv_cache: Optional[str] = None,
        flash_attention: Optional[str] = None,
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
        options = Options.choose(
            _DEFAULT_OPTIONS, None if exact is False else exact, kv_cache, flash_attention
        )
        err = error_buffer()
        handle = lib.vl_llama_open_with_options(
            path, ctypes.byref(config), ctypes.byref(options.struct()), err, ERROR_CAPACITY
        )
        if not handle:
            raise failure(err)
        self._handle = handle
        self._options = options

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

    def reconfigure(
        self,
        *,
        n_ctx: int = 0,
        n_batch: int = 0,
        n_seq_max: int = 0,
        threads: int = 0,
        threads_batch: int = 0,
        exact: Optional[bool] = None,
        kv_cache: Optional[str] = None,
        flash_attention: Optional[str] = None,
    ) -> None:
        """Replaces the context by one with these settings (as the constructor
        takes them), keeping the loaded model and its layers. The retained
        prefix is discarded; on failure the runtime is left as it was.
        Options not given stay as they are (exact=False: the defaults)."""
        options = Options.choose(self.options, exact, kv_cache, flash_attention)
        config = Config(
            _int32(n_ctx, "n_ctx"),
            _int32(n_batch, "n_batch"),
            _int32(n_seq_max, "n_seq_max"),
            0,
            _int32(threads, "threads"),
            _int32(threads_batch, "threads_batch"),
        )
        with self._lock:
            self._call(
                lib.vl_llama_reconfigure_with_options, ctypes.byref(config), ctypes.byref(options.struct())
            )
            self._options = options

    @property
    def options(self) -> Options:
        """The cache type and attention the context computes with."""
        with self._lock:
            self._open_handle()
            return self._options

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

    def _model_info(self, what: int) -> int:
        with self._lock:
            return int(lib.vl_llama_model_info(self._open_handle(), what))

    @property
    def n_ctx_train(self) -> int:
        """The context length the model was trained with."""
        return self._model_info(_INFO_N_CTX_TRAIN)

    @property
    def has_chat_template(self) -> bool:
        """Whether the model has a chat template (encode_chat can run)."""
        return self._model_info(_INFO_HAS_CHAT_TEMPLATE) == 1

    @property
    def start_token(self) -> Optional[int]:
        """The token tokenize puts first with add_special, or None."""
        token = self._model_info(_INFO_START_TOKEN)
        return None if token < 0 else token

    @property
    def end_token(self) -> Optional[int]:
        """The token tokenize appends with add_special, or None."""
        token = self._model_info(_INFO_END_TOKEN)
        return None if token < 0 else token

    @property
    def bos_token(self) -> Optional[int]:
        """The vocabulary's start-of-text id, whether or not tokenize adds it,
        or None when it has none."""
        token = self._model_info(_INFO_BOS_TOKEN)
        return None if token < 0 else token

    @property
    def eos_token(self) -> Optional[int]:
        """The vocabulary's end-of-text id, whether or not tokenize adds it,
        or None when it has none."""
        token = self._model_info(_INFO_EOS_TOKEN)
        return None if token < 0 else token

    @property
    def prefix_token(self) -> Optional[int]:
        """The token an empty context is conditioned on, as the evaluation
        harness's models choose it: the start-of-text id, else the
        end-of-text id; None when the vocabulary has neither."""
        bos = self.bos_token
        return bos if bos is not None else self.eos_token

    @property
    def n_vocab(self) -> int:
        """The vocabulary's size; valid token ids are below it."""
        return self._model_info(_INFO_N_VOCAB)

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

    def tokenize(
        self, text: str, *, add_special: bool = True, parse_special: bool = False
    ) -> npt.NDArray[np.uint32]:
        """The token ids of text with the model's own vocabulary, no chat
        template: add_special lets the vocabulary add its start (and end)
        tokens, parse_special turns special-token text into special tokens."""
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")
        data = text.encode("utf-8")
        flags = (1 if add_special else 0, 1 if parse_special else 0)
        with self._lock:
            n = self._call(lib.vl_llama_tokenize, data, len(data), *flags, None, 0)
            out = np.empty(n, dtype=np.uint32)
            if n:
                n = self._call(lib.vl_llama_tokenize, data, len(data), *flags, u32p(out), n)
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

    def token_piece(self, token: int) -> str:
        """The text of one token as the model reads it, special tokens written
        out (the start token gives its text, where decode gives nothing)."""
        if isinstance(token, bool) or not isinstance(token, (int, np.integer)):
            raise TypeError(f"token must be an int, not {type(token).__name__}")
        if not 0 <= int(token) <= 0xFFFFFFFF:
            raise ValueError(f"token {token} is not a token id")
        with self._lock:
            n = self._call(lib.vl_llama_token_piece, int(token), None, 0)
            buffer = ctypes.create_string_buffer(n + 1)
            n = self._call(lib.vl_llama_token_piece, int(token), buffer, len(buffer))
        return buffer.raw[:n].decode("utf-8", errors="replace")

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

    @contextlib.contextmanager
    def retained(self, prefix: Tokens) -> Iterator["Runtime"]:
        """Prefills prefix and holds the runtime for this thread until the
        block ends, so that the suffix calls made in it score after prefix:

            with runtime.retained(prompt):
                a = runtime.score_suffix(suffix_a, candidates)
                b = runtime.score_suffix(suffix_b, candidates)

        Other threads' calls wait for the block; this thread's calls in it run
        as usual (a call that discards the prefix still discards it)."""
        with self._lock:
            self.prefill(prefix)
            yield self

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

    def score_sequence_batch(
        self,
        contexts: Sequence[Tokens],
        candidates: Sequence[Sequence[Tokens]],
        *,
        greedy: bool = False,
    ) -> Any:
        """log P(candidate | context) for many tasks' candidates in few decodes.

        Task t is contexts[t] with the candidate token runs candidates[t] (at
        least one, non-empty). Candidates may be equal (equal scores) or begin
        one another; a single candidate gives the log-probability of that one
        continuation. With a retained prefix every context follows it and may
        be empty; without one every context starts the sequence from position
        0, must not be empty, and the call clears the memory.

        Returns one float32 array of scores per task. With greedy=True returns
        (scores, flags): flags holds one bool array per task, True where every
        token of the candidate was the model's most probable next token.
        """
        if isinstance(contexts, (str, bytes)) or not isinstance(contexts, Iterable):
            raise TypeError("contexts must be a sequence of token id sequences")
        if isinstance(candidates, (str, bytes)) or not isinstance(candidates, Iterable):
            raise TypeError("candidates must be a sequence of candidate lists, one per task")
        context_list = list(contexts)
        candidate_lists = list(candidates)
        if len(context_list) != len(candidate_lists):
            raise ValueError(
                "%d contexts but %d candidate lists: one of each per task"
                % (len(context_list), len(candidate_lists))
            )
        c, c_offsets = _arrays.flat(context_list, "contexts")
        runs: List[Tokens] = []
        task_offsets = np.zeros(len(candidate_lists) + 1, dtype=np.uintp)
        for t, task in enumerate(candidate_lists):
            if isinstance(task, (str, bytes)) or not isinstance(task, Iterable):
                raise TypeError("candidates[%d] must be a sequence of token id sequences" % t)
            task_runs = list(task)
            if not task_runs:
                raise ValueError("candidates[%d] holds no candidate" % t)
            runs.extend(_arrays.tokens(run, "candidates[%d][%d]" % (t, k)) for k, run in enumerate(task_runs))
            task_offsets[t + 1] = len(runs)
        s, s_offsets = _arrays.flat(runs, "candidates")
        scores = np.empty(len(runs), dtype=np.float32)
        flags = np.zeros(len(runs), dtype=np.uint8) if greedy else None
        self._call(
            lib.vl_llama_score_sequence_batch,
            u32p(c) if len(c) else None, sizep(c_offsets), u32p(s), sizep(s_offsets),
            sizep(task_offsets), len(candidate_lists), floatp(scores),
            u8p(flags) if flags is not None else None,
        )
        cuts = task_offsets[1:-1].astype(np.intp)
        per_task = np.split(scores, cuts)
        if flags is None:
            return per_task
        return per_task, np.split(flags.astype(bool), cuts)

    # ---- generation and conversations ------------------------------------------

    def generate(
        self,
        prompts: Sequence[Tokens],
        max_new_tokens: Union[int, Sequence[int]],
        stop: StopStrings = None,
    ) -> List[Generation]:
        """Greedy continuations of many prompts, decoded side by side.

        Each prompt stops at its limit of new tokens (one int for all, or one
        per prompt), at an end-of-generation token, or once its text holds
        one of its stop strings (stop: one list for all prompts, or one list
        per prompt). With a retained prefix the prompts follow it and may be
        empty, and the prefix stays; without one the call clears the memory.
        Returns one Generation per prompt, in order."""
        if isinstance(prompts, (str, bytes)) or not isinstance(prompts, Iterable):
            raise TypeError("prompts must be a sequence of token id sequences")
        prompt_list = list(prompts)
        if not prompt_list:
            return []
        p, p_offsets = _arrays.flat(prompt_list, "prompts")
        counts_wanted = generation.limits(max_new_tokens, len(prompt_list))
        stops = generation.stop_lists(stop, len(prompt_list))
        text, s_offsets, s_sets = generation.flat_stops(stops)
        out_offsets = np.zeros(len(prompt_list) + 1, dtype=np.uintp)
        np.cumsum(counts_wanted, out=out_offsets[1:])
        out = np.zeros(int(out_offsets[-1]), dtype=np.uint32)
        counts = np.zeros(len(prompt_list), dtype=np.uintp)
        reasons = np.zeros(len(prompt_list), dtype=np.int32)
        with self._lock:
            self._call(
                lib.vl_llama_generate,
                u32p(p) if len(p) else None, sizep(p_offsets), len(prompt_list),
                text, sizep(s_offsets), sizep(s_sets),
                u32p(out) if len(out) else None, sizep(out_offsets), sizep(counts), i32p(reasons),
            )
            results = []
            for i in range(len(prompt_list)):
                start = int(out_offsets[i])
                ids = out[start : start + int(counts[i])].copy()
                results.append(
                    Generation(ids, generation.cut(self.decode(ids), stops[i]), generation.STOP_REASONS[int(reasons[i])])
                )
        return results

    def apply_chat_template(self, messages: Iterable[Any], add_generation_prompt: bool = True) -> str:
        """The conversation laid out with the model's chat template by
        llama.cpp's built-in template engine: messages are {"role": ...,
        "content": ...} dicts or (role, content) pairs; add_generation_prompt
        opens the assistant's turn at the end."""
        pairs = generation.messages(messages)
        array = (Message * max(len(pairs), 1))(*[Message(r, c) for r, c in pairs])
        flag = 1 if add_generation_prompt else 0
        with self._lock:
            n = self._call(lib.vl_llama_apply_chat_template, array, len(pairs), flag, None, 0)
            buffer = ctypes.create_string_buffer(n + 1)
            n = self._call(lib.vl_llama_apply_chat_template, array, len(pairs), flag, buffer, len(buffer))
        return buffer.raw[:n].decode("utf-8", errors="replace")

    @property
    def chat_template(self) -> Optional[str]:
        """The model's chat template as its file holds it (a Jinja text), or
        None when it has none."""
        with self._lock:
            n = self._call(lib.vl_llama_chat_template, None, 0)
            buffer = ctypes.create_string_buffer(n + 1)
            n = self._call(lib.vl_llama_chat_template, buffer, len(buffer))
        return buffer.raw[:n].decode("utf-8", errors="replace") if n else None

    # ---- every token of a text -------------------------------------------------

    def score_tokens(
        self,
        sequences: Sequence[Tokens],
        context_counts: Union[None, int, Sequence[int]] = None,
        *,
        greedy: bool = False,
    ) -> Any:
        """log P(token | all the tokens before it) of every token of each
        sequence (teacher forcing), many sequences packed into few decodes.

        sequences is a sequence of token id sequences (or a 2-D integer
        array). The first context_counts[s] tokens of sequence s (one int
        for all, or None for none) are context only: they score 0 and count
        as greedy, so that a sequence's sum is the log-probability of its
        scored tokens given its context. With a retained prefix every
        sequence follows it and its first token is scored from the prefix;
        without one every sequence starts at position 0, its first token is
        always context, and the call clears the memory.

        Returns one float32 array per sequence, of its length. With
        greedy=True returns (scores, flags): flags holds one bool array per
        sequence, True where the token was the most probable next token.
        """
        if isinstance(sequences, (str, bytes)) or not isinstance(sequences, Iterable):
            raise TypeError("sequences must be a sequence of token id sequences")
        t, offsets = _arrays.flat(sequences, "sequences")
        n = len(offsets) - 1
        counts = _context_counts(context_counts, n)
        scores = np.empty(len(t), dtype=np.float32)
        flags = np.empty(len(t), dtype=np.uint8) if greedy else None
        if n == 0:
            return ([], []) if greedy else []
        self._call(
            lib.vl_llama_score_tokens,
            u32p(t) if len(t) else None, sizep(offsets), sizep(counts) if counts is not None else None, n,
            floatp(scores), u8p(flags) if flags is not None else None,
        )
        cuts = offsets[1:-1].astype(np.intp)
        per_sequence = np.split(scores, cuts)
        if flags is None:
            return per_sequence
        return per_sequence, np.split(flags.astype(bool), cuts)

    def extend(
        self, tokens: Tokens, *, rows_from: Optional[int] = None, restart: bool = False
    ) -> npt.NDArray[np.float32]:
        """Appends tokens to the retained prefix (with restart, or with none
        retained, clears the memory and starts a new one from position 0), in
        as many decodes as they take; the suffix scorers then continue after
        them.

        With rows_from (an index into tokens; negative counts from the end)
        returns the log-softmax of the next-token distribution after each
        token from rows_from on, as an array of shape (rows, n_vocab): row j
        holds log P(i | prefix + tokens[: rows_from + j + 1]). Without it
        returns an array of no rows. On failure the prefix is as before.
        """
        ids = _arrays.tokens(tokens, "tokens")
        n = len(ids)
        if rows_from is None:
            start = n
        else:
            start = operator.index(rows_from)
            if start < 0:
                start += n
            if not 0 <= start <= n:
                raise ValueError("rows_from %d is outside the %d tokens" % (rows_from, n))
        with self._lock:
            vocab = self.n_vocab
            rows = np.empty((n - start, vocab), dtype=np.float32)
            self._call(
                lib.vl_llama_extend_shared, u32p(ids) if n else None, n, 1 if restart else 0, start,
                floatp(rows) if rows.size else None, rows.size,
            )
        return rows

    # ---- answers ----------------------------------------------------------------

    def rank_answers(
        self, system: Optional[str], user: str, answers: Sequence[str]
    ) -> List[RankedAnswer]:
        """The answers ranked by log-probability after the chat prompt, best first.

        Each answer's tokens are those it adds to the prompt when the model
        tokenizes the two together (the prompt encoded with the answer as
        assistant prefix). The prompt is decoded once and stays retained after
        the call. Equal answers get equal scores, and answers may begin one
        another: all are scored in one batched call.
        """
        return self.rank_many([(system, user, _answer_texts(answers, "answers"))])[0]

    def rank_many(self, questions: Iterable[Question]) -> List[List[RankedAnswer]]:
        """rank_answers for many (system, user, answers) questions at once.

        Returns one ranking per question, in order, each as rank_answers gives
        it. The tokens all the prompts share (the chat template's opening, a
        common system message) are decoded once and stay retained after the
        call; each prompt's remainder and its answers are tasks of one batched
        call (prompts that share no token at all are grouped by their first
        token, one call per group).
        """
        if isinstance(questions, (str, bytes)) or not isinstance(questions, Iterable):
            raise TypeError("questions must be a sequence of (system, user, answers) triples")
        triples = []
        for q, question in enumerate(questions):
            try:
                system, user, answers = question
            except (TypeError, ValueError):
                raise ValueError("questions[%d] is not a (system, user, answers) triple" % q) from None
            triples.append((system, user, _answer_texts(answers, "questions[%d] answers" % q)))
        if not triples:
            return []
        # One lock over the whole request, so that no other thread's call can
        # replace the retained prefix between the prefill and the scoring.
        with self._lock:
            end = self._added_end_token()
            prompts = [_without_end(self.encode_chat(system, user).tolist(), end) for system, user, _ in triples]
            runs = [
                [self._answer_run(system, user, prompt, text, i, end) for i, text in enumerate(texts)]
                for (system, user, texts), prompt in zip(triples, prompts)
            ]
            log_probs: List[List[float]] = [[] for _ in triples]
            groups: dict = {}
            for q, prompt in enumerate(prompts):
                groups.setdefault(prompt[0] if prompt else None, []).append(q)
            for members in groups.values():
                shared = common_prefix([prompts[q] for q in members])
                self.prefill(shared)
                scores = self.score_sequence_batch(
                    [prompts[q][len(shared):] for q in members], [runs[q] for q in members]
                )
                for q, task_scores in zip(members, scores):
                    log_probs[q] = [float(x) for x in task_scores]
        rankings = []
        for (_, _, texts), question_runs, lps in zip(triples, runs, log_probs):
            ranked = [
                RankedAnswer(text, i, run, lp, share)
                for i, (text, run, lp, share) in enumerate(zip(texts, question_runs, lps, shares(lps)))
            ]
            ranked.sort(key=lambda r: -r.log_prob)
            rankings.append(ranked)
        return rankings

    def _added_end_token(self) -> Optional[int]:
        """The token the vocabulary adds after every text it tokenizes with its
        special tokens (an end-of-text token), or None when it adds none."""
        with_special = self.tokenize("a", add_special=True).tolist()
        bare = self.tokenize("a", add_special=False).tolist()
        if bare and len(with_special) > len(bare) and with_special[-len(bare) - 1 : -1] == bare:
            return with_special[-1]
        return None

    def _answer_run(
        self, system: Optional[str], user: str, prompt: Sequence[int], text: str, i: int,
        end: Optional[int] = None,
    ) -> Tuple[int, ...]:
        # An end token the vocabulary adds would stand between the prompt and
        # the answer: it is part of neither, as vl-eval splits them.
        whole = _without_end(self.encode_chat(system, user, text).tolist(), end)
        if whole[: len(prompt)] != list(prompt):
            raise ValueError(
                "answers[%d] %r changes how the prompt itself tokenizes, so it cannot be "
                "scored as a continuation of the prompt" % (i, text)
            )
        if len(whole) == len(prompt):
            raise ValueError("answers[%d] %r adds no tokens to the prompt" % (i, text))
        return tuple(whole[len(prompt):])


def _without_end(tokens: List[int], end: Optional[int]) -> List[int]:
    return tokens[:-1] if end is not None and tokens and tokens[-1] == end else tokens


def _context_counts(value: Union[None, int, Sequence[int]], n: int) -> Optional[npt.NDArray[np.uintp]]:
    """Context counts as the library reads them: one per sequence, or None."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)):
        raise TypeError("context_counts must be an int or a sequence of ints, not bool")
    if isinstance(value, (int, np.integer)):
        items: List[int] = [int(value)] * n
    else:
        if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
            raise TypeError("context_counts must be an int or a sequence of ints")
        items = []
        for i, item in enumerate(value):
            if isinstance(item, (bool, np.bool_)):
                raise TypeError("context_counts[%d] is a bool, not a count" % i)
            items.append(operator.index(item))
        if len(items) != n:
            raise ValueError("%d context counts for %d sequences" % (len(items), n))
    if any(c < 0 for c in items):
        raise ValueError("a context count is negative")
    return np.array(items, dtype=np.uintp)


def _answer_texts(answers: Sequence[str], what: str) -> List[str]:
    if isinstance(answers, (str, bytes)) or not isinstance(answers, Iterable):
        raise TypeError("%s must be a sequence of str" % what)
    texts = list(answers)
    if not texts:
        raise ValueError("%s: at least one answer is needed" % what)
    for i, answer in enumerate(texts):
        if not isinstance(answer, str):
            raise TypeError("%s[%d] must be a str, not %s" % (what, i, type(answer).__name__))
    return texts
