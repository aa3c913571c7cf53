"""The cache type and flash attention: passed to the library at open and on
reconfigure, kept across reconfigures, and checked before the library sees them."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import SMALL, ids

import vorlenta_llama_shim as vl

PROMPT, CANDIDATES = [1] + ids(300, 40), ids(0, 600)


def logits(runtime: vl.Runtime) -> np.ndarray:
    return runtime.score_next(PROMPT, CANDIDATES)


@pytest.fixture(scope="module")
def default_logits(chatml_path: str) -> np.ndarray:
    with vl.Runtime(chatml_path, **SMALL) as runtime:
        assert runtime.options == vl.Options() and not runtime.options.exact
        return logits(runtime)


def test_exact_is_f32_keys_and_values_without_flash_attention(chatml_path, default_logits):
    with vl.Runtime(chatml_path, exact=True, **SMALL) as exact:
        assert exact.options == vl.Options("f32", "off") and exact.options.exact
        exact_logits = logits(exact)
    with vl.Runtime(chatml_path, kv_cache="F32", flash_attention="off", **SMALL) as spelled_out:
        assert spelled_out.options.exact
        np.testing.assert_array_equal(logits(spelled_out), exact_logits)
    # Each option reaches the library: dropping either computes something else.
    assert np.max(np.abs(exact_logits - default_logits)) > 1e-4
    for half in (dict(kv_cache="f16", flash_attention="off"), dict(kv_cache="f32", flash_attention="auto")):
        with vl.Runtime(chatml_path, **half, **SMALL) as runtime:
            assert runtime.options == vl.Options(**half) and not runtime.options.exact
            assert np.max(np.abs(logits(runtime) - exact_logits)) > 1e-4, half


def test_reconfigure_keeps_the_options_unless_told_and_only_once_it_worked(chatml_path, default_logits):
    with vl.Runtime(chatml_path, exact=True, **SMALL) as runtime:
        exact_logits = logits(runtime)
        runtime.reconfigure(**dict(SMALL, n_ctx=256))
        assert runtime.options.exact
        np.testing.assert_array_equal(logits(runtime), exact_logits)

        runtime.reconfigure(**SMALL, flash_attention="auto")
        assert runtime.options == vl.Options("f32", "auto")
        runtime.reconfigure(**SMALL, exact=False)
        assert runtime.options == vl.Options()
        np.testing.assert_array_equal(logits(runtime), default_logits)

        # A context llama.cpp refuses leaves the runtime as it was.
        with pytest.raises(vl.Error, match="llama_init_from_model failed"):
            runtime.reconfigure(n_ctx=64, n_batch=2, n_seq_max=4, exact=True)
        assert runtime.options == vl.Options()
        np.testing.assert_array_equal(logits(runtime), default_logits)


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        (dict(exact=True, kv_cache="f32"), ValueError, "exact or kv_cache"),
        (dict(exact=True, flash_attention="off"), ValueError, "exact or kv_cache"),
        (dict(kv_cache="q8_0"), ValueError, "kv_cache='q8_0' is not one of 'f16', 'f32'"),
        (dict(flash_attention="on"), ValueError, "flash_attention='on' is not one of 'auto', 'off'"),
        (dict(flash_attention=0), TypeError, "flash_attention must be a str"),
        (dict(exact="yes"), TypeError, "exact must be a bool"),
        (dict(exact=1), TypeError, "exact must be a bool"),
    ],
)
def test_arguments_are_checked_before_the_model_loads(tmp_path, arguments, error, message):
    # No model file: a check that came after the open would report that instead.
    with pytest.raises(error, match=message):
        vl.Runtime(str(tmp_path / "absent.gguf"), **arguments)


def test_reconfigure_checks_its_options_first(rt):
    before = rt.options
    with pytest.raises(ValueError, match="not one of"):
        rt.reconfigure(**SMALL, kv_cache="f8")
    assert rt.options == before
