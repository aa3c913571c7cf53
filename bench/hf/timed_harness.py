#!/usr/bin/env python3
"""The harness's own command line (lm_eval's cli_evaluate, with the model
`vorlenta` registered), the time its model spends in loglikelihood added up
and written to the file VL_BENCH_SCORING_SECONDS names: the scoring alone,
tokenization included, without the process's start, model loading and task
building."""
import functools
import os
import time

from lm_eval.__main__ import cli_evaluate
from lm_eval.models.huggingface import HFLM

from vorlenta_llama_shim.harness.model import HarnessModel

spent = [0.0]


def timed(method):
    @functools.wraps(method)
    def wrapper(self, *args, **kwargs):
        start = time.perf_counter()
        try:
            return method(self, *args, **kwargs)
        finally:
            spent[0] += time.perf_counter() - start

    return wrapper


HFLM.loglikelihood = timed(HFLM.loglikelihood)
HarnessModel.loglikelihood = timed(HarnessModel.loglikelihood)

if __name__ == "__main__":
    try:
        cli_evaluate()
    finally:
        with open(os.environ["VL_BENCH_SCORING_SECONDS"], "w") as f:
            f.write("%.6f\n" % spent[0])
