#!/bin/sh
# Compares the functions the shared object exports with the expected list
# (the library's complete interface) and with the functions
# the public header declares: all three must name the same functions.
set -eu
lib=$1
expected=$2
header=${3:-}
tmp=${TMPDIR:-/tmp}/vl_exports.$$
trap 'rm -f "$tmp" "$tmp.h"' EXIT
actual=$(nm -D --defined-only "$lib" | awk '{print $2 " " $3}')
if printf '%s\n' "$actual" | grep -v '^T vl_llama_'; then
    echo "the library exports symbols other than vl_llama_ functions (above)"
    exit 1
fi
printf '%s\n' "$actual" | awk '{print $2}' | sort >"$tmp"
if ! sort "$expected" | diff -u - "$tmp"; then
    echo "exported functions differ from $expected"
    exit 1
fi
if [ -n "$header" ]; then
    sed -n 's/^VL_LLAMA_API[^(]*[ *]\(vl_llama_[a-z_]*\)(.*/\1/p' "$header" | sort >"$tmp.h"
    if ! diff -u "$tmp.h" "$tmp"; then
        echo "exported functions differ from those $header declares"
        exit 1
    fi
fi
# The 21 functions of ABI 5's first release, and those minor releases added
# (5.2: 2, 5.3: 3, 5.4: 5).
count=$(wc -l <"$expected")
if [ "$count" -ne 33 ]; then
    echo "$expected lists $count functions; the interface has 33"
    exit 1
fi
echo "exports: $count vl_llama_ functions, as listed and declared, nothing else"
