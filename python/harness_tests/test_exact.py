"""The model arguments exact, kv_cache and flash_attention, as the harness's
command line hands them to the model `vorlenta`."""

from __future__ import annotations

from typing import List, Tuple

import pytest
from conftest import MODEL_ARGS, RUNTIME

import vorlenta_llama_shim as vl
from lm_eval.api.instance import Instance
from vorlenta_llama_shim.harness import HarnessModel

ARGS = [("Once upon a time, there was a little", " girl"), ("Lily went to the", " park to play")]
# Exact scores in two batch layouts differ by a few float32 steps (4e-6
# measured); the default choice differs from them by 1e-3 and more.
EXACT_TOLERANCE = 1e-4


def log_probs(model: HarnessModel) -> List[float]:
    requests = [Instance(request_type="loglikelihood", doc={}, arguments=a, idx=i) for i, a in enumerate(ARGS)]
    return [lp for lp, _ in model.loglikelihood(requests)]


def direct(rt: vl.Runtime) -> List[float]:
    out = []
    for context, continuation in ARGS:
        context_ids = rt.tokenize(context).tolist()
        run = rt.tokenize(context + continuation).tolist()[len(context_ids) :]
        out.append(float(rt.score_sequence_batch([context_ids], [[run]])[0][0]))
    return out


@pytest.fixture(scope="module")
def exact_scores(model_path: str) -> List[float]:
    with vl.Runtime(model_path, exact=True, **RUNTIME) as rt:
        return direct(rt)


@pytest.mark.parametrize("extra", [",exact=true", ",kv_cache=f32,flash_attention=off", ",exact=True"])
def test_exact_arguments_score_the_model_arithmetic(extra, exact_scores, model_path):
    model = HarnessModel.create_from_arg_string(MODEL_ARGS + extra)
    assert model._runtime.options.exact
    assert log_probs(model) == pytest.approx(exact_scores, abs=EXACT_TOLERANCE)
    # Python callers may pass the switch as text, as the command line writes it.
    if extra == ",exact=true":
        assert HarnessModel(model=model_path, exact="true", **RUNTIME)._runtime.options.exact
        assert not HarnessModel(model=model_path, exact="no", **RUNTIME)._runtime.options.exact


@pytest.mark.parametrize("extra", ["", ",exact=false", ",kv_cache=f32"])
def test_otherwise_the_scores_are_llama_cpps_defaults(extra, exact_scores):
    model = HarnessModel.create_from_arg_string(MODEL_ARGS + extra)
    assert not model._runtime.options.exact
    got = log_probs(model)
    assert max(abs(a - b) for a, b in zip(got, exact_scores)) > EXACT_TOLERANCE


@pytest.mark.parametrize(
    "extra, message",
    [
        (",exact=maybe", "model argument exact='maybe' is not true or false"),
        (",kv_cache=q4_0", "model arguments: kv_cache='q4_0' is not one of 'f16', 'f32'"),
        (",flash_attention=on", "model arguments: flash_attention='on' is not one of 'auto', 'off'"),
        (",exact=true,kv_cache=f32", "model arguments: give exact or kv_cache and flash_attention, not both"),
    ],
)
def test_bad_option_arguments_are_named(extra, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        HarnessModel.create_from_arg_string(MODEL_ARGS + extra)


def test_a_window_sized_to_the_requests_keeps_the_options(exact_scores, model_path):
    # Without n_ctx the model reopens its context for each run's requests;
    # the new context must compute as the first did.
    model = HarnessModel.create_from_arg_string("model=%s,n_seq_max=4,threads=1,exact=true" % model_path)
    got = log_probs(model)
    assert model._runtime.options.exact
    assert got == pytest.approx(exact_scores, abs=EXACT_TOLERANCE)
