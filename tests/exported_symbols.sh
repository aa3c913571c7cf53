#!/bin/sh
# Compares the functions the shared object exports with the expected list.
set -eu
lib=$1
expected=$2
actual=$(nm -D --defined-only "$lib" | awk '{print $2 " " $3}')
if printf '%s\n' "$actual" | grep -v '^T vl_llama_'; then
    echo "the library exports symbols other than vl_llama_ functions (above)"
    exit 1
fi
printf '%s\n' "$actual" | awk '{print $2}' | sort >"${TMPDIR:-/tmp}/vl_exports.$$"
if ! sort "$expected" | diff -u - "${TMPDIR:-/tmp}/vl_exports.$$"; then
    rm -f "${TMPDIR:-/tmp}/vl_exports.$$"
    echo "exported functions differ from $expected"
    exit 1
fi
rm -f "${TMPDIR:-/tmp}/vl_exports.$$"
echo "exports: $(wc -l <"$expected") vl_llama_ functions, nothing else"
