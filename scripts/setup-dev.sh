#!/usr/bin/env bash
# Provisions what building and testing lumora needs, and nothing else:
# Debian's GoogleTest, clang with libFuzzer (for the fuzzers and the clang
# build) and MinGW-w64 (for the Windows cross build) (as root, or through
# sudo), and a venv of the pinned build and style tools
# (scripts/dev-requirements.txt) at build/tools. Safe to run again: it
# installs only what is missing.
#
#   scripts/setup-dev.sh        # then: . build/tools/env.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${PYTHON:-python3}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
if ! compgen -G "/usr/lib/*/cmake/GTest/GTestConfig.cmake" >/dev/null &&
    ! compgen -G "/usr/lib/cmake/GTest/GTestConfig.cmake" >/dev/null; then
    missing+=(libgtest-dev)
fi
if ! command -v clang++ >/dev/null ||
    ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null; then
    missing+=(clang libclang-rt-dev)
fi
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    missing+=(g++-mingw-w64-x86-64-posix)
fi
if [ ${#missing[@]} -ne 0 ]; then
    echo "== installing ${missing[*]}"
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

tools="$root/build/tools"
requirements="$root/scripts/dev-requirements.txt"
if ! cmp -s "$requirements" "$tools/installed.txt" 2>/dev/null; then
    echo "== build and style tools in $tools/venv"
    rm -rf "$tools"
    mkdir -p "$tools"
    "$python" -m venv "$tools/venv"
    "$tools/venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
    cp "$requirements" "$tools/installed.txt"
fi
cat >"$tools/env.sh" <<ENV
# Puts the pinned tools first on PATH.
export PATH="$tools/venv/bin:\$PATH"
ENV
