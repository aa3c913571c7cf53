"""The evaluation harness (lm_eval) over this package.

Importing this package registers the model `vorlenta` with the harness:

    python3 -m vorlenta_llama_shim.harness --model vorlenta \\
        --model_args model=model.gguf,n_ctx=2048,threads=2 --tasks hellaswag

It needs lm_eval installed; the rest of vorlenta_llama_shim does not.
"""

from .model import SamplingUnsupported, HarnessModel

__all__ = ["SamplingUnsupported", "HarnessModel"]
