#!/usr/bin/env bash
# Builds lumora's sdist, then from it a manylinux wheel for every CPython
# 3.10+ on this machine (scripts/pythons.sh), and tests each wheel: installed
# with pip into a clean venv, it must pass the quick tests.
#
# No container is needed: the compiler is the zig toolchain from PyPI, which
# targets glibc 2.17 and links its own libc++ statically, so the extension
# needs nothing newer than manylinux2014 from the system. auditwheel then
# checks that and tags the wheel.
#
#   scripts/build-wheels.sh            # wheels and sdist in dist/
#   scripts/build-wheels.sh --no-test  # build only
set -euo pipefail

test_wheels=true
case "${1:-}" in
    "") ;;
    --no-test) test_wheels=false ;;
    *)
        echo "usage: $0 [--no-test]" >&2
        exit 2
        ;;
esac

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Found before the tools' venv goes first on PATH.
pythons=$("$root/scripts/pythons.sh")
"$root/scripts/setup-dev.sh"
# shellcheck source=/dev/null
. "$root/build/tools/env.sh"

arch=$(uname -m)
glibc=2.17
plat="manylinux_2_17_$arch"
work="$root/build/wheels"
dist="$root/dist"
rm -rf "$work"
mkdir -p "$work/compilers" "$work/raw" "$dist"
rm -f "$dist"/lumora-*

# CMake takes a compiler as one path, so each zig driver gets a small script.
tools_python=$(command -v python)
for driver in cc c++; do
    cat >"$work/compilers/zig-$driver" <<SCRIPT
#!/bin/sh
exec "$tools_python" -m ziglang $driver -target $arch-linux-gnu.$glibc "\$@"
SCRIPT
    chmod +x "$work/compilers/zig-$driver"
done

echo "== sdist"
python -m build --sdist --outdir "$work/sdist" "$root" >/dev/null
sdist=$(ls "$work"/sdist/lumora-*.tar.gz)
listing=$(tar -tzf "$sdist")
for file in LICENSE CHANGELOG.md README.md pyproject.toml; do
    grep -qx "lumora-[^/]*/$file" <<<"$listing" || {
        echo "the sdist lacks $file" >&2
        exit 1
    }
done
cp "$sdist" "$dist/"

while read -r python; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    echo "== wheel for CPython $version ($python)"
    venv="$work/venv-build-$version"
    "$python" -m venv "$venv"
    CC="$work/compilers/zig-cc" CXX="$work/compilers/zig-c++" \
        "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps \
        --wheel-dir "$work/raw/$version" "$sdist"
    raw=$(ls "$work/raw/$version"/lumora-*.whl)
    auditwheel repair --plat "$plat" --wheel-dir "$dist" "$raw"
    wheel=$(ls "$dist"/lumora-*-cp${version/./}-*.whl)
    auditwheel show "$wheel"
    python -c 'import sys, zipfile
sys.exit(not any(n.endswith(".dist-info/licenses/LICENSE") for n in zipfile.ZipFile(sys.argv[1]).namelist()))' "$wheel" || {
        echo "$wheel lacks its LICENSE" >&2
        exit 1
    }
    if $test_wheels; then
        echo "== installing $(basename "$wheel") into a clean venv and running the quick tests"
        venv="$work/venv-test-$version"
        "$python" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]"
        (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "not scale" "$root/tests/python")
    fi
done <<<"$pythons"
echo "== wheels in $dist"
ls "$dist"
