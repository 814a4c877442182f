#!/usr/bin/env bash
# Installs what the tests need, builds lumora, and runs every test: the C++
# engine tests and the Python tests, each also under AddressSanitizer and
# UBSan, and the Python tests on every other CPython 3.10+ on this machine
# (the tests at scale once, on the default interpreter).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work="$root/build/tests"
mkdir -p "$work"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# GoogleTest, and clang with libFuzzer for the fuzzers, come from Debian.
missing=()
if ! compgen -G "/usr/lib/*/cmake/GTest/GTestConfig.cmake" >/dev/null &&
    ! compgen -G "/usr/lib/cmake/GTest/GTestConfig.cmake" >/dev/null; then
    missing+=(libgtest-dev)
fi
if ! command -v clang++ >/dev/null || ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null; then
    missing+=(clang libclang-rt-dev)
fi
if [ ${#missing[@]} -ne 0 ]; then
    echo "== installing ${missing[*]}"
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

default_python=${PYTHON:-python3}

# A venv with the module and the test extra installed from this tree.
make_venv() {
    local python=$1 venv=$2
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        --config-settings=cmake.define.LUMORA_WERROR=ON "$root[test]"
}

run_pytest() {
    local venv=$1
    shift
    # From outside the tree, so the installed module is the one imported.
    (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" "$root/tests/python")
}

echo "== building and testing the module on $("$default_python" --version)"
make_venv "$default_python" "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check cmake ninja
run_pytest "$work/venv"
echo "== type stubs against the built module, and the examples under mypy --strict"
"$root/scripts/check-types.sh" "$work/venv"

cmake_bin="$work/venv/bin/cmake"
ctest_bin="$work/venv/bin/ctest"
for variant in release sanitize; do
    echo "== C++ engine tests ($variant)"
    flags=()
    if [ "$variant" = sanitize ]; then
        flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo
            "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer")
    fi
    "$cmake_bin" -S "$root" -B "$work/cpp-$variant" -G Ninja -DCMAKE_MAKE_PROGRAM="$work/venv/bin/ninja" \
        -DLUMORA_BUILD_TESTS=ON -DLUMORA_WERROR=ON "${flags[@]}" >/dev/null
    "$cmake_bin" --build "$work/cpp-$variant"
    (cd "$work/cpp-$variant" && "$ctest_bin" --output-on-failure --no-tests=error -j2)
done

fuzz_seconds=${FUZZ_SECONDS:-60}
echo "== fuzzing the loaders with libFuzzer, AddressSanitizer and UBSan (${fuzz_seconds} s each)"
"$cmake_bin" -S "$root" -B "$work/fuzz" -G Ninja -DCMAKE_MAKE_PROGRAM="$work/venv/bin/ninja" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMORA_BUILD_FUZZ=ON -DLUMORA_WERROR=ON \
    "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" >/dev/null
"$cmake_bin" --build "$work/fuzz"
for corpus in "$root"/tests/fuzz/corpus/*/; do
    name=$(basename "$corpus")
    # New inputs go to a scratch corpus; the one in the tree only seeds it.
    rm -rf "$work/fuzz/found-$name" && mkdir -p "$work/fuzz/found-$name"
    (cd "$work/fuzz" && "./${name}_fuzz" -max_total_time="$fuzz_seconds" -max_len=65536 -rss_limit_mb=4096 \
        "found-$name" "$corpus" 2>&1 | tail -n 1)
done

echo "== Python tests against a build of the module under AddressSanitizer and UBSan"
sanitize_flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
rm -rf "$work/venv-sanitize"
"$default_python" -m venv "$work/venv-sanitize"
CXXFLAGS="$sanitize_flags" LDFLAGS="-fsanitize=address,undefined" \
    "$work/venv-sanitize/bin/python" -m pip install -q --disable-pip-version-check \
    --config-settings=cmake.build-type=RelWithDebInfo "$root[test]"
# The sanitizer's allocator aborts on the deliberately unallocatable sizes
# instead of failing the allocation, so those cases run only above.
(cd "$work" && LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
    "$work/venv-sanitize/bin/python" -m pytest -q -p no:cacheprovider -k "not unallocatable" -m "not scale" \
    "$root/tests/python")

# Every other CPython 3.10+ installed here, one per minor version.
seen=" $("$default_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])') "
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
for python in "$pyenv_root"/versions/*/bin/python3 /usr/bin/python3.* /usr/local/bin/python3.*; do
    [ -x "$python" ] || continue
    version=$("$python" -c 'import sys, platform
if platform.python_implementation() == "CPython" and sys.version_info >= (3, 10):
    print("%d.%d" % sys.version_info[:2])' 2>/dev/null) || continue
    [[ "$version" =~ ^3\.[0-9]+$ ]] || continue
    case "$seen" in *" $version "*) continue ;; esac
    seen="$seen$version "
    echo "== building and testing the module on $("$python" --version) ($python)"
    make_venv "$python" "$work/venv-$version"
    # The circuits at scale ran once already, on the default interpreter.
    run_pytest "$work/venv-$version" -m "not scale"
done
echo "== all tests passed on CPython$seen"
