"""The shared library: finding it, and the C signature of every export.

Everything else in the package calls the library through `lib`, whose
functions all carry their argument and result types, so ctypes converts and
checks each argument instead of guessing.
"""

from __future__ import annotations

import ctypes
import os
from typing import Any, Dict, List, Tuple

# The ABI this package was written for; the library's SONAME carries it too.
ABI_VERSION = 5
SONAME = "libvorlenta_llama_shim.so.%d" % ABI_VERSION
LIBRARY_ENV = "VL_LLAMA_SHIM_LIBRARY"


class RuntimeHandle(ctypes.Structure):
    """The opaque vl_llama_runtime; only pointers to it are ever used."""


class Config(ctypes.Structure):
    """vl_llama_config: the open-time configuration."""

    _fields_ = [
        ("n_ctx", ctypes.c_int32),
        ("n_batch", ctypes.c_int32),
        ("n_seq_max", ctypes.c_int32),
        ("n_gpu_layers", ctypes.c_int32),
        ("n_threads", ctypes.c_int32),
        ("n_threads_batch", ctypes.c_int32),
    ]


class Options(ctypes.Structure):
    """vl_llama_options: how the model computes, versioned by its size."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("kv_cache_type", ctypes.c_int32),
        ("flash_attention", ctypes.c_int32),
    ]


# The header's VL_LLAMA_KV_CACHE_ and VL_LLAMA_FLASH_ATTENTION_ constants.
KV_CACHE_TYPES = {"f16": 0, "f32": 1}
FLASH_ATTENTION_MODES = {"auto": 0, "off": 1}


class Message(ctypes.Structure):
    """vl_llama_message: one message of a conversation."""

    _fields_ = [("role", ctypes.c_char_p), ("content", ctypes.c_char_p)]


RuntimeP = ctypes.POINTER(RuntimeHandle)
U32P = ctypes.POINTER(ctypes.c_uint32)
U8P = ctypes.POINTER(ctypes.c_uint8)
I32P = ctypes.POINTER(ctypes.c_int32)
SizeP = ctypes.POINTER(ctypes.c_size_t)
FloatP = ctypes.POINTER(ctypes.c_float)
_char_p = ctypes.c_char_p
_buf_p = ctypes.c_char_p  # output text and error buffers (ctypes string buffers)
_size = ctypes.c_size_t
_i32 = ctypes.c_int32
_i64 = ctypes.c_int64
_u32 = ctypes.c_uint32

# The error buffer pair that ends every fallible function.
_ERR = [_buf_p, _size]

# name: (result type, argument types), in the header's order.
SIGNATURES: Dict[str, Tuple[Any, List[Any]]] = {
    "vl_llama_abi_version": (_i32, []),
    "vl_llama_open": (RuntimeP, [_char_p, ctypes.POINTER(Config)] + _ERR),
    "vl_llama_close": (None, [RuntimeP]),
    "vl_llama_reconfigure": (_i32, [RuntimeP, ctypes.POINTER(Config)] + _ERR),
    "vl_llama_open_with_options": (
        RuntimeP,
        [_char_p, ctypes.POINTER(Config), ctypes.POINTER(Options)] + _ERR,
    ),
    "vl_llama_reconfigure_with_options": (
        _i32,
        [RuntimeP, ctypes.POINTER(Config), ctypes.POINTER(Options)] + _ERR,
    ),
    "vl_llama_shared_prefix_supported": (_i32, [RuntimeP]),
    "vl_llama_sequence_scores_supported": (_i32, [RuntimeP]),
    "vl_llama_parallel_suffix_supported": (_i32, [RuntimeP]),
    "vl_llama_multi_root_supported": (_i32, [RuntimeP]),
    "vl_llama_max_parallel_tasks": (_u32, [RuntimeP]),
    "vl_llama_max_parallel_suffix_tokens": (_size, [RuntimeP]),
    "vl_llama_max_multi_root_tasks": (_u32, [RuntimeP]),
    "vl_llama_max_multi_root_tokens": (_size, [RuntimeP]),
    "vl_llama_model_info": (_i64, [RuntimeP, _i32]),
    "vl_llama_encode_chat": (_i64, [RuntimeP, _char_p, _char_p, _char_p, U32P, _size] + _ERR),
    "vl_llama_decode_tokens": (_i64, [RuntimeP, U32P, _size, _buf_p, _size] + _ERR),
    "vl_llama_tokenize": (_i64, [RuntimeP, _char_p, _size, _i32, _i32, U32P, _size] + _ERR),
    "vl_llama_token_piece": (_i64, [RuntimeP, _u32, _buf_p, _size] + _ERR),
    "vl_llama_model_desc": (_i64, [RuntimeP, _buf_p, _size] + _ERR),
    "vl_llama_score_next": (_i32, [RuntimeP, U32P, _size, U32P, _size, FloatP] + _ERR),
    "vl_llama_prefill_shared": (_i32, [RuntimeP, U32P, _size] + _ERR),
    "vl_llama_score_suffix": (_i32, [RuntimeP, U32P, _size, U32P, _size, FloatP] + _ERR),
    "vl_llama_score_suffix_batch": (_i32, [RuntimeP, U32P, SizeP, U32P, SizeP, _size, FloatP] + _ERR),
    "vl_llama_score_root_batch": (_i32, [RuntimeP, U32P, SizeP, U32P, SizeP, _size, FloatP] + _ERR),
    "vl_llama_score_sequences": (_i32, [RuntimeP, U32P, _size, U32P, SizeP, _size, FloatP] + _ERR),
    "vl_llama_score_suffix_sequences": (
        _i32,
        [RuntimeP, U32P, _size, U32P, SizeP, _size, FloatP] + _ERR,
    ),
    "vl_llama_score_sequence_batch": (
        _i32,
        [RuntimeP, U32P, SizeP, U32P, SizeP, SizeP, _size, FloatP, U8P] + _ERR,
    ),
    "vl_llama_generate": (
        _i32,
        [RuntimeP, U32P, SizeP, _size, _buf_p, SizeP, SizeP, U32P, SizeP, SizeP, I32P] + _ERR,
    ),
    "vl_llama_apply_chat_template": (
        _i64,
        [RuntimeP, ctypes.POINTER(Message), _size, _i32, _buf_p, _size] + _ERR,
    ),
    "vl_llama_chat_template": (_i64, [RuntimeP, _buf_p, _size] + _ERR),
    "vl_llama_score_tokens": (_i32, [RuntimeP, U32P, SizeP, SizeP, _size, FloatP, U8P] + _ERR),
    "vl_llama_extend_shared": (_i32, [RuntimeP, U32P, _size, _i32, _size, FloatP, _size] + _ERR),
}


def _open_library() -> ctypes.CDLL:
    """Loads the library named by VL_LLAMA_SHIM_LIBRARY, else by its SONAME.

    A set variable is taken as the one library wanted: when it names nothing
    loadable that is reported, rather than quietly loading another copy.
    """
    hint = (
        "set %s to the path of the built library, or install %s where the "
        "dynamic linker finds it" % (LIBRARY_ENV, SONAME)
    )
    path = os.environ.get(LIBRARY_ENV)
    if path:
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            raise ImportError(
                "cannot load the vorlenta_llama_shim library from %s=%s (%s); "
                "unset it to look up %s through the dynamic linker, or point it "
                "at the built library" % (LIBRARY_ENV, path, e, SONAME)
            ) from None
    try:
        return ctypes.CDLL(SONAME)
    except OSError as e:
        raise ImportError(
            "cannot load the vorlenta_llama_shim library %s (%s); %s" % (SONAME, e, hint)
        ) from None


def _declare(library: ctypes.CDLL) -> ctypes.CDLL:
    for name, (restype, argtypes) in SIGNATURES.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise ImportError(
                "the library %s lacks the function %s" % (library._name, name)
            ) from None
        function.restype = restype
        function.argtypes = argtypes
    return library


def load() -> ctypes.CDLL:
    """The library with every export declared, after checking its ABI.

    The version is checked first, so that a library of another ABI is named
    as such rather than by whichever function it happens to lack.
    """
    library = _open_library()
    try:
        version = library.vl_llama_abi_version
    except AttributeError:
        raise ImportError(
            "%s is not the vorlenta_llama_shim library: it lacks vl_llama_abi_version"
            % library._name
        ) from None
    version.restype, version.argtypes = SIGNATURES["vl_llama_abi_version"]
    found = version()
    if found != ABI_VERSION:
        raise ImportError(
            "the library %s has ABI version %d, but this package needs version %d"
            % (library._name, found, ABI_VERSION)
        )
    return _declare(library)


lib = load()
