#!/bin/sh
# The shared object's SONAME carries the header's ABI version, so that a host
# linked against this ABI never loads an incompatible build.
set -eu
lib=$1
header=$2
abi=$(sed -n 's/^#define VL_LLAMA_ABI_VERSION \([0-9][0-9]*\).*/\1/p' "$header")
[ -n "$abi" ] || { echo "no VL_LLAMA_ABI_VERSION in $header"; exit 1; }
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
expected="libvorlenta_llama_shim.so.$abi"
if [ "$soname" != "$expected" ]; then
    echo "SONAME is '$soname', expected '$expected'"
    exit 1
fi
# The name the dynamic loader looks for exists next to the library.
if [ ! -e "$(dirname "$lib")/$soname" ]; then
    echo "$(dirname "$lib")/$soname is missing"
    exit 1
fi
echo "SONAME $soname"
