"""Turning the caller's token ids into the arrays the library reads.

Every id must be an integer in 0..2**32-1, given as a sequence of ints or as
an integer numpy array; anything else is refused with a ValueError (a
TypeError for a value that is not a sequence at all) before the library is
called, so that no id is wrapped, rounded or truncated on its way in.
"""

from __future__ import annotations

import ctypes
import operator
from typing import Iterable, List, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from ._capi import FloatP, I32P, SizeP, U8P, U32P

# What the package accepts wherever it takes token ids.
Tokens = Union[Sequence[int], npt.NDArray[np.integer]]

_U32_MAX = 0xFFFFFFFF


def tokens(value: Tokens, what: str) -> npt.NDArray[np.uint32]:
    """A new contiguous uint32 array of the ids in value."""
    if isinstance(value, np.ndarray):
        if value.dtype.kind not in "iu":
            raise ValueError("%s must hold integers, not %s values" % (what, value.dtype))
        if value.ndim != 1:
            raise ValueError("%s must be one-dimensional, not of shape %s" % (what, value.shape))
        if value.size and (value.min() < 0 or value.max() > _U32_MAX):
            raise ValueError("%s holds an id outside 0..%d" % (what, _U32_MAX))
        return np.array(value, dtype=np.uint32, order="C", copy=True)
    if isinstance(value, (str, bytes, bytearray)) or not isinstance(value, Iterable):
        raise TypeError("%s must be a sequence of ints or an integer numpy array" % what)
    ids: List[int] = []
    for i, item in enumerate(value):
        if isinstance(item, (bool, np.bool_)):
            raise ValueError("%s[%d] is a bool, not a token id" % (what, i))
        try:
            id_ = operator.index(item)
        except TypeError:
            raise ValueError(
                "%s[%d] is %r, not an integer token id" % (what, i, item)
            ) from None
        if not 0 <= id_ <= _U32_MAX:
            raise ValueError("%s[%d] is %d, outside 0..%d" % (what, i, id_, _U32_MAX))
        ids.append(id_)
    return np.array(ids, dtype=np.uint32)


def flat(items: Iterable[Tokens], what: str) -> Tuple[npt.NDArray[np.uint32], npt.NDArray[np.uintp]]:
    """Runs of ids as one flat array cut by offsets (count + 1 entries from 0).

    items may be any sequence of token sequences, a 2-D integer array included.
    """
    if isinstance(items, (str, bytes, bytearray)) or not isinstance(items, Iterable):
        raise TypeError("%s must be a sequence of token id sequences" % what)
    runs = [tokens(item, "%s[%d]" % (what, i)) for i, item in enumerate(items)]
    offsets = np.zeros(len(runs) + 1, dtype=np.uintp)
    if runs:
        np.cumsum([len(r) for r in runs], out=offsets[1:])
        return np.concatenate(runs), offsets
    return np.zeros(0, dtype=np.uint32), offsets


def u32p(array: npt.NDArray[np.uint32]) -> ctypes._Pointer:  # type: ignore[type-arg]
    return array.ctypes.data_as(U32P)


def sizep(array: npt.NDArray[np.uintp]) -> ctypes._Pointer:  # type: ignore[type-arg]
    return array.ctypes.data_as(SizeP)


def floatp(array: npt.NDArray[np.float32]) -> ctypes._Pointer:  # type: ignore[type-arg]
    return array.ctypes.data_as(FloatP)


def u8p(array: npt.NDArray[np.uint8]) -> ctypes._Pointer:  # type: ignore[type-arg]
    return array.ctypes.data_as(U8P)


def i32p(array: npt.NDArray[np.int32]) -> ctypes._Pointer:  # type: ignore[type-arg]
    return array.ctypes.data_as(I32P)
