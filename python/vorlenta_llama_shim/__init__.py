"""Exact candidate scoring with a local GGUF model, over llama.cpp.

    import vorlenta_llama_shim as vl
    with vl.Runtime("model.gguf", n_ctx=2048, threads=2) as rt:
        for r in rt.rank_answers("You are terse.", "Capital of France?", ["Paris", "Lyon"]):
            print(r.text, r.log_prob, r.share)

The package loads the vorlenta_llama_shim shared library when imported: the
file named by the environment variable VL_LLAMA_SHIM_LIBRARY, else
libvorlenta_llama_shim.so.5 through the dynamic linker.
"""

from ._capi import ABI_VERSION
from .errors import Error
from .generation import Generation
from .options import Options
from .ranking import RankedAnswer
from .runtime import Capabilities, Runtime

__all__ = [
    "ABI_VERSION",
    "Capabilities",
    "Error",
    "Generation",
    "Options",
    "RankedAnswer",
    "Runtime",
]
__version__ = "0.5.0"
