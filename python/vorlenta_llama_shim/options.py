"""How a runtime's model computes: the cache type and flash attention."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Dict, Optional

from ._capi import FLASH_ATTENTION_MODES, KV_CACHE_TYPES
from ._capi import Options as _Struct


@dataclass(frozen=True)
class Options:
    """kv_cache: "f16" (llama.cpp's default) or "f32"; flash_attention:
    "auto" (llama.cpp's choice for the device) or "off". Options.EXACT, F32
    keys and values without flash attention, computes what the model's own
    float32 arithmetic computes; the defaults are faster and use half the
    cache memory."""

    kv_cache: str = "f16"
    flash_attention: str = "auto"

    def __post_init__(self) -> None:
        object.__setattr__(self, "kv_cache", _choice(self.kv_cache, "kv_cache", KV_CACHE_TYPES))
        object.__setattr__(
            self, "flash_attention", _choice(self.flash_attention, "flash_attention", FLASH_ATTENTION_MODES)
        )

    @property
    def exact(self) -> bool:
        return self == EXACT

    def struct(self) -> _Struct:
        """The library's versioned vl_llama_options for these options."""
        return _Struct(
            ctypes.sizeof(_Struct), KV_CACHE_TYPES[self.kv_cache], FLASH_ATTENTION_MODES[self.flash_attention]
        )

    @classmethod
    def choose(
        cls,
        current: "Options",
        exact: Optional[bool],
        kv_cache: Optional[str],
        flash_attention: Optional[str],
    ) -> "Options":
        """The options a call asks for: exact=True the exact ones, exact=False
        the defaults, or current with the options given replaced."""
        if exact is not None:
            if kv_cache is not None or flash_attention is not None:
                raise ValueError("give exact or kv_cache and flash_attention, not both")
            if not isinstance(exact, bool):
                raise TypeError("exact must be a bool, not %s" % type(exact).__name__)
            return EXACT if exact else DEFAULT
        return cls(
            current.kv_cache if kv_cache is None else kv_cache,
            current.flash_attention if flash_attention is None else flash_attention,
        )


def _choice(value: object, name: str, choices: Dict[str, int]) -> str:
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (name, type(value).__name__))
    if value.lower() not in choices:
        raise ValueError(
            "%s=%r is not one of %s" % (name, value, ", ".join(repr(c) for c in choices))
        )
    return value.lower()


DEFAULT = Options()
EXACT = Options("f32", "off")
