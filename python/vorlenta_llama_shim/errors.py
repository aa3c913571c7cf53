"""The exceptions the package raises for the library's failures."""

from __future__ import annotations

import ctypes


class Error(RuntimeError):
    """A call of the library failed; the message is the library's own, exactly."""


# Room for any of the library's messages (the longest is under 100 bytes).
ERROR_CAPACITY = 256


def error_buffer() -> ctypes.Array:  # type: ignore[type-arg]
    return ctypes.create_string_buffer(ERROR_CAPACITY)


def failure(err: ctypes.Array) -> Exception:  # type: ignore[type-arg]
    """The exception for a failed call, from what it wrote into err.

    The library writes nothing when memory ran out, which is the one failure
    without a message.
    """
    message = err.value
    if not message:
        return MemoryError("the vorlenta_llama_shim library ran out of memory")
    return Error(message.decode("utf-8", errors="replace"))
