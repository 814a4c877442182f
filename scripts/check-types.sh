#!/usr/bin/env bash
# Checks the typed surface of the lumora installed in a venv: the stubs in
# the wheel against the built module (mypy's stubtest), and the examples
# under mypy --strict against those stubs. Installs mypy (and the networkx
# stubs the lumora stubs refer to) into the venv when missing.
#
#   scripts/check-types.sh VENV_DIR
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 VENV_DIR" >&2
    exit 2
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ ! -x "$1/bin/python" ]; then
    echo "check-types: no venv at $1 (no $1/bin/python)" >&2
    exit 2
fi
python="$(cd "$1" && pwd)/bin/python"

installed() {
    "$python" -c 'import importlib.metadata as m, sys; m.version(sys.argv[1])' "$1" 2>/dev/null
}
for package in mypy types-networkx; do
    if ! installed "$package"; then
        "$python" -m pip install -q --disable-pip-version-check "$package"
    fi
done

# From outside the tree, so the installed module and stubs are what is checked.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "== stubtest lumora"
"$python" -m mypy.stubtest lumora
echo "== mypy --strict examples/"
"$python" -m mypy --strict --cache-dir "$work/mypy-cache" "$root/examples"
