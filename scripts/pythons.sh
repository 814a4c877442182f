#!/usr/bin/env bash
# Prints the CPython 3.10+ interpreters on this machine, one per minor
# version and one per line: $PYTHON (or python3) first, then pyenv's, then
# the system's.
set -euo pipefail

seen=" "
for python in "$(command -v "${PYTHON:-python3}")" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3 \
    /usr/bin/python3.* /usr/local/bin/python3.*; do
    [ -x "$python" ] || continue
    # The version and the interpreter itself (not a pyenv shim or a venv in front of it).
    found=$("$python" -c 'import sys, platform
if platform.python_implementation() == "CPython" and sys.version_info >= (3, 10):
    print("%d.%d" % sys.version_info[:2], getattr(sys, "_base_executable", sys.executable))' 2>/dev/null) || continue
    read -r version executable <<<"$found"
    [[ "$version" =~ ^3\.[0-9]+$ ]] || continue
    case "$seen" in *" $version "*) continue ;; esac
    seen="$seen$version "
    echo "$executable"
done
