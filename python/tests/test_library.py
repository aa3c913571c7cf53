"""Finding and loading the library, and the declarations of its exports."""

from __future__ import annotations

import ctypes
import os
import re
import shutil
import subprocess
import sys
from typing import Dict, Optional

import pytest
from conftest import CHECKOUT

from vorlenta_llama_shim import _capi

PACKAGE_DIR = str(CHECKOUT / "python")


def import_with(library: Optional[str]) -> subprocess.CompletedProcess:
    """Imports the package in a fresh interpreter with VL_LLAMA_SHIM_LIBRARY set
    to library (or unset), nothing else pointing at the build."""
    env: Dict[str, str] = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", _capi.LIBRARY_ENV)}
    env["PYTHONPATH"] = PACKAGE_DIR
    if library is not None:
        env[_capi.LIBRARY_ENV] = library
    return subprocess.run(
        [sys.executable, "-c", "import vorlenta_llama_shim"],
        env=env, capture_output=True, text=True, timeout=60,
    )


def test_a_wrong_path_is_one_import_error_naming_the_variable_and_the_soname(tmp_path):
    missing = str(tmp_path / "no-such-library.so")
    result = import_with(missing)
    assert result.returncode != 0
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: ")
    assert missing in last and "VL_LLAMA_SHIM_LIBRARY" in last and _capi.SONAME in last


def test_without_the_variable_the_soname_is_looked_up_and_named_when_missing():
    # Asked in a fresh process: this one has the built library loaded already,
    # and the dynamic linker would hand that back for its SONAME.
    probe = subprocess.run(
        [sys.executable, "-c", "import ctypes; ctypes.CDLL(%r)" % _capi.SONAME],
        env={k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"},
        capture_output=True, timeout=60,
    )
    if probe.returncode == 0:
        pytest.skip("%s is installed where the dynamic linker finds it" % _capi.SONAME)
    result = import_with(None)
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: ")
    assert _capi.SONAME in last and "VL_LLAMA_SHIM_LIBRARY" in last


def test_a_library_of_another_abi_is_refused_with_the_version_found(tmp_path):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build a stand-in library")
    source = tmp_path / "other_abi.c"
    source.write_text("int vl_llama_abi_version(void) { return 4; }\n")
    library = tmp_path / "libother_abi.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(library), str(source)], check=True, timeout=60)
    result = import_with(str(library))
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: ")
    assert "ABI version 4" in last and "needs version 5" in last


# ---- every export of the header is declared, with the header's types ---------

_SCALARS = {
    "void": None,
    "int32_t": ctypes.c_int32,
    "int64_t": ctypes.c_int64,
    "uint32_t": ctypes.c_uint32,
    "size_t": ctypes.c_size_t,
}
_POINTERS = {
    "vl_llama_runtime": _capi.RuntimeP,
    "vl_llama_config": ctypes.POINTER(_capi.Config),
    "vl_llama_options": ctypes.POINTER(_capi.Options),
    "char": ctypes.c_char_p,
    "uint32_t": _capi.U32P,
    "uint8_t": _capi.U8P,
    "int32_t": _capi.I32P,
    "size_t": _capi.SizeP,
    "float": _capi.FloatP,
    "vl_llama_message": ctypes.POINTER(_capi.Message),
}


def _ctype(declaration: str):
    """The ctypes type of a C type (a parameter's name, if any, dropped)."""
    declaration = declaration.replace("const ", "").strip()
    if "*" in declaration:
        return _POINTERS[declaration.split("*")[0].strip()]
    return _SCALARS[declaration.split()[0]]


def header_declarations():
    text = (CHECKOUT / "include/vorlenta_llama_shim.h").read_text()
    found = {}
    pattern = r"VL_LLAMA_API\s+([\w\s]+?\*?)\s*(vl_llama_\w+)\s*\(([^)]*)\)\s*;"
    for result, name, params in re.findall(pattern, text):
        params = " ".join(params.split())
        args = [] if params == "void" else [_ctype(p) for p in params.split(",")]
        found[name] = (_ctype(result), args)
    return found


def test_every_export_is_declared_once_with_the_headers_types():
    declared = header_declarations()
    assert len(declared) == 33
    assert set(_capi.SIGNATURES) == set(declared)
    for name, (restype, argtypes) in declared.items():
        assert _capi.SIGNATURES[name] == (restype, argtypes), name
        function = getattr(_capi.lib, name)
        assert function.restype is restype and list(function.argtypes) == argtypes, name
    assert _capi.lib.vl_llama_abi_version() == _capi.ABI_VERSION == 5


def header_struct_fields(name: str):
    """The (type, field) pairs of a typedef struct of the header, in order."""
    text = (CHECKOUT / "include/vorlenta_llama_shim.h").read_text()
    body = re.search(r"typedef struct %s \{(.*?)\} %s;" % (name, name), text, re.S).group(1)
    body = re.sub(r"/\*.*?\*/", "", body, flags=re.S)
    return [tuple(line.rstrip(";").split()) for line in map(str.strip, body.splitlines()) if line]


@pytest.mark.parametrize("struct, name", [(_capi.Config, "vl_llama_config"), (_capi.Options, "vl_llama_options")])
def test_the_structs_have_the_headers_fields_in_order(struct, name):
    fields = header_struct_fields(name)
    assert [(field, _SCALARS[ctype]) for ctype, field in fields] == list(struct._fields_)
