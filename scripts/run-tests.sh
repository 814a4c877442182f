#!/usr/bin/env bash
# Builds lumora and runs every test: the style checks, the C++ engine tests
# (optimised, under AddressSanitizer and UBSan, and built with clang), a
# Windows cross build of the libraries, the fuzzers, the Python tests on the
# default interpreter (the tests at scale, the type stubs, a build under the
# sanitizers), and a manylinux wheel for every CPython 3.10+ on this machine,
# each tested in a clean venv. What the tests need is installed by
# scripts/setup-dev.sh.
#
#   scripts/run-tests.sh           # everything (what CI runs)
#   scripts/run-tests.sh --quick   # a developer's loop: style, C++ tests, Python tests on one interpreter
set -euo pipefail

quick=false
case "${1:-}" in
    "") ;;
    --quick) quick=true ;;
    *)
        echo "usage: $0 [--quick]" >&2
        exit 2
        ;;
esac

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work="$root/build/tests"
mkdir -p "$work"
default_python=${PYTHON:-python3}

# A stage's heading, with the time since the start, so that a slow run shows where its time went.
stage() {
    echo "== [$((SECONDS / 60))m$((SECONDS % 60))s] $*"
}

"$root/scripts/setup-dev.sh"
# shellcheck source=/dev/null
. "$root/build/tools/env.sh"
ninja_bin=$(command -v ninja)

stage "style: clang-format and ruff"
(cd "$root" && git ls-files -z -- '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run --Werror)
python_paths=(tests/python tests/fuzz bench examples stubs)
(cd "$root" && ruff check "${python_paths[@]}" && ruff format --check "${python_paths[@]}")

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

cpp_tests() {
    local preset=$1
    stage "C++ engine tests ($preset)"
    (cd "$root" && cmake --preset "$preset" -DCMAKE_MAKE_PROGRAM="$ninja_bin" >/dev/null &&
        cmake --build --preset "$preset" && ctest --preset "$preset")
}

cpp_tests release

stage "building and testing the module on $("$default_python" --version)"
make_venv "$default_python" "$work/venv"
if $quick; then
    run_pytest "$work/venv" -m "not scale"
    stage "quick tests passed"
    exit 0
fi
run_pytest "$work/venv"
stage "type stubs against the built module, and the examples under mypy --strict"
"$root/scripts/check-types.sh" "$work/venv"

cpp_tests sanitize
cpp_tests clang

stage "the plain-C++ libraries cross-compiled for Windows (MinGW-w64)"
(cd "$root" && cmake --preset mingw -DCMAKE_MAKE_PROGRAM="$ninja_bin" >/dev/null && cmake --build --preset mingw)

fuzz_seconds=${FUZZ_SECONDS:-60}
stage "fuzzing the loaders with libFuzzer, AddressSanitizer and UBSan (${fuzz_seconds} s each)"
(cd "$root" && cmake --preset fuzz -DCMAKE_MAKE_PROGRAM="$ninja_bin" >/dev/null && cmake --build --preset fuzz)
for corpus in "$root"/tests/fuzz/corpus/*/; do
    name=$(basename "$corpus")
    # New inputs go to a scratch corpus; the one in the tree only seeds it.
    found="$root/build/fuzz/found-$name"
    rm -rf "$found" && mkdir -p "$found"
    (cd "$root/build/fuzz" && "./${name}_fuzz" -max_total_time="$fuzz_seconds" -max_len=65536 \
        -rss_limit_mb=4096 -timeout=60 "$found" "$corpus" 2>&1 | tail -n 1)
done

stage "Python tests against a build of the module under AddressSanitizer and UBSan"
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

# Every CPython 3.10+ here: a manylinux wheel built for it, installed into
# a clean venv and given the quick tests.
stage "manylinux wheels for every CPython here, each installed in a clean venv and tested"
"$root/scripts/build-wheels.sh"
stage "all tests passed"
