#!/usr/bin/env bash
# Installs the build into a prefix, moves the installed tree to another
# prefix, and builds and runs a small C host against the moved tree in each of
# the ways the README describes: CMake's find_package, pkg-config, and a plain
# -I/-L/-l compiler call. Also checks the component split, that no installed
# text file names the first prefix, the build tree or the sources, that
# nothing but user programs is installed, and that the package refuses other
# major versions.
#
#   consumer_test.sh BUILD_DIR WORK_DIR VERSION MODEL LIBDIR INCLUDEDIR BINDIR
#
# CC, PKG_CONFIG and CMAKE_GENERATOR come from the environment.
set -euo pipefail

build=$1 work=$2 version=$3 model=$4 libdir=$5 includedir=$6 bindir=$7
here=$(cd "$(dirname "$0")" && pwd)
abi=${version%%.*}
: "${CC:=cc}" "${PKG_CONFIG:=pkg-config}" "${CMAKE_GENERATOR:=Ninja}"
export CMAKE_GENERATOR

fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
step() { printf '== %s\n' "$*"; }

rm -rf "$work"
mkdir -p "$work"
first=$work/first
second=$work/moved/second-prefix

step "install into $first"
cmake --install "$build" --prefix "$first" >"$work/install.log" || {
    cat "$work/install.log"; fail "cmake --install failed"; }

lib=$libdir/libvorlenta_llama_shim.so
package=$libdir/cmake/vorlenta_llama_shim
needed=("$lib.$version" "$lib.$abi" "$lib" "$includedir/vorlenta_llama_shim.h"
        "$package/vorlenta_llama_shimConfig.cmake" "$package/vorlenta_llama_shimConfigVersion.cmake"
        "$package/vorlenta_llama_shimTargets.cmake" "$libdir/pkgconfig/vorlenta_llama_shim.pc"
        "$bindir/vl-demo")
for f in "${needed[@]}"; do
    [ -e "$first/$f" ] || fail "the installed tree lacks $f"
done
[ -L "$first/$lib" ] && [ -L "$first/$lib.$abi" ] || fail "$lib and $lib.$abi must be links"
[ "$(readlink "$first/$lib.$abi")" = "libvorlenta_llama_shim.so.$version" ] ||
    fail "$lib.$abi points at $(readlink "$first/$lib.$abi")"

# Tests, fuzz targets, benchmarks and the fixture generator stay in the build.
stray=$(cd "$first" && find . \( -name '*test*' -o -name '*fuzz*' -o -name '*bench*' \
    -o -name 'vl-make-fixture' -o -name '*.gguf' \) -print)
[ -z "$stray" ] || fail "installed files that are not for users: $stray"

step "components: runtime and development"
cmake --install "$build" --prefix "$work/runtime" --component runtime >/dev/null
cmake --install "$build" --prefix "$work/development" --component development >/dev/null
for f in "$lib.$version" "$lib.$abi" "$bindir/vl-demo"; do
    [ -e "$work/runtime/$f" ] || fail "the runtime component lacks $f"
done
for f in "$lib" "$includedir/vorlenta_llama_shim.h" "$package" "$libdir/pkgconfig"; do
    if [ -e "$work/runtime/$f" ]; then fail "the runtime component holds $f"; fi
done
for f in "$lib" "$includedir/vorlenta_llama_shim.h" "$package/vorlenta_llama_shimConfig.cmake" \
         "$libdir/pkgconfig/vorlenta_llama_shim.pc"; do
    [ -L "$work/development/$f" ] || [ -e "$work/development/$f" ] ||
        fail "the development component lacks $f"
done
for f in "$lib.$version" "$bindir/vl-demo"; do
    if [ -e "$work/development/$f" ]; then fail "the development component holds $f"; fi
done

step "move the tree to $second"
mkdir -p "$(dirname "$second")"
mv "$first" "$second"

# No text file of the tree may name where it was installed, built or checked out.
build_abs=$(cd "$build" && pwd)
source_abs=$(cd "$here/../.." && pwd)
for path in "$first" "$build_abs" "$source_abs"; do
    hits=$(grep -rIlF -- "$path" "$second" || true)
    [ -z "$hits" ] || fail "installed files name $path: $hits"
done

# The file the dynamic loader picks for the library, resolved: a command (with
# its environment) that runs ldd on a program is given.
loaded_library() {
    "$@" | sed -n 's/.*libvorlenta_llama_shim\.so[.0-9]* => \(.*\) (0x.*/\1/p' | xargs -r readlink -f
}
moved_library=$(readlink -f "$second/$libdir/libvorlenta_llama_shim.so.$abi")

# Runs a host on the model (llama.cpp's log goes to a file) and checks that it
# scored and that it loaded the moved library rather than another copy.
run_host() {
    local what=$1 host=$2 out
    shift 2
    out=$("$@" "$host" "$model" 2>"$work/$what.stderr") || {
        cat "$work/$what.stderr"; fail "the $what host failed on $model"; }
    printf '%s: %s\n' "$what" "$out"
    case $out in "abi $abi, prompt of "*" tokens, logits "*) ;; *) fail "the $what host printed: $out" ;; esac
    [ "$(loaded_library "$@" ldd "$host")" = "$moved_library" ] ||
        fail "the $what host does not load $moved_library"
}

step "CMake: find_package(vorlenta_llama_shim $abi)"
cmake -S "$here/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$second" \
    -DCMAKE_C_COMPILER="$CC" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "configuring the CMake host failed"; }
cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "building the CMake host failed"; }
run_host cmake "$work/cmake/host" env

for request in $((abi - 1)) $((abi + 1)); do
    step "CMake: find_package(vorlenta_llama_shim $request) is refused"
    if cmake -S "$here/consumer" -B "$work/cmake-$request" -DCMAKE_PREFIX_PATH="$second" \
        -DCMAKE_C_COMPILER="$CC" -DVL_REQUEST_VERSION="$request" >"$work/cmake-$request.log" 2>&1; then
        fail "find_package(vorlenta_llama_shim $request) accepted version $version"
    fi
    grep -q "compatible with requested version \"$request\"" "$work/cmake-$request.log" || {
        cat "$work/cmake-$request.log"; fail "find_package($request) failed for another reason"; }
done

step "pkg-config"
grep -q '^prefix=${pcfiledir}/' "$second/$libdir/pkgconfig/vorlenta_llama_shim.pc" ||
    fail "the pkg-config file does not find its prefix from its own directory"
command -v "$PKG_CONFIG" >/dev/null || fail "no pkg-config program ($PKG_CONFIG)"
export PKG_CONFIG_PATH=$second/$libdir/pkgconfig
flags=$("$PKG_CONFIG" --cflags --libs vorlenta_llama_shim) || fail "pkg-config cannot find vorlenta_llama_shim"
printf 'pkg-config --cflags --libs: %s\n' "$flags"
case $flags in *-lllama*|*-lggml*) fail "pkg-config names llama.cpp for a dynamic link: $flags" ;; esac
[ "$("$PKG_CONFIG" --modversion vorlenta_llama_shim)" = "$version" ] || fail "pkg-config reports another version"
# shellcheck disable=SC2086
"$CC" -std=c99 -Wall -Wextra -Werror "$here/consumer/host.c" $flags -o "$work/host-pkgconfig" ||
    fail "building the pkg-config host failed"
run_host pkg-config "$work/host-pkgconfig" env LD_LIBRARY_PATH="$second/$libdir"

step "plain -I -L -l"
"$CC" -std=c99 -Wall -Wextra -Werror "$here/consumer/host.c" -I"$second/$includedir" \
    -L"$second/$libdir" -lvorlenta_llama_shim -o "$work/host-plain" || fail "building the plain host failed"
run_host plain "$work/host-plain" env LD_LIBRARY_PATH="$second/$libdir"

step "the installed demo runs from the moved tree"
demo_out=$("$second/$bindir/vl-demo" --model "$model" 2>"$work/vl-demo.stderr") || {
    cat "$work/vl-demo.stderr"; fail "the installed vl-demo failed"; }
grep -q 'answers ranked by log-probability' <<<"$demo_out" || fail "vl-demo printed: $demo_out"
[ "$(loaded_library ldd "$second/$bindir/vl-demo")" = "$moved_library" ] ||
    fail "the installed vl-demo does not load $moved_library"

rm -rf "$work"
echo "the installed tree works from a moved prefix"
